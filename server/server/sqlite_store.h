#pragma once

#include "server/store.h"

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

// The store in one SQLite file in WAL mode: a stroke is in the log and flushed to disk before
// appendStroke answers. A committer thread takes every append queued while it was busy and
// commits them in one transaction; a flusher thread then flushes the log once for every
// transaction committed meanwhile and answers them, so the next commit is built while the disk
// works. Every other write flushes before it returns. Reads use their own connections, so they
// do not wait for a commit. The newest stamp of every canvas is kept in memory.
class SqliteStore final : public Store {
public:
    // Opens or creates the database and brings its schema up to date. Nothing, with a reason
    // in `error`, when the file cannot be opened or written or is from a newer version.
    static std::unique_ptr<SqliteStore> open(const std::string& path, std::string* error);
    // Use open(); this takes a connection that open() has set up.
    SqliteStore(std::string path, std::unique_ptr<SqliteConnection> writer, int log_fd);
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
    static constexpr int SchemaVersion = 3;

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
    // up to date need no read transaction.
    struct CanvasMemory {
        int64_t last_stamp = 0;
        int64_t floor = 0;
        std::unique_ptr<std::deque<RecentStroke>> recent; // made on the first append
    };
    struct RecentRef {
        CanvasMemory* canvas;
        int64_t server_time;
    };

    void commitBatch(CommittedBatch& batch);
    ReadLease reader();
    void commitLoop();
    void flushLoop();
    // Flushes the log to disk: every transaction committed before the call is then durable.
    bool flushLog();
    // Waits until the flusher has published every append batch committed so far. Under
    // write_mutex_.
    void waitUntilPublished();
    // Whether `canvas_id` may hold an earlier copy of the stroke in the strokes table.
    bool mayHaveMovedCopy(std::string_view canvas_id, const canvas::MWStroke& stroke);
    void enqueue(std::unique_ptr<PendingAppend> pending);
    // The strokes after `after` from memory; nothing when memory does not reach back that far.
    std::optional<std::vector<StoredStroke>> recentAfter(std::string_view canvas_id, int64_t after,
                                                         size_t limit);
    // Takes the strokes of a commit into memory and drops the oldest beyond the bounds.
    void remember(const std::string& canvas_id, std::vector<RecentStroke>& strokes);
    void dropOldest(CanvasMemory& canvas);
    void forgetDeleted(std::string_view canvas_id, std::string_view user_name, int64_t client_time);

    std::string path_;

    // Writes go through one connection. Appends are queued for the committer thread; the other
    // writes take the connection directly.
    std::mutex write_mutex_;
    std::unique_ptr<SqliteConnection> writer_;
    // Appends are stored in fresh_strokes, which grows only at its end, so a commit writes a
    // few pages whatever the number of canvases it touches; commits move the oldest of them
    // into the strokes table and its per-canvas indexes in bulk. In memory, for resent
    // strokes and deletes, the fresh rows by a hash of freshKey() (the rows it names are
    // checked against the database) and in insertion order (a deleted row stays listed until
    // it would have been moved). Under write_mutex_.
    struct FreshRow {
        int64_t rowid = 0;
        uint64_t key = 0;
        size_t bytes = 0;
    };
    static void moveFreshUpTo(SqliteConnection& db, int64_t rowid);
    void forgetFreshUpTo(int64_t rowid);
    static uint64_t freshKey(std::string_view canvas_id, std::string_view user_name,
                             int64_t client_time);
    std::unordered_multimap<uint64_t, int64_t> fresh_rows_;
    // Per canvas appended to since the start: the newest stamp given (memory publishes a stamp
    // only once its stroke is flushed; the committer stamps ahead of that) and what its row in
    // the canvases table still lacks. A canvas's row is written by its first commit; later
    // commits only add up here, and saveTallies() writes them out at a move, before a search
    // or a delete, and at shutdown: updating the row and its three indexes on every commit
    // was a large part of an append's cost. After a crash, open() counts them again from the
    // strokes the last run left fresh.
    struct Tally {
        int64_t stamp = 0;
        int64_t unsaved_strokes = 0;
        int64_t unsaved_activity = 0;
        bool unsaved = false;
    };
    std::unordered_map<std::string, Tally, Hash, std::equal_to<>> tallies_;
    std::vector<std::string> unsaved_tallies_;
    // Writes the rows of every canvas in unsaved_tallies_ in the open transaction; once it
    // commits, talliesSaved() marks them saved. Under write_mutex_.
    void saveTallies();
    static void saveCanvas(SqliteConnection& db, std::string_view canvas_id, int64_t stamp,
                           int64_t activity, int64_t added);
    void talliesSaved();
    // Per canvas and author, a client time no stroke in the strokes table exceeds: a new stroke
    // newer than that cannot be a resend of a moved one, and needs no lookup. Rows reach the
    // table only by moves, which clear this.
    std::unordered_map<std::string, int64_t, Hash, std::equal_to<>> newest_moved_;
    std::string author_key_; // reused, so a lookup allocates nothing
    std::deque<FreshRow> fresh_order_;
    size_t fresh_count_ = 0;
    size_t fresh_bytes_ = 0;
    std::mutex queue_mutex_;
    std::condition_variable queue_ready_;
    std::vector<std::unique_ptr<PendingAppend>> queue_;
    bool committer_waiting_ = false;
    bool closing_ = false;
    // Committed batches waiting for the flusher, numbered in commit order.
    int log_fd_;
    std::mutex flush_mutex_;
    std::condition_variable flush_ready_;
    std::condition_variable published_;
    std::condition_variable flush_taken_;
    std::vector<std::unique_ptr<CommittedBatch>> flush_queue_;
    bool flusher_closing_ = false;
    uint64_t committed_batches_ = 0; // under write_mutex_
    uint64_t published_batches_ = 0; // under flush_mutex_
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
