#pragma once

#include "store/bound_keys.h"
#include "store/sqlite/sqlite_schema.h"
#include "store/store.h"

#include <memory>
#include <string>

namespace velmo::server {

class AppendPipeline;
class RecentStrokes;
class SqliteReaders;
class SqliteWriter;

// The store in one SQLite file in WAL mode (synchronous=FULL) with a stroke journal of two
// files beside it (`<file>-strokes.0` and `.1`). Appends go through the AppendPipeline: an
// append is answered once its journal record is flushed, and the journal is copied into the
// database in large batches. Before a search, a share page or a delete, after a second without
// appends, and at shutdown, everything is copied at once. A start copies whatever a crash left
// in the journal. Reads use their own connections, so they do not wait for a write, and find
// the strokes not yet copied in memory (RecentStrokes), which also keeps the newest stamp of
// every canvas. Every other write goes through the one writer connection.
class SqliteStore final : public Store {
public:
    // Opens or creates the database and brings its schema up to date. Nothing, with a reason
    // in `error`, when the file cannot be opened or written or is from a newer version.
    static std::unique_ptr<SqliteStore> open(const std::string& path, std::string* error);
    // Use open(); this takes the parts that open() has set up, the pipeline already running
    // on the writer and the memory given with it.
    SqliteStore(std::unique_ptr<SqliteWriter> writer, std::unique_ptr<SqliteReaders> readers,
                std::unique_ptr<RecentStrokes> recent, std::unique_ptr<AppendPipeline> pipeline);
    ~SqliteStore() override;

    std::optional<int64_t> appendStroke(std::string_view canvas_id, const canvas::MWStroke& stroke,
                                        int64_t now_ms) override;
    void appendStrokeAsync(std::string canvas_id, canvas::MWStroke stroke, int64_t now_ms,
                           size_t reply_bytes, AppendDone done) override;
    std::optional<std::vector<StoredStroke>> strokesAfter(std::string_view canvas_id, int64_t after,
                                                          size_t limit) override;
    int64_t lastStamp(std::string_view canvas_id) override;
    std::optional<size_t> deleteStrokes(std::string_view canvas_id, std::string_view user_name,
                                        int64_t client_time, int64_t now_ms) override;
    bool setImageUrl(std::string_view canvas_id, ImageKind kind, std::string_view url,
                     int64_t now_ms) override;
    std::optional<std::vector<CanvasInfo>> findCanvases(std::string_view nickname,
                                                        size_t limit) override;
    std::optional<std::vector<CanvasInfo>> canvasesByDateId(std::string_view date_id,
                                                            size_t limit) override;
    CanvasLookup canvas(std::string_view canvas_id) override;
    // Counted at the start and kept in memory with every append and delete.
    std::optional<CanvasSize> canvasSize(std::string_view canvas_id) override;
    bool saveMarks(const std::vector<SavedMark>& marks) override;
    std::optional<std::vector<SavedMark>> takeSavedMarks() override;
    std::optional<KeyCheck> checkUserKey(std::string_view user_name, std::string_view key_hash,
                                         int64_t now_ms) override;
    std::optional<KeyCheck> knownUserKey(std::string_view user_name,
                                         std::string_view key_hash) override;
    std::optional<bool> hasStrokeBy(std::string_view canvas_id,
                                    std::string_view user_name) override;
    std::optional<std::vector<CanvasSummary>> listCanvases(std::string_view after,
                                                           size_t limit) override;
    std::optional<std::vector<CanvasUser>>
    canvasUsers(std::string_view canvas_id, std::string_view after, size_t limit) override;
    std::optional<size_t> removeStrokes(std::string_view canvas_id,
                                        std::optional<std::string_view> user_name,
                                        int64_t now_ms) override;
    bool setBan(const Ban& ban, bool banned) override;
    std::optional<std::vector<Ban>> bans() override;
    bool putImage(std::string_view hash, std::string_view png, int64_t now_ms) override;
    std::optional<std::string> image(std::string_view hash) override;

    // The schema version this build writes.
    static constexpr int SchemaVersion = SqliteSchema::Version;

private:
    // The pipeline stops first (it copies the journal through the writer and publishes to the
    // memory); the writer closes last.
    std::unique_ptr<SqliteWriter> writer_;
    std::unique_ptr<SqliteReaders> readers_;
    std::unique_ptr<RecentStrokes> recent_;
    std::unique_ptr<AppendPipeline> pipeline_;
    BoundKeys bound_keys_{100000};
};

} // namespace velmo::server
