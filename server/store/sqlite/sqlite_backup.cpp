#include "store/sqlite/sqlite_backup.h"

#include "store/sqlite/sqlite_db.h"
#include "store/sqlite/sqlite_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

namespace velmo::server {
namespace {

constexpr const char* JournalNames[] = {"-strokes.0", "-strokes.1"};
// Pages a step copies: a few MiB, so a step holds its read snapshot only briefly.
constexpr int StepPages = 1024;
// Steps started over by the server's writes before the rest is copied in one step: in WAL
// mode one long read holds back only checkpoints, never the server's writes.
constexpr int MaxRestarts = 8;
// Copies made again because the journal moved on meanwhile.
constexpr int MaxAttempts = 20;
constexpr int BusyRetries = 2000;

struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, Closer>;

Database openDatabase(const std::string& path, int flags, std::string* error) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    Database db(raw);
    if (rc != SQLITE_OK) {
        *error = "cannot open " + path + ": " + (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
        return nullptr;
    }
    sqlite3_busy_timeout(raw, 10000);
    return db;
}

// The number of the last journal record the database holds; nothing when it is not a
// database of this server.
std::optional<int64_t> copiedUpTo(sqlite3* db) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT copied FROM journal_state", -1, &statement, nullptr) !=
        SQLITE_OK) {
        sqlite3_finalize(statement);
        return std::nullopt;
    }
    std::optional<int64_t> copied;
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
        copied = sqlite3_column_int64(statement, 0);
    } else if (rc == SQLITE_DONE) {
        copied = 0;
    }
    sqlite3_finalize(statement);
    return copied;
}

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool writeWhole(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

bool isBusy(int rc) {
    return (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
}

// One online backup of `source` into `target`, in steps; its page count, or nothing.
std::optional<int64_t> copyPages(sqlite3* source, sqlite3* target, std::string* error) {
    sqlite3_backup* backup = sqlite3_backup_init(target, "main", source, "main");
    if (backup == nullptr) {
        *error = sqlite3_errmsg(target);
        return std::nullopt;
    }
    int restarts = 0;
    int busy = 0;
    int last_remaining = -1;
    int rc = SQLITE_OK;
    while (true) {
        rc = sqlite3_backup_step(backup, restarts < MaxRestarts ? StepPages : -1);
        if (rc == SQLITE_DONE) {
            break;
        }
        if (isBusy(rc)) {
            if (++busy > BusyRetries) {
                break;
            }
            sqlite3_sleep(5);
            continue;
        }
        if (rc != SQLITE_OK) {
            break;
        }
        // A write by the server between steps starts the copy over.
        const int remaining = sqlite3_backup_remaining(backup);
        if (last_remaining >= 0 && remaining > last_remaining) {
            ++restarts;
        }
        last_remaining = remaining;
    }
    const int64_t pages = sqlite3_backup_pagecount(backup);
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE) {
        *error = std::string("the copy failed: ") + sqlite3_errstr(rc);
        return std::nullopt;
    }
    return pages;
}

void removeCopy(const std::string& path) {
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm", "-strokes.0", "-strokes.1"}) {
        std::filesystem::remove(path + suffix, ec);
    }
}

int64_t countRows(SqliteConnection& db, const char* sql) {
    SqliteQuery query(db, sql);
    return query.step() ? query.integer(0) : 0;
}

bool syncFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool done = ::fsync(fd) == 0;
    ::close(fd);
    return done;
}

