
#include "store/sqlite/sqlite_store.h"

#include "canvas/stroke_text.h"
#include "wire/canvas_id.h"
#include "wire/date_id.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>
#include <tuple>
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
    // Appends go to the stroke journal; this is the sequence number of the last journal record
    // copied into the strokes table. fresh_strokes is only read to move what a crash of a
    // version 3 server left in it.
    R"sql(
    CREATE TABLE journal_state (
        id INTEGER PRIMARY KEY CHECK (id = 1),
        copied INTEGER NOT NULL
    );
    INSERT INTO journal_state (id, copied) VALUES (1, 0);
    )sql",
};

// What a version 3 server left in fresh_strokes, moved into the strokes table. Its canvas rows
// may lack the last commits' strokes: they are counted again. A stamp stands in for the time
// of its append, which it equals unless the canvas received several in one millisecond.
constexpr const char* MoveFresh =
    "INSERT INTO strokes (canvas_id, server_time, client_time, user_name, text) "
    "SELECT canvas_id, server_time, client_time, user_name, text FROM fresh_strokes "
    "ORDER BY canvas_id, server_time";
constexpr const char* ClearFresh = "DELETE FROM fresh_strokes";
constexpr const char* RecountFresh =
    "WITH fresh AS (SELECT canvas_id, max(server_time) AS newest, count(*) AS added FROM "
    "fresh_strokes GROUP BY canvas_id) UPDATE canvases SET last_stamp = max(last_stamp, "
    "fresh.newest), last_activity = max(last_activity, fresh.newest), stroke_count = "
    "fresh.added + (SELECT count(*) FROM strokes WHERE strokes.canvas_id = canvases.canvas_id) "
    "FROM fresh WHERE canvases.canvas_id = fresh.canvas_id";
// Adds appended strokes to a canvas's row, creating it if needed. A copy of the journal
// stands a stroke's stamp in for the time of its append, as above.
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
    const auto date_id = wire::dateIdOf(canvas_id);
    Query query(db, Sql);
    query.bind(1, canvas_id).bindNullable(2, wire::nicknameOf(canvas_id));
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

// Appends written to the journal in one write, waiting for the flush that makes them durable.
struct SqliteStore::CommittedBatch {
    std::vector<std::unique_ptr<PendingAppend>> appends;
    // The stored strokes per canvas, published to memory once flushed.
    std::vector<std::pair<std::string, std::vector<RecentStroke>>> strokes;
    uint64_t number = 0;
    unsigned journals = 0; // bit i: written to journal file i
};

namespace {

// Bounds of the strokes kept in memory: per canvas, in all, and in bytes of text in all.
// Strokes not yet copied into the database stay beyond them.
constexpr size_t RecentPerCanvas = 512;
constexpr size_t RecentEntries = 1 << 16;
constexpr size_t RecentBytes = 16 << 20;
// The journal is copied into the database once it holds this many strokes or bytes: each copy
// writes the index pages of a canvas once for all of that canvas's strokes in it, so larger
// copies cost less per stroke, but keep more strokes in memory meanwhile and leave more for a
// start to copy after a crash.
constexpr size_t CopyCount = 4096;
constexpr size_t CopyBytes = 8 << 20;
// ... and once the appends pause this long, so that the database is complete when nobody
// draws.
constexpr auto CopyPause = std::chrono::seconds(1);

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
            Transaction transaction(*writer);
            Query(*writer, RecountFresh).step();
            Query(*writer, MoveFresh).step();
            Query(*writer, ClearFresh).step();
            transaction.commit();
        }
        std::vector<std::unique_ptr<StrokeJournal>> journals;
        for (const char* name : {"-strokes.0", "-strokes.1"}) {
            journals.push_back(StrokeJournal::open(path + name, error));
            if (!journals.back()) {
                return nullptr;
            }
        }
        // What the last run journaled and did not copy: every acknowledged append, perhaps a
        // few more whose answers a crash cut off. They continue the copied ones' numbers, in
        // one file or running on into the other.
        uint64_t copied = 0;
        {
            Query state(*writer, "SELECT copied FROM journal_state");
            if (state.step()) {
                copied = static_cast<uint64_t>(state.integer(0));
            }
        }
        std::vector<JournalRecord> left = journals[0]->recover(copied + 1);
        const size_t first = left.empty() ? 1 : 0;
        if (left.empty()) {
            left = journals[1]->recover(copied + 1);
        }
        if (!left.empty()) {
            auto more = journals[1 - first]->recover(left.back().sequence + 1);
            std::move(more.begin(), more.end(), std::back_inserter(left));
            JournalPart part;
            for (const JournalRecord& r : left) {
                part.add(strokeKey(r.canvas_id, r.user_name, r.client_time), r.canvas_id,
                         r.server_time, r.client_time, r.user_name, r.text);
            }
            copied = left.back().sequence;
            part.last_sequence = copied;
            Transaction transaction(*writer);
            insertStrokes(*writer, part);
            transaction.commit();
        }
        auto lookup = SqliteConnection::open(path, false);
        lookup->exec("PRAGMA query_only=1");
        auto store = std::make_unique<SqliteStore>(path, std::move(writer), std::move(lookup),
                                                   std::move(journals), copied + 1);
        Query stamps(*store->writer_, "SELECT canvas_id, last_stamp FROM canvases");
        while (stamps.step()) {
            const int64_t last = stamps.integer(1);
            // Memory starts empty: only strokes stamped after `last` are certain to be in it.
            store->canvases_.emplace(stamps.text(0), CanvasMemory{last, last, last, nullptr});
        }
        return store;
    } catch (const std::exception& e) {
        if (error) {
            *error = e.what();
        }
        return nullptr;
    }
}

