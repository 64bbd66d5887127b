#pragma once

#include "store/store.h"
#include "store/string_hash.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmo::server {

// A stroke kept in memory for the replies that follow its append.
struct RecentStroke {
    int64_t server_time = 0;
    int64_t client_time = 0;
    std::string user_name;
    std::string text;
};

// The newest stamp of every canvas and its latest durable strokes, so that the replies to
// appends and to users who are nearly up to date need no read of the database, and a poll
// with nothing new never reaches it. Strokes not yet in the database's own tables (those a
// backend keeps elsewhere until it copies them) are never dropped; others go, oldest first,
// beyond a bound per canvas, in all, and in bytes of text. Thread-safe: reads share one lock,
// changes take it alone.
class RecentStrokes {
public:
    // A canvas whose strokes up to `last_stamp` are in the database; memory holds none of them.
    // `size` is what the database holds of it. For the start, before the strokes of any append
    // are remembered.
    void seed(std::string canvas_id, int64_t last_stamp, Store::CanvasSize size = {});

    // The newest stamp remembered for the canvas, 0 for an unknown canvas.
    int64_t lastStamp(std::string_view canvas_id) const;

    // Takes newly stamped, durable strokes of the canvas into memory (moved from `strokes`,
    // which must be in stamp order and follow every stroke remembered before, foreign ones
    // aside: those at or before a stamp given to noteForeign are passed over), then drops the
    // oldest copied ones beyond the bounds.
    void remember(const std::string& canvas_id, std::vector<RecentStroke>& strokes);

    // Appends to `out` the remembered strokes of the canvas stamped after `after`, in stamp
    // order, until `out` holds `limit`. True when memory reaches back far enough that they
    // are every stroke of the canvas stamped after `after`; otherwise the database holds the
    // older ones, and the strokes given here are the newest.
    bool strokesAfter(std::string_view canvas_id, int64_t after, size_t limit,
                      std::vector<StoredStroke>& out) const;

    // Another server instance on the same database stored a stroke stamped `stamp` on the
    // canvas (0: it removed one). Memory then holds none of the canvas's strokes, as it cannot
    // know which it lacks, and takes the stamp as the newest. Strokes of this instance stamped
    // before it and remembered later are passed over; the database has them.
    void noteForeign(std::string_view canvas_id, int64_t stamp);

    // Forgets the canvas's strokes of `user_name` with `client_time`, once the database has
    // removed them.
    void forget(std::string_view canvas_id, std::string_view user_name, int64_t client_time);

    // Strokes and bytes of text of the canvas: the seeded size, every remembered stroke added
    // and every removal noted with shrink() taken off. 0, 0 for an unknown canvas.
    Store::CanvasSize size(std::string_view canvas_id) const;
    void shrink(std::string_view canvas_id, Store::CanvasSize removed);

    // Notes strokes that reached the database, all under one hold of the lock: memory may drop
    // them from now on. Made by noteCopied(); note() once per stroke copied.
    class Copied {
    public:
        explicit Copied(RecentStrokes& recent) : recent_(recent), lock_(recent.mutex_) {}
        void note(std::string_view canvas_id, int64_t server_time);

    private:
        RecentStrokes& recent_;
        std::unique_lock<std::shared_mutex> lock_;
    };
    Copied noteCopied() { return Copied(*this); }

private:
    // Per canvas: the newest stamp and the latest strokes. Every stroke stamped after `floor`
    // is in `recent`, in stamp order. Strokes stamped after `copied` may not be in the
    // database yet and are never dropped.
    struct CanvasMemory {
        int64_t last_stamp = 0;
        int64_t floor = 0;
        int64_t copied = 0;
        Store::CanvasSize size;
        std::unique_ptr<std::deque<RecentStroke>> recent; // made on the first append
    };
    struct RecentRef {
        CanvasMemory* canvas;
        int64_t server_time;
    };

    void dropOldest(CanvasMemory& canvas);

    mutable std::shared_mutex mutex_;
    std::unordered_map<std::string, CanvasMemory, StringHash, std::equal_to<>> canvases_;
    // Every remembered stroke in append order, to drop the oldest first; entries of strokes
    // already dropped or forgotten are skipped.
    std::deque<RecentRef> recent_order_;
    size_t recent_bytes_ = 0;
};

} // namespace velmo::server