// The copy, its journal beside it, while `db` may be in use: its page count, or nothing with
// a reason in `error`.
std::optional<int64_t> copyWithJournal(const std::string& db, const std::string& copy,
                                       int64_t* copied_before, std::string* error) {
    Database source = openDatabase(db, SQLITE_OPEN_READWRITE, error);
    if (!source) {
        return std::nullopt;
    }
    if (!copiedUpTo(source.get())) {
        *error = db + " is not a velmorastra-server database";
        return std::nullopt;
    }
    for (int attempt = 0; attempt < MaxAttempts; ++attempt) {
        removeCopy(copy);
        std::optional<int64_t> pages;
        std::optional<int64_t> in_copy;
        {
            Database target = openDatabase(copy, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error);
            if (!target) {
                return std::nullopt;
            }
            pages = copyPages(source.get(), target.get(), error);
            if (!pages) {
                return std::nullopt;
            }
            in_copy = copiedUpTo(target.get());
        }
        std::string journals[2];
        for (int i = 0; i < 2; ++i) {
            journals[i] = readWhole(db + JournalNames[i]);
        }
        const auto now = copiedUpTo(source.get());
        if (!in_copy || !now) {
            *error = "cannot read the journal state of " + db;
            return std::nullopt;
        }
        if (*now != *in_copy) {
            continue; // a journal file may have been started over since the copy
        }
        for (int i = 0; i < 2; ++i) {
            if (!writeWhole(copy + JournalNames[i], journals[i])) {
                *error = "cannot write " + copy + JournalNames[i];
                return std::nullopt;
            }
        }
        *copied_before = *in_copy;
        return pages;
    }
    *error = "the database kept changing; try again when it is less busy";
    return std::nullopt;
}

} // namespace

BackupOutcome backupSqlite(const std::string& db, const std::string& out, std::string* error) {
    BackupOutcome outcome;
    std::error_code ec;
    if (std::filesystem::symlink_status(out, ec).type() != std::filesystem::file_type::not_found) {
        *error = out + " exists; a backup never writes over a file";
        outcome.failure = BackupFailure::OutExists;
        return outcome;
    }
    const std::string copy = out + ".partial-" + std::to_string(::getpid());
    BackupSummary summary;
    int64_t copied_before = 0;
    const auto pages = copyWithJournal(db, copy, &copied_before, error);
    if (!pages) {
        removeCopy(copy);
        return outcome;
    }
    summary.pages = *pages;
    try {
        // The store's own start folds the journal in, as after a crash, and its close
        // leaves a database that needs nothing beside it.
        if (!SqliteStore::open(copy, error)) {
            removeCopy(copy);
            return outcome;
        }
        auto check = SqliteConnection::openReader(copy);
        summary.canvases = countRows(*check, "SELECT count(*) FROM canvases");
        summary.strokes = countRows(*check, "SELECT count(*) FROM strokes");
        summary.journaled = countRows(*check, "SELECT copied FROM journal_state") - copied_before;
        const std::string integrity = [&] {
            SqliteQuery query(*check, "PRAGMA quick_check");
            return query.step() ? query.text(0) : std::string();
        }();
        if (integrity != "ok") {
            *error = "the copy fails its check: " + integrity;
            removeCopy(copy);
            return outcome;
        }
    } catch (const std::exception& e) {
        *error = e.what();
        removeCopy(copy);
        return outcome;
    }
    std::filesystem::remove(copy + JournalNames[0], ec);
    std::filesystem::remove(copy + JournalNames[1], ec);
    try {
        // One file, nothing in a write-ahead log beside it; the server sets WAL again when it
        // opens the restored copy.
        SqliteConnection::open(copy, false)->exec("PRAGMA journal_mode=DELETE");
    } catch (const std::exception& e) {
        *error = e.what();
        removeCopy(copy);
        return outcome;
    }
    if (std::filesystem::exists(copy + "-wal", ec) || !syncFile(copy)) {
        *error = "cannot flush " + copy;
        removeCopy(copy);
        return outcome;
    }
    // link() refuses an existing name, so a file that appeared meanwhile is kept.
    if (::link(copy.c_str(), out.c_str()) != 0) {
        const int link_error = errno;
        removeCopy(copy);
        *error = out + (link_error == EEXIST ? " exists; a backup never writes over a file"
                                             : ": " + std::string(std::strerror(link_error)));
        outcome.failure =
            link_error == EEXIST ? BackupFailure::OutExists : BackupFailure::CannotCopy;
        return outcome;
    }
    removeCopy(copy);
    const auto folder = std::filesystem::path(out).parent_path();
    syncFile(folder.empty() ? "." : folder.string());
    outcome.summary = summary;
    return outcome;
}

} // namespace velmo::server
