
#include "server/sqlite_store.h"

#include "canvas/stroke_text.h"
#include "server/canvas_id.h"
#include "server/date_id.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <utility>

namespace velmo::server {

namespace {

struct SqliteError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Schema versions in order; entry i brings a database from version i to i + 1.
constexpr const char* Migrations[] = {
    R"sql(
    CREATE TABLE canvases (
        canvas_id TEXT PRIMARY KEY,
        nickname TEXT,
        date_id TEXT,
        last_stamp INTEGER NOT NULL DEFAULT 0,
        last_activity INTEGER NOT NULL DEFAULT 0,
        stroke_count INTEGER NOT NULL DEFAULT 0,
        thumbnail_url TEXT NOT NULL DEFAULT '',
        fullimage_url TEXT NOT NULL DEFAULT ''
    );
    CREATE INDEX canvases_by_nickname ON canvases (nickname COLLATE NOCASE, last_activity);
    CREATE INDEX canvases_by_activity ON canvases (last_activity);
    CREATE INDEX canvases_by_date_id ON canvases (date_id, last_activity);
    CREATE TABLE strokes (
        canvas_id TEXT NOT NULL,
        server_time INTEGER NOT NULL,
        client_time INTEGER NOT NULL,
        user_name TEXT NOT NULL,
        text TEXT NOT NULL
    );
    CREATE UNIQUE INDEX strokes_by_stamp ON strokes (canvas_id, server_time);
    CREATE INDEX strokes_by_author ON strokes (canvas_id, user_name, client_time);
    CREATE TABLE images (
        hash TEXT PRIMARY KEY,
        data BLOB NOT NULL,
        created INTEGER NOT NULL
    );
    )sql",
    R"sql(
    CREATE TABLE saved_marks (
        canvas_id TEXT NOT NULL,
        user_name TEXT NOT NULL,
        mark INTEGER NOT NULL,
        owes_notice INTEGER NOT NULL,
        last_seen INTEGER NOT NULL,
        PRIMARY KEY (canvas_id, user_name)
    );
    )sql",
    R"sql(
    CREATE TABLE fresh_strokes (
        canvas_id TEXT NOT NULL,
        server_time INTEGER NOT NULL,
        client_time INTEGER NOT NULL,
        user_name TEXT NOT NULL,
        text TEXT NOT NULL
    );
    )sql",
};

// Moves the fresh strokes up to a row ID into the strokes table, a canvas at a time.
constexpr const char* MoveFresh =
    "INSERT INTO strokes (canvas_id, server_time, client_time, user_name, text) "
    "SELECT canvas_id, server_time, client_time, user_name, text FROM fresh_strokes "
    "WHERE rowid <= ?1 ORDER BY canvas_id, server_time";
constexpr const char* ClearFresh = "DELETE FROM fresh_strokes WHERE rowid <= ?1";
// After a crash, the rows of canvases with fresh strokes may lack the last commits' strokes:
// they are counted again. A stamp stands in for the time of its append, which it equals
// unless the canvas received several in one millisecond.
constexpr const char* RecountFresh =
    "WITH fresh AS (SELECT canvas_id, max(server_time) AS newest, count(*) AS added FROM "
    "fresh_strokes GROUP BY canvas_id) UPDATE canvases SET last_stamp = max(last_stamp, "
    "fresh.newest), last_activity = max(last_activity, fresh.newest), stroke_count = "
    "fresh.added + (SELECT count(*) FROM strokes WHERE strokes.canvas_id = canvases.canvas_id) "
    "FROM fresh WHERE canvases.canvas_id = fresh.canvas_id";
// Adds appended strokes to a canvas's row, creating it if needed.
constexpr const char* SaveCanvas =
    "INSERT INTO canvases (canvas_id, nickname, date_id, last_stamp, last_activity, "
    "stroke_count) VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT (canvas_id) DO UPDATE SET "
    "last_stamp = max(last_stamp, ?4), last_activity = max(last_activity, ?5), "
    "stroke_count = stroke_count + ?6";
static_assert(std::size(Migrations) == SqliteStore::SchemaVersion);

// Only canvases with something to show are listed, shared or rendered.
constexpr const char* HasContent =
    "(stroke_count > 0 OR thumbnail_url <> '' OR fullimage_url <> '')";

} // namespace

// One connection with its prepared statements, used by one thread at a time.
class SqliteConnection {
public:
    static std::unique_ptr<SqliteConnection> open(const std::string& path, bool create) {
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

    ~SqliteConnection() {
        for (auto& [sql, statement] : statements_) {
            sqlite3_finalize(statement);
        }
        sqlite3_close_v2(db_);
    }

    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    void exec(const char* sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            std::string text = message ? message : sqlite3_errmsg(db_);
            sqlite3_free(message);
            throw SqliteError(text);
        }
    }

