#pragma once

#include "store/sqlite/stroke_journal.h"
#include "store/store.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

struct sqlite3;

namespace velmo::server {

class SqliteConnection;

// The store in one SQLite file in WAL mode (synchronous=FULL) with a stroke journal of two
// files beside it (`<file>-strokes.0` and `.1`). A committer thread takes every append queued
// while it was busy, stamps them and writes them to the journal in one write; a flusher
// thread flushes the journal once for everything written meanwhile, publishes the strokes to
// memory and answers them, so the next batch is built while the disk works. Once a journal
// file holds a few thousand strokes, the committer goes on in the other one while a copier
// thread copies them into the database in one transaction, sorted by canvas; then that file
// may start over. Before a search or a delete, after a second without appends, and at
// shutdown, everything is copied at once. A start copies whatever a crash left in the files.
// Reads use their own connections, so they do not wait for a write, and find the strokes not
// yet copied in memory. The newest stamp of every canvas is kept in memory.
class SqliteStore final : public Store {
public:
    // Opens or creates the database and brings its schema up to date. Nothing, with a reason
    // in `error`, when the file cannot be opened or written or is from a newer version.
    static std::unique_ptr<SqliteStore> open(const std::string& path, std::string* error);
    // Use open(); this takes a connection that open() has set up.
    SqliteStore(std::string path, std::unique_ptr<SqliteConnection> writer,
                std::unique_ptr<SqliteConnection> lookup,
                std::vector<std::unique_ptr<StrokeJournal>> journals, uint64_t next_sequence);
    ~SqliteStore() override;

    std::optional<int64_t> appendStroke(std::string_view canvas_id, const canvas::MWStroke& stroke,
                                        int64_t now_ms) override;
    void appendStrokeAsync(std::string canvas_id, canvas::MWStroke stroke, int64_t now_ms,
                           AppendDone done) override;
    std::optional<std::vector<StoredStroke>> strokesAfter(std::string_view canvas_id, int64_t after,
                                                          size_t limit) override;
    int64_t lastStamp(std::string_view canvas_id) override;
    std::optional<size_t> deleteStrokes(std::string_view canvas_id, std::string_view user_name,
                                        int64_t client_time, int64_t now_ms) override;
    bool setImageUrl(std::string_view canvas_id, ImageKind kind, std::string_view url,
                     int64_t now_ms) override;
    std::optional<std::vector<CanvasInfo>> findCanvases(std::string_view nickname,
                                                        size_t limit) override;
    std::optional<CanvasInfo> canvasByDateId(std::string_view date_id) override;
    std::optional<CanvasInfo> canvas(std::string_view canvas_id) override;
    bool saveMarks(const std::vector<SavedMark>& marks) override;
    std::optional<std::vector<SavedMark>> takeSavedMarks() override;
    bool putImage(std::string_view hash, std::string_view png, int64_t now_ms) override;
    std::optional<std::string> image(std::string_view hash) override;

    // The schema version this build writes.
    static constexpr int SchemaVersion = 4;

private:
    // Lets maps keyed by std::string be searched with a string_view.
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const {
            return std::hash<std::string_view>{}(text);
        }
    };
    struct PendingAppend;
    struct CommittedBatch;
    class ReadLease;

    // A stroke kept in memory for the replies that follow its append.
    struct RecentStroke {
        int64_t server_time = 0;
        int64_t client_time = 0;
        std::string user_name;
        std::string text;
    };
    // Per canvas: the newest stamp and the latest strokes. Every stroke stamped after `floor`
    // is in `recent`, in stamp order, so the replies to appends and to users who are nearly
    // up to date need no read transaction. Strokes stamped after `copied` may not be in the
    // database yet and are never dropped from memory.
    struct CanvasMemory {
        int64_t last_stamp = 0;
        int64_t floor = 0;
        int64_t copied = 0;
        std::unique_ptr<std::deque<RecentStroke>> recent; // made on the first append
    };
    struct RecentRef {
        CanvasMemory* canvas;
        int64_t server_time;
    };
    // A journaled stroke not yet in the database. Its texts lie in its JournalPart's `texts`,
    // canvas ID, author and stroke text back to back from `at`.
    struct UncopiedStroke {
        int64_t server_time = 0;
        int64_t client_time = 0;
        size_t at = 0;
        uint32_t canvas_size = 0;
        uint32_t user_size = 0;
        uint32_t text_size = 0;
    };
    // The strokes of one journal file not yet in the database, in order, and by a hash of
    // their canvas, author and client time for resent appends (a hash names candidates; their
    // texts decide). The texts of all its strokes share one buffer: a few large allocations
    // for a file's worth of strokes instead of three per stroke, made on one thread and freed
    // on another.
    struct JournalPart {
        std::vector<UncopiedStroke> strokes;
        std::unordered_multimap<uint64_t, size_t> keys;
        std::string texts;
        uint64_t last_sequence = 0;

