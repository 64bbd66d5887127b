#include "store/sqlite/sqlite_db.h"

namespace velmo::server {

std::unique_ptr<SqliteConnection> SqliteConnection::open(const std::string& path, bool create) {
    sqlite3* raw = nullptr;
    const int flags =
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    auto connection = std::make_unique<SqliteConnection>(raw);
    if (rc != SQLITE_OK) {
        throw SqliteError(raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
    }
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, 10000);
    return connection;
}

std::unique_ptr<SqliteConnection> SqliteConnection::openReader(const std::string& path) {
    auto connection = open(path, false);
    connection->exec("PRAGMA query_only=1");
    // There is a reader for each worker thread that has read (32 by default), and each kept up
    // to 2 MiB of pages: 64 MiB after one crowd of readers of a large canvas, for reads that
    // mostly go through a canvas once. The index pages a read needs fit in far less; the file's
    // pages stay in the system's cache anyway.
    connection->exec("PRAGMA cache_size=-256");
    return connection;
}

SqliteConnection::~SqliteConnection() {
    for (auto& [sql, statement] : statements_) {
        sqlite3_finalize(statement);
    }
    sqlite3_close_v2(db_);
}

void SqliteConnection::exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        throw SqliteError(text);
    }
}

sqlite3_stmt* SqliteConnection::prepareNew(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK) {
        throw SqliteError(sqlite3_errmsg(db_));
    }
    statements_.emplace(sql, statement);
    return statement;
}

std::unique_ptr<SqliteWriter> SqliteWriter::open(const std::string& path) {
    auto writer = SqliteConnection::open(path, true);
    // A read-only file opens without complaint; writing is what fails.
    if (sqlite3_db_readonly(writer->db(), "main") == 1) {
        throw SqliteError("the database file is read-only");
    }
    writer->exec("PRAGMA journal_mode=WAL");
    {
        SqliteQuery mode(*writer, "PRAGMA journal_mode");
        if (!mode.step() || mode.text(0) != "wal") {
            throw SqliteError("the database cannot be put in WAL mode");
        }
    }
    writer->exec("PRAGMA synchronous=FULL");
    // Busy canvases touch many index pages per commit; keep them in memory, and checkpoint
    // the log in larger steps: a page rewritten by many commits is copied back once.
    writer->exec("PRAGMA cache_size=-65536");
    writer->exec("PRAGMA wal_autocheckpoint=16384");
    return std::make_unique<SqliteWriter>(std::move(writer));
}

SqliteReaders::Lease::~Lease() {
    if (connection_) {
        std::lock_guard lock(readers_.mutex_);
        readers_.idle_.push_back(std::move(connection_));
    }
}

SqliteReaders::Lease SqliteReaders::lease() {
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            auto connection = std::move(idle_.back());
            idle_.pop_back();
            return Lease(*this, std::move(connection));
        }
    }
    return Lease(*this, SqliteConnection::openReader(path_));
}

} // namespace velmo::server
