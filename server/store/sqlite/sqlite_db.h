#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmo::server {

// What every call below throws when SQLite reports a failure; the store's methods catch it
// and answer with nothing.
struct SqliteError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One connection with its prepared statements, used by one thread at a time.
class SqliteConnection {
public:
    static std::unique_ptr<SqliteConnection> open(const std::string& path, bool create);
    // A connection to an existing database that refuses to write.
    static std::unique_ptr<SqliteConnection> openReader(const std::string& path);

    // Takes ownership of an opened (or failed-to-open) handle; use open().
    explicit SqliteConnection(sqlite3* db) : db_(db) {}
    ~SqliteConnection();
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    void exec(const char* sql);

    // Statements are cached by the address of their SQL literal.
    sqlite3_stmt* prepare(const char* sql) {
        const auto found = statements_.find(sql);
        if (found != statements_.end()) {
            return found->second;
        }
        return prepareNew(sql);
    }

    sqlite3* db() { return db_; }

private:
    sqlite3_stmt* prepareNew(const char* sql);

    sqlite3* db_;
    std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

// One use of a cached statement: bound, stepped, then reset for the next user. Inline: the
// committer runs these for an append.
class SqliteQuery {
public:
    SqliteQuery(SqliteConnection& connection, const char* sql)
        : connection_(connection), statement_(connection.prepare(sql)) {}
    ~SqliteQuery() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    SqliteQuery(const SqliteQuery&) = delete;
    SqliteQuery& operator=(const SqliteQuery&) = delete;

    SqliteQuery& bind(int index, int64_t value) {
        check(sqlite3_bind_int64(statement_, index, value));
        return *this;
    }
    SqliteQuery& bind(int index, std::string_view text) {
        check(sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_STATIC,
                                  SQLITE_UTF8));
        return *this;
    }
    SqliteQuery& bindNullable(int index, const std::optional<std::string_view>& text) {
        if (text) {
            return bind(index, *text);
        }
        check(sqlite3_bind_null(statement_, index));
        return *this;
    }
    SqliteQuery& bindBlob(int index, std::string_view bytes) {
        check(sqlite3_bind_blob64(statement_, index, bytes.data(), bytes.size(), SQLITE_STATIC));
        return *this;
    }

    // True while there is a row to read.
    bool step() {
        const int rc = sqlite3_step(statement_);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc == SQLITE_DONE) {
            return false;
        }
        throw SqliteError(sqlite3_errmsg(connection_.db()));
    }

    int64_t integer(int column) { return sqlite3_column_int64(statement_, column); }
    bool isNull(int column) { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
    std::string text(int column) {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement_, column));
        const int size = sqlite3_column_bytes(statement_, column);
        return bytes ? std::string(bytes, static_cast<size_t>(size)) : std::string();
    }

private:
    void check(int rc) {
        if (rc != SQLITE_OK) {
            throw SqliteError(sqlite3_errmsg(connection_.db()));
        }
    }

    SqliteConnection& connection_;
    sqlite3_stmt* statement_;
};

// BEGIN IMMEDIATE ... COMMIT, rolled back unless committed. Both are prepared once: an append
// commit is short enough for parsing them to show.
class SqliteTransaction {
public:
    explicit SqliteTransaction(SqliteConnection& connection) : connection_(connection) {
        SqliteQuery(connection_, "BEGIN IMMEDIATE").step();
    }
    ~SqliteTransaction() {
        if (!committed_) {
            sqlite3_exec(connection_.db(), "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    SqliteTransaction(const SqliteTransaction&) = delete;
    SqliteTransaction& operator=(const SqliteTransaction&) = delete;
    void commit() {
        SqliteQuery(connection_, "COMMIT").step();
        committed_ = true;
    }

private:
    SqliteConnection& connection_;
    bool committed_ = false;
};

// The one connection that writes to the database, shared by the threads that write, one at a
// time: whoever writes holds it.
class SqliteWriter {
public:
    // Opens or creates the database in WAL mode with synchronous=FULL. Throws SqliteError
    // when the file cannot be opened or written, or refuses WAL mode.
    static std::unique_ptr<SqliteWriter> open(const std::string& path);
    explicit SqliteWriter(std::unique_ptr<SqliteConnection> connection)
        : connection_(std::move(connection)) {}

    // The connection, for as long as the Held lives.
    class Held {
    public:
        explicit Held(SqliteWriter& writer) : lock_(writer.mutex_), db_(*writer.connection_) {}
        SqliteConnection& operator*() const { return db_; }
        SqliteConnection* operator->() const { return &db_; }

    private:
        std::lock_guard<std::mutex> lock_;
        SqliteConnection& db_;
    };
    Held hold() { return Held(*this); }

private:
    std::mutex mutex_;
    std::unique_ptr<SqliteConnection> connection_;
};

// Read connections, each lent to one call at a time, so that reads wait neither for the
// writer nor for each other. A connection is opened when none is idle and kept afterwards.
class SqliteReaders {
public:
    explicit SqliteReaders(std::string path) : path_(std::move(path)) {}

    // A connection borrowed for one call, given back when the lease goes.
    class Lease {
    public:
        Lease(SqliteReaders& readers, std::unique_ptr<SqliteConnection> connection)
            : readers_(readers), connection_(std::move(connection)) {}
        ~Lease();
        Lease(Lease&&) = default;
        Lease& operator=(Lease&&) = delete;
        SqliteConnection& operator*() { return *connection_; }

    private:
        SqliteReaders& readers_;
        std::unique_ptr<SqliteConnection> connection_;
    };
    // Throws SqliteError when a new connection cannot be opened.
    Lease lease();

private:
    std::string path_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<SqliteConnection>> idle_;
};

} // namespace velmo::server