SqliteStore::SqliteStore(std::string path, std::unique_ptr<SqliteConnection> writer,
                         std::unique_ptr<SqliteConnection> lookup,
                         std::vector<std::unique_ptr<StrokeJournal>> journals,
                         uint64_t next_sequence)
    : path_(std::move(path)), writer_(std::move(writer)), lookup_(std::move(lookup)),
      journals_(std::move(journals)), next_sequence_(next_sequence) {
    copier_ = std::thread([this] { copyLoop(); });
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
    {
        // A database closed cleanly holds every stroke; otherwise the next start copies them.
        std::unique_lock write_lock(write_mutex_);
        copyAll(write_lock);
        copier_closing_ = true;
    }
    copy_wanted_.notify_one();
    copier_.join();
    // Readers close first so that the writer, closing last, checkpoints the log into the file.
    idle_readers_.clear();
    lookup_.reset();
    writer_.reset();
}

void SqliteStore::commitLoop() {
    while (true) {
        auto batch = std::make_unique<CommittedBatch>();
        {
            // A batch written while an earlier one still waits for the flusher would be
            // flushed with it anyway: let the queue grow instead and write it all at once.
            std::unique_lock lock(flush_mutex_);
            flush_taken_.wait(lock, [this] { return flush_queue_.empty(); });
        }
        {
            std::unique_lock lock(queue_mutex_);
            committer_waiting_ = true;
            const bool woken = queue_ready_.wait_for(
                lock, CopyPause, [this] { return closing_ || !queue_.empty(); });
            committer_waiting_ = false;
            if (!woken) {
                lock.unlock();
                std::unique_lock write_lock(write_mutex_);
                if (!writing_.strokes.empty() || !sealed_.strokes.empty()) {
                    copyAll(write_lock);
                }
                continue;
            }
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
        // One flush for every batch written while the last one ran. Strokes copied into the
        // database meanwhile are durable there already.
        unsigned written = 0;
        for (const auto& batch : batches) {
            written |= batch->journals;
        }
        bool durable = true;
        for (size_t i = 0; i < journals_.size(); ++i) {
            if ((written & (1u << i)) != 0 && !journals_[i]->flush()) {
                durable = false;
            }
        }
        for (auto& batch : batches) {
            // A failed flush leaves the strokes where later reads and copies find them; memory
            // must agree. Their authors hear of a failure and resend, which finds the stroke.
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
    static constexpr const char* FindCopied =
        "SELECT server_time, text FROM strokes WHERE canvas_id = ?1 AND user_name = ?2 AND "
        "client_time = ?3";

    // Per canvas of the batch: its new strokes.
    std::unordered_map<std::string_view, std::vector<RecentStroke>> added;
    std::lock_guard write_lock(write_mutex_);
    std::string& records = journal_records_;
    records.clear();
    batch.number = ++committed_batches_;
    JournalPart& part = writing_;
    const size_t first_new = part.strokes.size();
    const uint64_t first_sequence = next_sequence_;
    try {
        for (const auto& pending : batch.appends) {
            canvas::MWStroke& stroke = pending->stroke; // the committer's own: stamped in place
            const std::string& canvas_id = pending->canvas_id;
            // A resent append whose answer was lost: the stroke is stored already.
            std::optional<int64_t> resent;
            const auto sameText = [&](int64_t stamp, std::string_view text) {
                stroke.server_time = stamp;
                if (!resent && canvas::stroke_to_text(stroke) == text) {
                    resent = stamp;
                }
            };
            const uint64_t key = strokeKey(canvas_id, stroke.user_name, stroke.client_time);
            for (const JournalPart* journaled : {&sealed_, &part}) {
                for (auto [it, end] = journaled->keys.equal_range(key); it != end; ++it) {
                    const UncopiedStroke& twin = journaled->strokes[it->second];
                    if (journaled->canvasId(twin) == canvas_id) {
                        sameText(twin.server_time, journaled->text(twin));
                    }
                }
            }
            if (!resent && mayHaveCopiedTwin(canvas_id, stroke)) {
                Query same(*lookup_, FindCopied);
                same.bind(1, canvas_id).bind(2, stroke.user_name).bind(3, stroke.client_time);
                while (!resent && same.step()) {
                    sameText(same.integer(0), same.text(1));
                }
            }
            if (resent) {
                pending->stamp = resent;
                continue;
            }
            std::vector<RecentStroke>& strokes = added[canvas_id];
            int64_t last = 0;
            if (!strokes.empty()) {
                last = strokes.back().server_time;
            } else if (const auto given = stamped_.find(canvas_id); given != stamped_.end()) {
                last = given->second;
            } else {
                last = lastStamp(canvas_id);
            }
            stroke.server_time = std::max(pending->now_ms, last + 1);
            std::string text = canvas::stroke_to_text(stroke);
            StrokeJournal::encode(records, next_sequence_++, canvas_id, stroke.server_time,
                                  stroke.client_time, stroke.user_name, text);
            part.add(key, canvas_id, stroke.server_time, stroke.client_time, stroke.user_name,
                     text);
            pending->stamp = stroke.server_time;
            strokes.push_back(
                {stroke.server_time, stroke.client_time, stroke.user_name, std::move(text)});
        }
        if (!records.empty()) {
            if (!journals_[writing_journal_]->write(records)) {
                throw std::runtime_error("the journal refused the strokes");
            }
            batch.journals |= 1u << writing_journal_;
            part.last_sequence = next_sequence_ - 1;
        }
    } catch (const std::exception&) {
        // Nothing of this batch is stored; the next one reuses its place and numbers.
        part.truncate(first_new);
        next_sequence_ = first_sequence;
        for (const auto& pending : batch.appends) {
            pending->stamp.reset();
        }
        return;
    }
    // Published by the flusher once durable, so a reader never sees a stamp whose stroke could
    // still be lost.
    batch.strokes.reserve(added.size());
    for (auto& [canvas_id, strokes] : added) {
        const int64_t newest = strokes.back().server_time;
        if (const auto given = stamped_.find(canvas_id); given != stamped_.end()) {
            given->second = newest;
        } else {
            stamped_.emplace(std::string(canvas_id), newest);
        }
        batch.strokes.emplace_back(std::string(canvas_id), std::move(strokes));
    }
    handOverIfDue();
}

void SqliteStore::handOverIfDue() {
    if (copying_) {
        return;
    }
    if (sealed_.strokes.empty()) {
        if (writing_.strokes.size() < CopyCount && writing_.texts.size() < CopyBytes) {
            return;
        }
        // The other file's strokes are all in the database: it starts over.
        sealed_ = std::move(writing_);
        writing_ = JournalPart{};
        writing_journal_ = 1 - writing_journal_;
        journals_[writing_journal_]->restart();
    } // else the last copy failed: it is tried again
    copying_ = true;
    copy_wanted_.notify_one();
}

void SqliteStore::copyLoop() {
    std::unique_lock write_lock(write_mutex_);
    while (true) {
        copy_wanted_.wait(write_lock, [this] { return copying_ || copier_closing_; });
        if (!copying_) {
            return;
        }
        // The committer only reads sealed_ meanwhile, and nothing else changes it.
        write_lock.unlock();
        const bool done = copyToDatabase(sealed_);
        write_lock.lock();
        if (done) {
            copied(sealed_);
        }
        copying_ = false;
        copy_done_.notify_all();
    }
}

bool SqliteStore::copyAll(std::unique_lock<std::mutex>& write_lock) {
    copy_done_.wait(write_lock, [this] { return !copying_; });
    // In order: the numbers copied must never pass a stroke that is not.
    if (!sealed_.strokes.empty()) {
        if (!copyToDatabase(sealed_)) {
            return false;
        }
        copied(sealed_);
    }
    if (!writing_.strokes.empty()) {
        if (!copyToDatabase(writing_)) {
            return false;
        }
        copied(writing_);
        journals_[writing_journal_]->restart();
    }
    return true;
}

void SqliteStore::copyAllNow() {
    std::unique_lock write_lock(write_mutex_);
    copyAll(write_lock);
}

bool SqliteStore::copyToDatabase(const JournalPart& part) {
    std::lock_guard db_lock(db_mutex_);
    try {
        Transaction transaction(*writer_);
        insertStrokes(*writer_, part);
        transaction.commit();
        return true;
    } catch (const std::exception&) {
        return false; // the journal keeps them meanwhile
    }
}

void SqliteStore::copied(JournalPart& part) {
    newest_copied_.clear();
    {
        std::unique_lock lock(memory_mutex_);
        for (const UncopiedStroke& stroke : part.strokes) {
            const std::string_view canvas_id = part.canvasId(stroke);
            auto canvas = canvases_.find(canvas_id);
            if (canvas == canvases_.end()) {
                canvas = canvases_.emplace(std::string(canvas_id), CanvasMemory{}).first;
            }
            canvas->second.copied = std::max(canvas->second.copied, stroke.server_time);
        }
    }
    part = JournalPart{};
}

namespace {

// Rows per INSERT. One statement for many rows allocates SQLite's record buffers and cursors
// once, not once per stroke; without lookaside memory, those allocations were most of a copy.
constexpr size_t InsertRows = 64;

// "INSERT ... VALUES (?,?,?,?,?),..." for 1 to InsertRows rows. The statement cache is keyed
// by the text's address, so each text is made once and kept. A stamp the canvas has already is
// a record copied before: a journal that outlived the state of its database (a restored
// backup, say) must not stop the server from starting, hence OR IGNORE.
const char* insertStrokesSql(size_t rows) {
    static const std::array<std::string, InsertRows + 1> texts = [] {
        std::array<std::string, InsertRows + 1> all;
        for (size_t n = 1; n <= InsertRows; ++n) {
            all[n] = "INSERT OR IGNORE INTO strokes (canvas_id, server_time, client_time, "
                     "user_name, text) VALUES (?,?,?,?,?)";
            for (size_t row = 1; row < n; ++row) {
                all[n] += ",(?,?,?,?,?)";
            }
        }
        return all;
    }();
    return texts[rows].c_str();
}

} // namespace

void SqliteStore::insertStrokes(SqliteConnection& db, const JournalPart& journaled) {
    std::vector<const UncopiedStroke*> strokes;
    strokes.reserve(journaled.strokes.size());
    for (const UncopiedStroke& stroke : journaled.strokes) {
        strokes.push_back(&stroke);
    }
    std::stable_sort(strokes.begin(), strokes.end(),
                     [&](const UncopiedStroke* a, const UncopiedStroke* b) {
                         return std::pair(journaled.canvasId(*a), a->server_time) <
                                std::pair(journaled.canvasId(*b), b->server_time);
                     });
    for (size_t i = 0; i < strokes.size();) {
        const std::string_view canvas_id = journaled.canvasId(*strokes[i]);
        size_t end = i;
        while (end < strokes.size() && journaled.canvasId(*strokes[end]) == canvas_id) {
            ++end;
        }
        int64_t count = 0;
        const int64_t newest = strokes[end - 1]->server_time;
        while (i < end) {
            const size_t rows = std::min(end - i, InsertRows);
            Query insert(db, insertStrokesSql(rows));
            for (size_t row = 0; row < rows; ++row, ++i) {
                const UncopiedStroke& stroke = *strokes[i];
                const int first = static_cast<int>(row * 5) + 1;
                insert.bind(first, canvas_id)
                    .bind(first + 1, stroke.server_time)
                    .bind(first + 2, stroke.client_time)
                    .bind(first + 3, journaled.userName(stroke))
                    .bind(first + 4, journaled.text(stroke));
            }
            insert.step();
            count += sqlite3_changes64(db.db());
        }
        const auto date_id = wire::dateIdOf(canvas_id);
        Query(db, SaveCanvas)
            .bind(1, canvas_id)
            .bindNullable(2, wire::nicknameOf(canvas_id))
            .bindNullable(3, date_id ? std::optional<std::string_view>(*date_id) : std::nullopt)
            .bind(4, newest)
            .bind(5, newest)
            .bind(6, count)
            .step();
    }
    Query(db, "UPDATE journal_state SET copied = ?1")
        .bind(1, static_cast<int64_t>(journaled.last_sequence))
        .step();
}

void SqliteStore::JournalPart::add(uint64_t key, std::string_view canvas_id, int64_t server_time,
                                   int64_t client_time, std::string_view user_name,
                                   std::string_view text) {
    keys.emplace(key, strokes.size());
    // Sizes come from bounded requests and journal records; uint32 holds any of them.
    strokes.push_back(
        {server_time, client_time, texts.size(), static_cast<uint32_t>(canvas_id.size()),
         static_cast<uint32_t>(user_name.size()), static_cast<uint32_t>(text.size())});
    texts += canvas_id;
    texts += user_name;
    texts += text;
}

void SqliteStore::JournalPart::truncate(size_t count) {
    if (count >= strokes.size()) {
        return;
    }
    for (size_t i = count; i < strokes.size(); ++i) {
        const UncopiedStroke& gone = strokes[i];
        const uint64_t key = strokeKey(canvasId(gone), userName(gone), gone.client_time);
        for (auto [it, end] = keys.equal_range(key); it != end; ++it) {
            if (it->second == i) {
                keys.erase(it);
                break;
            }
        }
    }
    texts.resize(strokes[count].at);
    strokes.resize(count);
}

bool SqliteStore::mayHaveCopiedTwin(std::string_view canvas_id, const canvas::MWStroke& stroke) {
    static constexpr const char* NewestCopied =
        "SELECT max(client_time) FROM strokes WHERE canvas_id = ?1 AND user_name = ?2";
    // Bounded like a cache: an author forgotten costs one lookup.
    constexpr size_t MaxAuthors = 1 << 16;
    author_key_.assign(canvas_id);
    author_key_ += '\0';
    author_key_ += stroke.user_name;
    auto known = newest_copied_.find(std::string_view(author_key_));
    if (known == newest_copied_.end()) {
        Query newest(*lookup_, NewestCopied);
        newest.bind(1, canvas_id).bind(2, stroke.user_name);
        const int64_t client_time = newest.step() && !newest.isNull(0)
                                        ? newest.integer(0)
                                        : std::numeric_limits<int64_t>::min();
        if (newest_copied_.size() >= MaxAuthors) {
            newest_copied_.clear();
        }
        known = newest_copied_.emplace(author_key_, client_time).first;
    }
    return stroke.client_time <= known->second;
}

uint64_t SqliteStore::strokeKey(std::string_view canvas_id, std::string_view user_name,
                                int64_t client_time) {
    constexpr uint64_t Mix = 0x9E3779B97F4A7C15ULL;
    uint64_t key = std::hash<std::string_view>{}(canvas_id);
    key = (key ^ std::hash<std::string_view>{}(user_name)) * Mix;
    return (key ^ static_cast<uint64_t>(client_time)) * Mix;
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
    }
    while (canvas.recent && canvas.recent->size() > RecentPerCanvas &&
           canvas.recent->front().server_time <= canvas.copied) {
        dropOldest(canvas);
    }
    while (!recent_order_.empty() &&
           (recent_bytes_ > RecentBytes || recent_order_.size() > RecentEntries)) {
        const RecentRef oldest = recent_order_.front();
        const auto& recent = oldest.canvas->recent;
        const bool listed =
            recent && !recent->empty() && recent->front().server_time == oldest.server_time;
        if (listed && oldest.server_time > oldest.canvas->copied) {
            break; // the rest waits for the next copy
        }
        recent_order_.pop_front();
        if (listed) {
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

std::optional<std::vector<StoredStroke>> SqliteStore::strokesAfter(std::string_view canvas_id,
                                                                   int64_t after, size_t limit) {
    static constexpr const char* Sql =
        "SELECT server_time, client_time, text FROM strokes WHERE canvas_id = ?1 AND "
        "server_time > ?2 ORDER BY server_time, client_time LIMIT ?3";
    // Memory first, then the database: a stroke leaves memory only once it is in the
    // database, so between them nothing is missed.
    std::vector<StoredStroke> remembered;
    {
        std::shared_lock lock(memory_mutex_);
        const auto found = canvases_.find(canvas_id);
        if (found != canvases_.end()) {
            const CanvasMemory& canvas = found->second;
            // Stamps are positive, so memory that reaches back to 0 holds the whole canvas.
            const bool complete = std::max<int64_t>(after, 0) >= canvas.floor;
            if (canvas.recent) {
                auto it = std::upper_bound(canvas.recent->begin(), canvas.recent->end(), after,
                                           [](int64_t stamp, const RecentStroke& stroke) {
                                               return stamp < stroke.server_time;
                                           });
                for (; it != canvas.recent->end() && remembered.size() < limit; ++it) {
                    remembered.push_back({it->server_time, it->client_time, it->text});
                }
            }
            if (complete) {
                return remembered;
            }
        }
    }
    try {
        auto lease = reader();
        Query query(*lease, Sql);
        query.bind(1, canvas_id).bind(2, after).bind(3, static_cast<int64_t>(limit));
        std::vector<StoredStroke> strokes;
        while (query.step()) {
            strokes.push_back({query.integer(0), query.integer(1), query.text(2)});
        }
        // The strokes not yet copied are the newest ones.
        const int64_t last = strokes.empty() ? after : strokes.back().server_time;
        for (StoredStroke& stroke : remembered) {
            if (strokes.size() >= limit) {
                break;
            }
            if (stroke.server_time > last) {
                strokes.push_back(std::move(stroke));
            }
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
    static constexpr const char* Count =
        "UPDATE canvases SET stroke_count = stroke_count - ?2, "
        "last_activity = max(last_activity, ?3) WHERE canvas_id = ?1";
    try {
        std::unique_lock write_lock(write_mutex_);
        // The stroke may still be in the journal only; a start would copy it back otherwise.
        if (!copyAll(write_lock)) {
            return std::nullopt;
        }
        std::unique_lock db_lock(db_mutex_);
        Transaction transaction(*writer_);
        Query(*writer_, Delete).bind(1, canvas_id).bind(2, user_name).bind(3, client_time).step();
        const auto removed = static_cast<size_t>(sqlite3_changes64(writer_->db()));
        if (removed > 0) {
            Query(*writer_, Count)
                .bind(1, canvas_id)
                .bind(2, static_cast<int64_t>(removed))
                .bind(3, now_ms)
                .step();
        }
        transaction.commit();
        db_lock.unlock();
        // Batches written before this delete may not have reached memory yet; what memory
        // forgets must be there already.
        waitUntilPublished();
        if (removed > 0) {
            forgetDeleted(canvas_id, user_name, client_time);
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
        std::lock_guard db_lock(db_mutex_);
        Transaction transaction(*writer_);
        upsertCanvasColumns(*writer_, canvas_id, now_ms);
        Query(*writer_, kind == ImageKind::Thumbnail ? Thumbnail : FullImage)
            .bind(1, canvas_id)
            .bind(2, url)
            .step();
        transaction.commit();
        return true;
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
        copyAllNow();
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
        copyAllNow();
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
        copyAllNow();
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
        std::lock_guard db_lock(db_mutex_);
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
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<std::vector<SavedMark>> SqliteStore::takeSavedMarks() {
    static constexpr const char* Select =
        "SELECT canvas_id, user_name, mark, owes_notice, last_seen FROM saved_marks";
    static constexpr const char* Clear = "DELETE FROM saved_marks";
    try {
        std::lock_guard db_lock(db_mutex_);
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
        return marks;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool SqliteStore::putImage(std::string_view hash, std::string_view png, int64_t now_ms) {
    static constexpr const char* Sql =
        "INSERT OR IGNORE INTO images (hash, data, created) VALUES (?1, ?2, ?3)";
    try {
        std::lock_guard db_lock(db_mutex_);
        Query(*writer_, Sql).bind(1, hash).bindBlob(2, png).bind(3, now_ms).step();
        return true;
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
