#pragma once

#include "canvas/canvas_geometry.h"
#include "canvas/compositing.h"
#include "canvas/pixel_rect.h"
#include "png/png_bands.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace velmo::server {

// What a render of one canvas at one size keeps between requests: the three layers painted
// from the canvas's strokes, which strokes they hold, and the files made of them (the composed
// picture for GET /render, the layers for GET /layers), each encoded a band of rows at a time
// and with its ETag. The store stays the one truth; this is a copy that renderCanvas brings up
// to date from it on every request (canvas_render.h):
// - it is used as it is while the canvas's last stamp and stroke count are those it was painted
//   with;
// - strokes appended since are painted onto it;
// - anything else (a delete, or any change the counts cannot explain) invalidates its pixels,
//   which are painted again from a save point the counts find still good, else from the first
//   stroke;
// - it is dropped when its canvas turns out to have no strokes and no pictures, when a read
//   fails in the middle of a paint (its layers would say nothing), or by the cache's bound.
struct CanvasRender {
    // The layers as they were after some stroke, with what they hold.
    struct SavePoint {
        canvas::LayerSurfaces layers;
        int64_t through = 0;
        int64_t strokes = 0;
        std::string newest_hash;
    };

    canvas::CanvasGeometry geometry;
    // Empty until the first paint.
    canvas::LayerSurfaces layers;
    // False while the layers say nothing: never painted, or a paint was cut off by a failure.
    bool painted = false;
    // Store::lastStamp as it was before the strokes painted last were read: while it and the
    // canvas's stroke count stay what they were, nothing changed.
    int64_t last_stamp = 0;
    // The stamp of the newest stroke painted (0 for none) and how many strokes are painted
    // (each stored stroke read counts, strokes of layers the engine skips included).
    int64_t through = 0;
    int64_t strokes = 0;
    // The newest painted stroke's text hashed (RenderFolder checks a kept file by it).
    std::string newest_hash;
    // Since the layers were last kept on disk or loaded from there: the strokes painted on top
    // of them, and whether everything was painted again.
    int64_t unsaved_strokes = 0;
    bool unsaved_repaint = false;
    // On a big canvas, so that a delete of a recent stroke (an undo) paints from one of these
    // instead of from the first stroke: `recent` is taken every RenderCache::SavePointRules
    // spacing strokes, and `older` is the one taken before it, so it stays between one and
    // two spacings behind the newest painted. A delete newer than `older` repaints at most two
    // spacings of strokes. Two more layer sets of memory while the canvas is that big.
    std::optional<SavePoint> recent;
    std::optional<SavePoint> older;

    // The composed picture and its file, made the first time a picture is asked for; the part
    // of the picture not yet composed again since the layers changed there.
    canvas::Surface picture;
    canvas::PixelRect picture_stale;
    std::optional<png::PngBands> picture_file;
    std::optional<png::PngBands> layers_file;
    // Of the files as they are; empty when not yet worked out since the last change.
    std::string picture_etag;
    std::string layers_etag;

    // Layer `layer` changed in `rect`: the files mark their rows there.
    void layerChanged(size_t layer, canvas::PixelRect rect);
    // Every pixel changed (a paint from the first stroke).
    void allChanged();
    // Memory held: pixels, encoded bands, ETags.
    size_t memoryBytes() const;
};

// From how many strokes a render keeps save points (CanvasRender::recent and older), and how
// far apart.
struct RenderSavePointRules {
    int64_t from = 20'000;
    int64_t spacing = 500;
};

// Renders of canvases kept for the requests after them, by canvas ID and canvas size, bounded
// by bytes: when the entries' memory (CanvasRender::memoryBytes, counted when a request is done
// with one) passes the bound, the least recently used go first, and an entry larger than the
// bound by itself is not kept. A bound of 0 keeps nothing: every request gets an entry of its
// own.
//
// Memory: the bound, plus the entries requests hold meanwhile (each entry being painted, and
// any evicted while a request still holds it), which the server bounds with its render slots
// (--max-renders) and the render keeper's one: at most 3 x 4 bytes per pixel of the layers
// (three times that with save points), 4 more for a picture, and the encoded files, per render
// in flight.
//
// Thread-safe. A request holds its entry alone (Lease), so two requests for the same canvas and
// size take turns and never paint one entry twice at once; requests for other entries run side
// by side.
class RenderCache {
public:
    using SavePointRules = RenderSavePointRules;

    explicit RenderCache(size_t max_bytes, SavePointRules save_points = {})
        : max_bytes_(max_bytes), save_points_(save_points) {}
    RenderCache(const RenderCache&) = delete;
    RenderCache& operator=(const RenderCache&) = delete;

    class Lease;
    // The entry of this canvas and size, new and empty when none is kept; waits while another
    // request holds it.
    Lease take(std::string_view canvas_id, int width, int height);
    // The sizes kept for this canvas now (RenderKeeper paints them as strokes come).
    std::vector<std::pair<int, int>> sizesOf(std::string_view canvas_id) const;

    // Bytes and entries kept now (entries count once a request is done with them).
    size_t bytes() const;
    size_t entries() const;
    size_t maxBytes() const { return max_bytes_; }
    SavePointRules savePointRules() const { return save_points_; }

private:
    struct Key {
        std::string canvas_id;
        int width;
        int height;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& key) const;
    };
    struct Entry {
        std::mutex mutex;
        CanvasRender render;
    };
    struct Slot {
        std::shared_ptr<Entry> entry;
        std::list<Key>::iterator recent; // in recent_, most recent first
        size_t bytes = 0;
    };

    // Counts an entry's memory again once a request is done with it (or drops it) and evicts
    // beyond the bound. Called with the entry still held.
    void settle(const Key& key, const std::shared_ptr<Entry>& entry, size_t bytes, bool keep);

    const size_t max_bytes_;
    const SavePointRules save_points_;
    mutable std::mutex mutex_;
    std::unordered_map<Key, Slot, KeyHash> slots_;
    std::list<Key> recent_;
    size_t bytes_ = 0;
};

// One request's hold of an entry, alone; movable, not copyable.
class RenderCache::Lease {
public:
    Lease(Lease&&) noexcept = default;
    Lease& operator=(Lease&&) = delete;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease();

    CanvasRender& render() { return entry_->render; }
    // The entry is not worth keeping (its canvas does not exist): dropped when the lease ends.
    void forget() { keep_ = false; }

private:
    friend class RenderCache;
    Lease(RenderCache* cache, Key key, std::shared_ptr<Entry> entry);

    RenderCache* cache_; // none: the entry is the request's own
    Key key_;
    std::shared_ptr<Entry> entry_;
    std::unique_lock<std::mutex> hold_;
    bool keep_ = true;
};

} // namespace velmo::server