    // Statements are cached by the address of their SQL literal.
    sqlite3_stmt* prepare(const char* sql) {
        const auto found = statements_.find(sql);
        if (found != statements_.end()) {
            return found->second;
        }
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
            SQLITE_OK) {
            throw SqliteError(sqlite3_errmsg(db_));
        }
        statements_.emplace(sql, statement);
        return statement;
    }

    sqlite3* db() { return db_; }

    // Takes ownership of an opened (or failed-to-open) handle; use open().
    explicit SqliteConnection(sqlite3* db) : db_(db) {}

private:
    sqlite3* db_;
    std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

namespace {

// One use of a cached statement: bound, stepped, then reset for the next user.
class Query {
public:
    Query(SqliteConnection& connection, const char* sql)
        : connection_(connection), statement_(connection.prepare(sql)) {}
    ~Query() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Query& bind(int index, int64_t value) {
        check(sqlite3_bind_int64(statement_, index, value));
        return *this;
    }
    Query& bind(int index, std::string_view text) {
        check(sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_STATIC,
                                  SQLITE_UTF8));
        return *this;
    }
    Query& bindNullable(int index, const std::optional<std::string_view>& text) {
        if (text) {
            return bind(index, *text);
        }
        check(sqlite3_bind_null(statement_, index));
        return *this;
    }
    Query& bindBlob(int index, std::string_view bytes) {
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
class Transaction {
public:
    explicit Transaction(SqliteConnection& connection) : connection_(connection) {
        Query(connection_, "BEGIN IMMEDIATE").step();
    }
    ~Transaction() {
        if (!committed_) {
            sqlite3_exec(connection_.db(), "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        Query(connection_, "COMMIT").step();
        committed_ = true;
    }

private:
    SqliteConnection& connection_;
    bool committed_ = false;
};

CanvasInfo readCanvas(Query& query) {
    return CanvasInfo{query.text(0), query.text(1), query.text(2), query.integer(3)};
}

void upsertCanvasColumns(SqliteConnection& db, std::string_view canvas_id, int64_t now_ms) {
    static constexpr const char* Sql =
        "INSERT INTO canvases (canvas_id, nickname, date_id, last_activity) VALUES (?1, ?2, ?3, "
        "?4) ON CONFLICT (canvas_id) DO UPDATE SET last_activity = max(last_activity, ?4)";
    const auto date_id = dateIdOf(canvas_id);
    Query query(db, Sql);
    query.bind(1, canvas_id).bindNullable(2, nicknameOf(canvas_id));
    query.bindNullable(3, date_id ? std::optional<std::string_view>(*date_id) : std::nullopt);
    query.bind(4, now_ms).step();
}

} // namespace

struct SqliteStore::PendingAppend {
    std::string canvas_id;
    canvas::MWStroke stroke;
    int64_t now_ms = 0;
    std::optional<int64_t> stamp;
    AppendDone done;
};

// Appends committed in one transaction, waiting for the flush that makes them durable.
struct SqliteStore::CommittedBatch {
    std::vector<std::unique_ptr<PendingAppend>> appends;
    // The stored strokes per canvas, published to memory once flushed.
    std::vector<std::pair<std::string, std::vector<RecentStroke>>> strokes;
    uint64_t number = 0;
};

namespace {

// Bounds of the strokes kept in memory: per canvas, in all, and in bytes of text in all.
constexpr size_t RecentPerCanvas = 512;
constexpr size_t RecentEntries = 1 << 16;
constexpr size_t RecentBytes = 16 << 20;
// Once this many fresh strokes are waiting (or this many bytes of them), a commit also moves
// the oldest FreshMoveSlice of them: a move writes the index pages of every canvas it touches
// once for all of that canvas's strokes in it; smaller slices spread the work over more
// commits instead of holding up the appends behind one long move. The reads that miss
// memory scan the fresh strokes, so there are not many of them.
constexpr size_t FreshMoveCount = 2048;
constexpr size_t FreshMoveBytes = 8 << 20;
constexpr size_t FreshMoveSlice = 2048;

} // namespace

// A read connection borrowed from the pool for one call.
class SqliteStore::ReadLease {
public:
    ReadLease(SqliteStore& store, std::unique_ptr<SqliteConnection> connection)
        : store_(store), connection_(std::move(connection)) {}
    ~ReadLease() {
        if (connection_) {
            std::lock_guard lock(store_.readers_mutex_);
            store_.idle_readers_.push_back(std::move(connection_));
        }
    }
    ReadLease(ReadLease&&) = default;
    ReadLease& operator=(ReadLease&&) = delete;
    SqliteConnection& operator*() { return *connection_; }

private:
    SqliteStore& store_;
    std::unique_ptr<SqliteConnection> connection_;
};

std::unique_ptr<SqliteStore> SqliteStore::open(const std::string& path, std::string* error) {
    try {
        auto writer = SqliteConnection::open(path, true);
        // A read-only file opens without complaint; writing is what fails.
        if (sqlite3_db_readonly(writer->db(), "main") == 1) {
            throw SqliteError("the database file is read-only");
        }
        writer->exec("PRAGMA journal_mode=WAL");
        {
            Query mode(*writer, "PRAGMA journal_mode");
            if (!mode.step() || mode.text(0) != "wal") {
                throw SqliteError("the database cannot be put in WAL mode");
            }
        }
        writer->exec("PRAGMA synchronous=FULL");
        // Busy canvases touch many index pages per commit; keep them in memory, and checkpoint
        // the log in larger steps: a page rewritten by many commits is copied back once.
        writer->exec("PRAGMA cache_size=-65536");
        writer->exec("PRAGMA wal_autocheckpoint=16384");
        int version = 0;
        {
            Query query(*writer, "PRAGMA user_version");
            if (query.step()) {
                version = static_cast<int>(query.integer(0));
            }
        }
        if (version > SchemaVersion) {
            throw SqliteError("the database was written by a newer server (schema version " +
                              std::to_string(version) + ")");
        }
        for (int v = version; v < SchemaVersion; ++v) {
            Transaction transaction(*writer);
            writer->exec(Migrations[v]);
            writer->exec(("PRAGMA user_version=" + std::to_string(v + 1)).c_str());
            transaction.commit();
        }
        {
            // Strokes left fresh by the last run: the in-memory list of them starts empty.
            Transaction transaction(*writer);
            Query(*writer, RecountFresh).step();
            moveFreshUpTo(*writer, std::numeric_limits<int64_t>::max());
            transaction.commit();
        }
        // From here on commits only write the log and the store flushes it itself, off the
        // committer's path. SQLite still flushes around its checkpoints, which keeps the file
        // consistent; durability comes from flushLog() before any write is acknowledged.
        writer->exec("PRAGMA synchronous=NORMAL");
        const char* log_name = sqlite3_filename_wal(sqlite3_db_filename(writer->db(), "main"));
        const int log_fd = log_name ? ::open(log_name, O_RDONLY | O_CLOEXEC) : -1;
        if (log_fd < 0) {
            throw SqliteError("the write-ahead log cannot be opened");
        }
        {
            // The log may have just been created: its directory entry must be on disk too.
            std::filesystem::path folder = std::filesystem::path(log_name).parent_path();
            const int folder_fd =
                ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (folder_fd >= 0) {
                ::fsync(folder_fd);
                ::close(folder_fd);
            }
        }
        auto store = std::make_unique<SqliteStore>(path, std::move(writer), log_fd);
        Query stamps(*store->writer_, "SELECT canvas_id, last_stamp FROM canvases");
        while (stamps.step()) {
            const int64_t last = stamps.integer(1);
            // Memory starts empty: only strokes stamped after `last` are certain to be in it.
            store->canvases_.emplace(stamps.text(0), CanvasMemory{last, last, nullptr});
        }
        return store;
    } catch (const std::exception& e) {
        if (error) {
            *error = e.what();
        }
        return nullptr;
    }
}

SqliteStore::SqliteStore(std::string path, std::unique_ptr<SqliteConnection> writer, int log_fd)
    : path_(std::move(path)), writer_(std::move(writer)), log_fd_(log_fd) {
    flusher_ = std::thread([this] { flushLoop(); });
    committer_ = std::thread([this] { commitLoop(); });
}

SqliteStore::~SqliteStore() {
    {
        std::lock_guard lock(queue_mutex_);
        closing_ = true;
    }
    queue_ready_.notify_one();
    committer_.join();
    {
        std::lock_guard lock(flush_mutex_);
        flusher_closing_ = true;
    }
    flush_ready_.notify_one();
    flusher_.join();
    // A database closed cleanly keeps every stroke in one table.
    try {
        std::lock_guard write_lock(write_mutex_);
        Transaction transaction(*writer_);
        saveTallies();
        moveFreshUpTo(*writer_, std::numeric_limits<int64_t>::max());
        transaction.commit();
    } catch (const std::exception&) {
        // moved and counted at the next start
    }
    // Readers close first so that the writer, closing last, checkpoints the log into the file.
    idle_readers_.clear();
    writer_.reset();
    ::close(log_fd_);
}

void SqliteStore::commitLoop() {
    while (true) {
        auto batch = std::make_unique<CommittedBatch>();
        {
            // A batch committed while an earlier one still waits for the flusher would be
            // flushed with it anyway: let the queue grow instead and commit it all at once.
            std::unique_lock lock(flush_mutex_);
            flush_taken_.wait(lock, [this] { return flush_queue_.empty(); });
        }
        {
            std::unique_lock lock(queue_mutex_);
            committer_waiting_ = true;
            queue_ready_.wait(lock, [this] { return closing_ || !queue_.empty(); });
            committer_waiting_ = false;
            if (queue_.empty()) {
                return; // closing, and every append has been handed to the flusher
            }
            batch->appends.swap(queue_);
        }
        commitBatch(*batch);
        {
            std::lock_guard lock(flush_mutex_);
            flush_queue_.push_back(std::move(batch));
        }
        flush_ready_.notify_one();
    }
}

void SqliteStore::flushLoop() {
    std::vector<std::unique_ptr<CommittedBatch>> batches;
    while (true) {
        {
            std::unique_lock lock(flush_mutex_);
            flush_ready_.wait(lock, [this] { return flusher_closing_ || !flush_queue_.empty(); });
            if (flush_queue_.empty()) {
                return;
            }
            batches.swap(flush_queue_);
        }
        flush_taken_.notify_one();
        // One flush for every batch committed while the last one ran.
        const bool durable = flushLog();
        for (auto& batch : batches) {
            // A failed flush still leaves the strokes committed, and later reads would find
            // them; memory must agree. Their authors hear of a failure and resend, which
            // finds the stored copy.
            for (auto& [canvas_id, strokes] : batch->strokes) {
                remember(canvas_id, strokes);
            }
            {
                std::lock_guard lock(flush_mutex_);
                published_batches_ = batch->number;
            }
            published_.notify_all();
            for (const auto& pending : batch->appends) {
                pending->done(durable ? pending->stamp : std::nullopt);
            }
        }
        batches.clear();
    }
}

bool SqliteStore::flushLog() {
    return ::fdatasync(log_fd_) == 0;
}

void SqliteStore::waitUntilPublished() {
    const uint64_t committed = committed_batches_;
    std::unique_lock lock(flush_mutex_);
    published_.wait(lock, [&] { return published_batches_ >= committed; });
}

SqliteStore::ReadLease SqliteStore::reader() {
    {
        std::lock_guard lock(readers_mutex_);
        if (!idle_readers_.empty()) {
            auto connection = std::move(idle_readers_.back());
            idle_readers_.pop_back();
            return ReadLease(*this, std::move(connection));
        }
    }
    auto connection = SqliteConnection::open(path_, false);
    connection->exec("PRAGMA query_only=1");
    return ReadLease(*this, std::move(connection));
}

int64_t SqliteStore::lastStamp(std::string_view canvas_id) {
    std::shared_lock lock(memory_mutex_);
    const auto found = canvases_.find(canvas_id);
    return found == canvases_.end() ? 0 : found->second.last_stamp;
}

void SqliteStore::enqueue(std::unique_ptr<PendingAppend> pending) {
    bool wake = false;
    {
        std::lock_guard lock(queue_mutex_);
        queue_.push_back(std::move(pending));
        wake = committer_waiting_;
    }
    // While the committer is busy it takes the queue when it is done; no wake-up needed.
    if (wake) {
        queue_ready_.notify_one();
    }
}

void SqliteStore::appendStrokeAsync(std::string canvas_id, canvas::MWStroke stroke, int64_t now_ms,
                                    AppendDone done) {
    auto pending = std::make_unique<PendingAppend>();
    pending->canvas_id = std::move(canvas_id);
    pending->stroke = std::move(stroke);
    pending->now_ms = now_ms;
    pending->done = std::move(done);
    enqueue(std::move(pending));
}

std::optional<int64_t> SqliteStore::appendStroke(std::string_view canvas_id,
                                                 const canvas::MWStroke& stroke, int64_t now_ms) {
    std::promise<std::optional<int64_t>> result;
    auto stamp = result.get_future();
    appendStrokeAsync(std::string(canvas_id), stroke, now_ms,
                      [&result](std::optional<int64_t> s) { result.set_value(s); });
    return stamp.get();
}

void SqliteStore::commitBatch(CommittedBatch& batch) {
    static constexpr const char* FindSame =
        "SELECT server_time, text FROM strokes WHERE canvas_id = ?1 AND user_name = ?2 AND "
        "client_time = ?3";
    static constexpr const char* FindFresh =
        "SELECT server_time, text FROM fresh_strokes WHERE rowid = ?1 AND canvas_id = ?2";
    static constexpr const char* Insert =
        "INSERT INTO fresh_strokes (canvas_id, server_time, "
        "client_time, user_name, text) VALUES (?1, ?2, ?3, ?4, ?5)";
    // Per canvas of the batch: its new strokes, and what they add to its row.
    struct Added {
        std::vector<RecentStroke> strokes;
        int64_t last_activity = 0;
        bool row_written = false;
    };
    std::unordered_map<std::string_view, Added> added;
    std::vector<FreshRow> fresh; // this batch's inserts
    fresh.reserve(batch.appends.size());
    std::optional<int64_t> moved_up_to;
    std::lock_guard write_lock(write_mutex_);
    batch.number = ++committed_batches_;
    try {
        Transaction transaction(*writer_);
        for (const auto& pending : batch.appends) {
            const canvas::MWStroke& stroke = pending->stroke;
            const std::string& canvas_id = pending->canvas_id;
            std::optional<int64_t> resent;
            const auto sameText = [&](Query& same) {
                canvas::MWStroke candidate = stroke;
                candidate.server_time = same.integer(0);
                if (canvas::stroke_to_text(candidate) == same.text(1)) {
                    resent = candidate.server_time;
                }
            };
            if (mayHaveMovedCopy(canvas_id, stroke)) {
                Query same(*writer_, FindSame);
                same.bind(1, canvas_id).bind(2, stroke.user_name).bind(3, stroke.client_time);
                while (!resent && same.step()) {
                    sameText(same);
                }
            }
            const uint64_t key = freshKey(canvas_id, stroke.user_name, stroke.client_time);
            const auto findFresh = [&](int64_t rowid) {
                Query same(*writer_, FindFresh);
                same.bind(1, rowid).bind(2, canvas_id);
                if (!resent && same.step()) {
                    sameText(same);
                }
            };
            for (auto [it, end] = fresh_rows_.equal_range(key); it != end; ++it) {
                findFresh(it->second);
            }
            for (const FreshRow& row : fresh) { // this batch's own, not yet listed
                if (row.key == key) {
                    findFresh(row.rowid);
                }
            }
            if (resent) {
                pending->stamp = resent;
                continue;
            }
            Added& canvas = added[canvas_id];
            int64_t last = 0;
            if (!canvas.strokes.empty()) {
                last = canvas.strokes.back().server_time;
            } else if (const auto given = tallies_.find(canvas_id); given != tallies_.end()) {
                last = given->second.stamp;
            } else {
                last = lastStamp(canvas_id);
            }
            // The pending stroke is the committer's own: stamped in place, not copied.
            canvas::MWStroke& stamped = pending->stroke;
            stamped.server_time = std::max(pending->now_ms, last + 1);
            RecentStroke kept{stamped.server_time, stamped.client_time, stamped.user_name,
                              canvas::stroke_to_text(stamped)};
            Query(*writer_, Insert)
                .bind(1, canvas_id)
                .bind(2, kept.server_time)
                .bind(3, kept.client_time)
                .bind(4, kept.user_name)
                .bind(5, kept.text)
                .step();
            fresh.push_back({sqlite3_last_insert_rowid(writer_->db()), key, kept.text.size()});
            canvas.last_activity = std::max(canvas.last_activity, pending->now_ms);
            pending->stamp = kept.server_time;
            canvas.strokes.push_back(std::move(kept));
        }
        const bool moving = (fresh_count_ >= FreshMoveCount || fresh_bytes_ >= FreshMoveBytes) &&
                            !fresh_order_.empty();
        // A canvas's first commit of the run writes its row, so a search lists it at once;
        // later ones only add up (see Tally).
        for (auto& [canvas_id, canvas] : added) {
            const auto tally = tallies_.find(canvas_id);
            if (tally != tallies_.end() && !moving) {
                continue;
            }
            // What an earlier commit left unsaved, saveTallies() adds.
            saveCanvas(*writer_, canvas_id, canvas.strokes.back().server_time, canvas.last_activity,
                       static_cast<int64_t>(canvas.strokes.size()));
            canvas.row_written = true;
        }
        if (moving) {
            moved_up_to = fresh_order_[std::min(FreshMoveSlice, fresh_order_.size()) - 1].rowid;
            newest_moved_.clear();
            saveTallies();
            moveFreshUpTo(*writer_, *moved_up_to);
        }
        transaction.commit();
        if (moving) {
            talliesSaved();
        }
    } catch (const std::exception&) {
        for (const auto& pending : batch.appends) {
            pending->stamp.reset();
        }
        return;
    }
    if (moved_up_to) {
        forgetFreshUpTo(*moved_up_to);
    }
    for (const FreshRow& row : fresh) {
        fresh_rows_.emplace(row.key, row.rowid);
        fresh_bytes_ += row.bytes;
        fresh_order_.push_back(row);
    }
    fresh_count_ += fresh.size();
    // Published by the flusher once durable, so a reader never sees a stamp whose stroke could
    // still be lost.
    batch.strokes.reserve(added.size());
    for (auto& [canvas_id, canvas] : added) {
        auto tally = tallies_.find(canvas_id);
        if (tally == tallies_.end()) {
            tally = tallies_.emplace(std::string(canvas_id), Tally{}).first;
        }
        Tally& t = tally->second;
        t.stamp = canvas.strokes.back().server_time;
        if (canvas.row_written) {
            t.unsaved_strokes = 0;
            t.unsaved_activity = 0;
        } else {
            t.unsaved_strokes += static_cast<int64_t>(canvas.strokes.size());
            t.unsaved_activity = std::max(t.unsaved_activity, canvas.last_activity);
            if (!t.unsaved) {
                t.unsaved = true;
                unsaved_tallies_.push_back(tally->first);
            }
        }
        batch.strokes.emplace_back(std::string(canvas_id), std::move(canvas.strokes));
    }
}

void SqliteStore::saveCanvas(SqliteConnection& db, std::string_view canvas_id, int64_t stamp,
                             int64_t activity, int64_t added) {
    const auto date_id = dateIdOf(canvas_id);
    Query(db, SaveCanvas)
        .bind(1, canvas_id)
        .bindNullable(2, nicknameOf(canvas_id))
        .bindNullable(3, date_id ? std::optional<std::string_view>(*date_id) : std::nullopt)
        .bind(4, stamp)
        .bind(5, activity)
        .bind(6, added)
        .step();
}

void SqliteStore::saveTallies() {
    for (const std::string& canvas_id : unsaved_tallies_) {
        const Tally& t = tallies_.at(canvas_id);
        if (t.unsaved_strokes > 0 || t.unsaved_activity > 0) {
            saveCanvas(*writer_, canvas_id, t.stamp, t.unsaved_activity, t.unsaved_strokes);
        }
    }
}

void SqliteStore::talliesSaved() {
    for (const std::string& canvas_id : unsaved_tallies_) {
        Tally& t = tallies_.at(canvas_id);
        t = Tally{t.stamp, 0, 0, false};
    }
    unsaved_tallies_.clear();
}

bool SqliteStore::mayHaveMovedCopy(std::string_view canvas_id, const canvas::MWStroke& stroke) {
    static constexpr const char* NewestMoved =
        "SELECT max(client_time) FROM strokes WHERE canvas_id = ?1 AND user_name = ?2";
    // Bounded like a cache: an author forgotten costs one lookup.
    constexpr size_t MaxAuthors = 1 << 16;
    author_key_.assign(canvas_id);
    author_key_ += '\0';
    author_key_ += stroke.user_name;
    auto known = newest_moved_.find(std::string_view(author_key_));
    if (known == newest_moved_.end()) {
        Query newest(*writer_, NewestMoved);
        newest.bind(1, canvas_id).bind(2, stroke.user_name);
        const int64_t client_time = newest.step() && !newest.isNull(0)
                                        ? newest.integer(0)
                                        : std::numeric_limits<int64_t>::min();
        if (newest_moved_.size() >= MaxAuthors) {
            newest_moved_.clear();
        }
        known = newest_moved_.emplace(author_key_, client_time).first;
    }
    return stroke.client_time <= known->second;
}

uint64_t SqliteStore::freshKey(std::string_view canvas_id, std::string_view user_name,
                               int64_t client_time) {
    constexpr uint64_t Mix = 0x9E3779B97F4A7C15ULL;
    uint64_t key = std::hash<std::string_view>{}(canvas_id);
    key = (key ^ std::hash<std::string_view>{}(user_name)) * Mix;
    return (key ^ static_cast<uint64_t>(client_time)) * Mix;
}

void SqliteStore::moveFreshUpTo(SqliteConnection& db, int64_t rowid) {
    Query(db, MoveFresh).bind(1, rowid).step();
    Query(db, ClearFresh).bind(1, rowid).step();
}

void SqliteStore::forgetFreshUpTo(int64_t rowid) {
    while (!fresh_order_.empty() && fresh_order_.front().rowid <= rowid) {
        const FreshRow& row = fresh_order_.front();
        for (auto [it, end] = fresh_rows_.equal_range(row.key); it != end; ++it) {
            if (it->second == row.rowid) {
                fresh_rows_.erase(it);
                break;
            }
        }
        fresh_count_ -= 1;
        fresh_bytes_ -= row.bytes;
        fresh_order_.pop_front();
    }
}

void SqliteStore::remember(const std::string& canvas_id, std::vector<RecentStroke>& strokes) {
    std::unique_lock lock(memory_mutex_);
    CanvasMemory& canvas = canvases_[canvas_id];
    if (!canvas.recent) {
        canvas.recent = std::make_unique<std::deque<RecentStroke>>();
    }
    for (RecentStroke& stroke : strokes) {
        canvas.last_stamp = std::max(canvas.last_stamp, stroke.server_time);
        recent_bytes_ += stroke.text.size() + stroke.user_name.size();
        recent_order_.push_back({&canvas, stroke.server_time});
        canvas.recent->push_back(std::move(stroke));
        if (canvas.recent->size() > RecentPerCanvas) {
            dropOldest(canvas);
        }
    }
    while (!recent_order_.empty() &&
           (recent_bytes_ > RecentBytes || recent_order_.size() > RecentEntries)) {
        const RecentRef oldest = recent_order_.front();
        recent_order_.pop_front();
        const auto& recent = oldest.canvas->recent;
        if (recent && !recent->empty() && recent->front().server_time == oldest.server_time) {
            dropOldest(*oldest.canvas);
        }
    }
}

void SqliteStore::dropOldest(CanvasMemory& canvas) {
    RecentStroke& oldest = canvas.recent->front();
    canvas.floor = oldest.server_time;
    recent_bytes_ -= oldest.text.size() + oldest.user_name.size();
    canvas.recent->pop_front();
    if (canvas.recent->empty()) {
        canvas.recent.reset();
    }
}

std::optional<std::vector<StoredStroke>> SqliteStore::recentAfter(std::string_view canvas_id,
                                                                  int64_t after, size_t limit) {
    std::shared_lock lock(memory_mutex_);
    const auto found = canvases_.find(canvas_id);
    if (found == canvases_.end()) {
        return std::nullopt;
    }
    const CanvasMemory& canvas = found->second;
    // Stamps are positive, so memory that reaches back to 0 holds the whole canvas.
    if (std::max<int64_t>(after, 0) < canvas.floor) {
        return std::nullopt;
    }
    std::vector<StoredStroke> strokes;
    if (!canvas.recent) {
        return strokes;
    }
    auto it = std::upper_bound(
        canvas.recent->begin(), canvas.recent->end(), after,
        [](int64_t stamp, const RecentStroke& stroke) { return stamp < stroke.server_time; });
    for (; it != canvas.recent->end() && strokes.size() < limit; ++it) {
        strokes.push_back({it->server_time, it->client_time, it->text});
    }
    return strokes;
}

std::optional<std::vector<StoredStroke>> SqliteStore::strokesAfter(std::string_view canvas_id,
                                                                   int64_t after, size_t limit) {
    static constexpr const char* Sql =
        "SELECT server_time, client_time, text FROM strokes WHERE canvas_id = ?1 AND "
        "server_time > ?2 UNION ALL SELECT server_time, client_time, text FROM fresh_strokes "
        "WHERE canvas_id = ?1 AND server_time > ?2 ORDER BY 1, 2 LIMIT ?3";
    if (auto recent = recentAfter(canvas_id, after, limit)) {
        return recent;
    }
    try {
        auto lease = reader();
        Query query(*lease, Sql);
        query.bind(1, canvas_id).bind(2, after).bind(3, static_cast<int64_t>(limit));
        std::vector<StoredStroke> strokes;
        while (query.step()) {
            strokes.push_back({query.integer(0), query.integer(1), query.text(2)});
        }
        return strokes;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<size_t> SqliteStore::deleteStrokes(std::string_view canvas_id,
                                                 std::string_view user_name, int64_t client_time,
                                                 int64_t now_ms) {
    static constexpr const char* Delete =
        "DELETE FROM strokes WHERE canvas_id = ?1 AND user_name = ?2 AND client_time = ?3";
    static constexpr const char* DeleteFresh =
        "DELETE FROM fresh_strokes WHERE rowid = ?1 AND canvas_id = ?2 AND user_name = ?3 AND "
        "client_time = ?4";
    static constexpr const char* Count =
        "UPDATE canvases SET stroke_count = stroke_count - ?2, "
        "last_activity = max(last_activity, ?3) WHERE canvas_id = ?1";
    try {
        std::lock_guard write_lock(write_mutex_);
        Transaction transaction(*writer_);
        // The row's count must hold every stroke before one is taken off it.
        saveTallies();
        Query(*writer_, Delete).bind(1, canvas_id).bind(2, user_name).bind(3, client_time).step();
        auto removed = static_cast<size_t>(sqlite3_changes64(writer_->db()));
        const auto fresh = fresh_rows_.equal_range(freshKey(canvas_id, user_name, client_time));
        for (auto it = fresh.first; it != fresh.second; ++it) {
            Query(*writer_, DeleteFresh)
                .bind(1, it->second)
                .bind(2, canvas_id)
                .bind(3, user_name)
                .bind(4, client_time)
                .step();
            removed += static_cast<size_t>(sqlite3_changes64(writer_->db()));
        }
        if (removed > 0) {
            Query(*writer_, Count)
                .bind(1, canvas_id)
                .bind(2, static_cast<int64_t>(removed))
                .bind(3, now_ms)
                .step();
        }
        transaction.commit();
        talliesSaved();
        // Batches committed before this delete may not have reached memory yet; what memory
        // forgets must be there already.
        waitUntilPublished();
        if (removed > 0) {
            forgetDeleted(canvas_id, user_name, client_time);
        }
        if (!flushLog()) {
            return std::nullopt;
        }
        return removed;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void SqliteStore::forgetDeleted(std::string_view canvas_id, std::string_view user_name,
                                int64_t client_time) {
    std::unique_lock lock(memory_mutex_);
    const auto found = canvases_.find(canvas_id);
    if (found == canvases_.end() || !found->second.recent) {
        return;
    }
    auto& recent = *found->second.recent;
    for (auto it = recent.begin(); it != recent.end();) {
        if (it->user_name == user_name && it->client_time == client_time) {
            recent_bytes_ -= it->text.size() + it->user_name.size();
            it = recent.erase(it);
        } else {
            ++it;
        }
    }
    // Its entries in recent_order_ are skipped when they come up.
}

bool SqliteStore::setImageUrl(std::string_view canvas_id, ImageKind kind, std::string_view url,
                              int64_t now_ms) {
    static constexpr const char* Thumbnail =
        "UPDATE canvases SET thumbnail_url = ?2 WHERE canvas_id = ?1";
    static constexpr const char* FullImage =
        "UPDATE canvases SET fullimage_url = ?2 WHERE canvas_id = ?1";
    try {
        std::lock_guard write_lock(write_mutex_);
        Transaction transaction(*writer_);
        upsertCanvasColumns(*writer_, canvas_id, now_ms);
        Query(*writer_, kind == ImageKind::Thumbnail ? Thumbnail : FullImage)
            .bind(1, canvas_id)
            .bind(2, url)
            .step();
        transaction.commit();
        return flushLog();
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<std::vector<CanvasInfo>> SqliteStore::findCanvases(std::string_view nickname,
                                                                 size_t limit) {
    static const std::string Columns =
        "SELECT canvas_id, thumbnail_url, fullimage_url, last_activity FROM canvases WHERE ";
    static const std::string Any =
        Columns + HasContent + " ORDER BY last_activity DESC, canvas_id LIMIT ?1";
    static const std::string ByNickname = Columns + "nickname = ?2 COLLATE NOCASE AND " +
                                          HasContent +
                                          " ORDER BY last_activity DESC, canvas_id LIMIT ?1";
    try {
        {
            // Searches are rare next to appends: they bring the rows up to date first, so
            // the order of the results is exact.
            std::lock_guard write_lock(write_mutex_);
            if (!unsaved_tallies_.empty()) {
                Transaction transaction(*writer_);
                saveTallies();
                transaction.commit();
                talliesSaved();
            }
        }
        auto lease = reader();
        Query query(*lease, nickname.empty() ? Any.c_str() : ByNickname.c_str());
        query.bind(1, static_cast<int64_t>(limit));
        if (!nickname.empty()) {
            query.bind(2, nickname);
        }
        std::vector<CanvasInfo> found;
        while (query.step()) {
            found.push_back(readCanvas(query));
        }
        return found;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<CanvasInfo> SqliteStore::canvasByDateId(std::string_view date_id) {
    static const std::string Sql =
        std::string("SELECT canvas_id, thumbnail_url, fullimage_url, last_activity FROM "
                    "canvases WHERE date_id = ?1 AND ") +
        HasContent + " ORDER BY last_activity DESC, canvas_id LIMIT 1";
    try {
        auto lease = reader();
        Query query(*lease, Sql.c_str());
        query.bind(1, date_id);
        if (query.step()) {
            return readCanvas(query);
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::optional<CanvasInfo> SqliteStore::canvas(std::string_view canvas_id) {
    static const std::string Sql =
        std::string("SELECT canvas_id, thumbnail_url, fullimage_url, last_activity FROM "
                    "canvases WHERE canvas_id = ?1 AND ") +
        HasContent;
    try {
        auto lease = reader();
        Query query(*lease, Sql.c_str());
        query.bind(1, canvas_id);
        if (query.step()) {
            return readCanvas(query);
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

bool SqliteStore::saveMarks(const std::vector<SavedMark>& marks) {
    static constexpr const char* Clear = "DELETE FROM saved_marks";
    static constexpr const char* Insert =
        "INSERT OR REPLACE INTO saved_marks (canvas_id, user_name, mark, owes_notice, last_seen) "
        "VALUES (?1, ?2, ?3, ?4, ?5)";
    try {
        std::lock_guard write_lock(write_mutex_);
        Transaction transaction(*writer_);
        Query(*writer_, Clear).step();
        for (const SavedMark& m : marks) {
            Query(*writer_, Insert)
                .bind(1, m.canvas_id)
                .bind(2, m.user_name)
                .bind(3, m.mark)
                .bind(4, int64_t{m.owes_notice})
                .bind(5, m.last_seen)
                .step();
        }
        transaction.commit();
        return flushLog();
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<std::vector<SavedMark>> SqliteStore::takeSavedMarks() {
    static constexpr const char* Select =
        "SELECT canvas_id, user_name, mark, owes_notice, last_seen FROM saved_marks";
    static constexpr const char* Clear = "DELETE FROM saved_marks";
    try {
        std::lock_guard write_lock(write_mutex_);
        Transaction transaction(*writer_);
        std::vector<SavedMark> marks;
        {
            Query query(*writer_, Select);
            while (query.step()) {
                marks.push_back({query.text(0), query.text(1), query.integer(2),
                                 query.integer(3) != 0, query.integer(4)});
            }
        }
        Query(*writer_, Clear).step();
        transaction.commit();
        if (!flushLog()) {
            return std::nullopt;
        }
        return marks;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool SqliteStore::putImage(std::string_view hash, std::string_view png, int64_t now_ms) {
    static constexpr const char* Sql =
        "INSERT OR IGNORE INTO images (hash, data, created) VALUES (?1, ?2, ?3)";
    try {
        std::lock_guard write_lock(write_mutex_);
        Query(*writer_, Sql).bind(1, hash).bindBlob(2, png).bind(3, now_ms).step();
        return flushLog();
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<std::string> SqliteStore::image(std::string_view hash) {
    static constexpr const char* Sql = "SELECT data FROM images WHERE hash = ?1";
    try {
        auto lease = reader();
        Query query(*lease, Sql);
        query.bind(1, hash);
        if (query.step()) {
            return query.text(0);
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

} // namespace velmo::server