        // `key` is strokeKey() of the stroke.
        void add(uint64_t key, std::string_view canvas_id, int64_t server_time, int64_t client_time,
                 std::string_view user_name, std::string_view text);
        // Forgets the strokes from `count` on, with their texts and keys.
        void truncate(size_t count);
        std::string_view canvasId(const UncopiedStroke& stroke) const {
            return std::string_view(texts).substr(stroke.at, stroke.canvas_size);
        }
        std::string_view userName(const UncopiedStroke& stroke) const {
            return std::string_view(texts).substr(stroke.at + stroke.canvas_size, stroke.user_size);
        }
        std::string_view text(const UncopiedStroke& stroke) const {
            return std::string_view(texts).substr(stroke.at + stroke.canvas_size + stroke.user_size,
                                                  stroke.text_size);
        }
    };

    void commitLoop();
    void commitBatch(CommittedBatch& batch);
    void flushLoop();
    void copyLoop();
    // Hands the journal file being written to the copier, once it is large enough and the
    // copier is free, and goes on in the other file. Under write_mutex_.
    void handOverIfDue();
    // Copies every journaled stroke into the database, waiting for the copier first. False
    // when the database refused them; they stay journaled then. Under `write_lock`.
    bool copyAll(std::unique_lock<std::mutex>& write_lock);
    // copyAll() for the reads of canvas rows, which searches and share pages make rare next
    // to appends: the rows then count every stroke.
    void copyAllNow();
    // insertStrokes() in a transaction of its own. Takes db_mutex_.
    bool copyToDatabase(const JournalPart& part);
    // After copyToDatabase: memory may drop these strokes, and resends look for them in the
    // database. Under write_mutex_.
    void copied(JournalPart& part);
    // Inserts journaled strokes into the strokes table, sorted by canvas so that each canvas's
    // index pages are written once, counts them in the canvases' rows and records the last
    // journal record copied; inside the caller's transaction.
    static void insertStrokes(SqliteConnection& db, const JournalPart& journaled);
    // Waits until the flusher has published every batch committed so far. Under write_mutex_.
    void waitUntilPublished();
    // Whether the strokes table may hold an earlier copy of the stroke.
    bool mayHaveCopiedTwin(std::string_view canvas_id, const canvas::MWStroke& stroke);
    void enqueue(std::unique_ptr<PendingAppend> pending);
    ReadLease reader();
    // Takes the strokes of a commit into memory and drops the oldest copied ones beyond the
    // bounds.
    void remember(const std::string& canvas_id, std::vector<RecentStroke>& strokes);
    void dropOldest(CanvasMemory& canvas);
    void forgetDeleted(std::string_view canvas_id, std::string_view user_name, int64_t client_time);
    static uint64_t strokeKey(std::string_view canvas_id, std::string_view user_name,
                              int64_t client_time);

    std::string path_;

    // Every write to the database goes through this connection, under db_mutex_.
    std::mutex db_mutex_;
    std::unique_ptr<SqliteConnection> writer_;

    // The committer's state, under write_mutex_ (taken before db_mutex_ where both are).
    std::mutex write_mutex_;
    std::unique_ptr<SqliteConnection> lookup_; // the committer's reads
    std::vector<std::unique_ptr<StrokeJournal>> journals_;
    size_t writing_journal_ = 0;
    uint64_t next_sequence_;
    JournalPart writing_; // in journals_[writing_journal_]
    JournalPart sealed_;  // in the other file; only read while the copier copies it
    bool copying_ = false;
    bool copier_closing_ = false;
    std::condition_variable copy_wanted_;
    std::condition_variable copy_done_;
    // Per canvas appended to since the start: the newest stamp given (memory publishes a stamp
    // only once its stroke is flushed; the committer stamps ahead of that).
    std::unordered_map<std::string, int64_t, Hash, std::equal_to<>> stamped_;
    // Per canvas and author, a client time no stroke in the strokes table exceeds: a new stroke
    // newer than that cannot be a resend of a copied one, and needs no lookup. Copies clear it.
    std::unordered_map<std::string, int64_t, Hash, std::equal_to<>> newest_copied_;
    std::string author_key_; // reused, so a lookup allocates nothing
    // The records of the batch being committed. Its room is kept from batch to batch: a
    // fresh buffer grown for every batch cost a large allocation each time.
    std::string journal_records_;

    std::mutex queue_mutex_;
    std::condition_variable queue_ready_;
    std::vector<std::unique_ptr<PendingAppend>> queue_;
    bool committer_waiting_ = false;
    bool closing_ = false;
    // Batches written to the journal and waiting for the flusher, numbered in commit order.
    std::mutex flush_mutex_;
    std::condition_variable flush_ready_;
    std::condition_variable flush_taken_;
    std::condition_variable published_;
    std::vector<std::unique_ptr<CommittedBatch>> flush_queue_;
    bool flusher_closing_ = false;
    uint64_t committed_batches_ = 0; // under write_mutex_
    uint64_t published_batches_ = 0; // under flush_mutex_
    std::thread copier_;
    std::thread flusher_;
    std::thread committer_;

    std::mutex readers_mutex_;
    std::vector<std::unique_ptr<SqliteConnection>> idle_readers_;

    std::shared_mutex memory_mutex_;
    std::unordered_map<std::string, CanvasMemory, Hash, std::equal_to<>> canvases_;
    // Every remembered stroke in append order, to drop the oldest first; entries of strokes
    // already dropped or deleted are skipped.
    std::deque<RecentRef> recent_order_;
    size_t recent_bytes_ = 0;
};

} // namespace velmo::server
