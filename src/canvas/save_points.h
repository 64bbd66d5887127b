#pragma once

#include "canvas/compositing.h"
#include "canvas/pixel_rect.h"
#include "canvas/stroke_history.h"
#include "canvas/surface.h"

#include <array>
#include <cstddef>
#include <optional>

namespace velmo::canvas {

// The changed pixels of each layer after a repaint; empty where a layer did not change.
using LayerRects = std::array<PixelRect, 3>;
PixelRect unionOf(const LayerRects& rects);

// Snapshots of the three layers at places along a history, so that a change repaints from the
// nearest snapshot before it instead of from the first stroke, and only inside the rectangle
// of the strokes that changed: painting is pixel-local, so no pixel outside them can differ.
// The layers are always exactly those of a replay of the whole history from the start.
//
// Places, as distances behind the newest confirmed stroke (the last key before
// `unconfirmed_from`, where the own strokes not yet echoed begin):
//   point 0 at the newest confirmed stroke, so another user's stroke arriving (it sorts
//     after every confirmed one and before the unconfirmed) repaints only itself and the
//     unconfirmed strokes over it, and the echo of an own stroke repaints nothing;
//   points 1 to 3 about 256, 2,048 and 16,384 strokes back, so undoing a confirmed own stroke
//     d strokes back walks at most the strokes since the first point at least d back (at
//     most about 8d, and 256 at least), and from the start beyond 16,384; in each case
//     painting only the strokes that touch the undone one's rectangle, clipped to it.
// They follow point 0 by painting the strokes it passes, a few at a time, and are put in
// place by copies whenever a repaint covers the whole surface (a rebuild, a page of strokes
// coming in). While pages come in they do not paint: one left twice its distance behind
// jumps to point 0 by a copy and waits there, so after a load a point may stand anywhere up
// to twice its distance back, and an undo there walks at most about 16d strokes.
//
// Memory: at most four layer sets of 3 x width x height x 4 bytes, allocated as points are
// first needed: 4 x 24.9 MB = 99.5 MB at 1920 x 1080, 4 x 5.8 MB = 23 MB at 600 x 800.
//
// Everything runs on the caller's thread, except that a repaint of many strokes paints bands
// of rows on `threads` threads and joins them before it returns.
class SavePoints {
public:
    static constexpr size_t Count = 4;
    struct Spacing {
        // How many confirmed strokes each point stays behind the newest one (the first is 0).
        std::array<size_t, Count> lags{0, 256, 2048, 16384};
        // Strokes a following point paints forward at most in one repaint.
        size_t follow_step = 64;
        // From this many changes on, a repaint covers the whole surface, which lets it put the
        // points in place by copies.
        size_t whole_surface_changes = 64;
    };

    explicit SavePoints(unsigned threads);
    SavePoints(unsigned threads, Spacing spacing);

    // Forgets every point and frees its memory.
    void reset();

    // Paints `live` afresh: the neutral layers, then every stroke of `history` in key order;
    // the points are put at their places on the way. The layers must all have one size.
    void rebuild(const StrokeHistory& history, LayerSurfaces& live, float pixel_scale,
                 const StrokeKey& unconfirmed_from);

    // Brings `live`, which showed the history before `changes`, up to `history` as it is now;
    // gives the rectangles of each layer that may have changed.
    LayerRects update(const StrokeHistory& history, const HistoryChanges& changes,
                      LayerSurfaces& live, float pixel_scale, const StrokeKey& unconfirmed_from);

    // Every point becomes `layers`, the picture of the strokes up to `through` (`confirmed` of
    // them), painted elsewhere: followers then wait there for strokes to pass them.
    // Until endAdoption the history may lack strokes up to `through` (they come later, and are
    // never painted): no point moves back before it, nor paints what lies up to it.
    // With `keep_placed`, followers placed (by place, after a reset) stay where they are.
    void adopt(const LayerSurfaces& layers, const StrokeKey& through, size_t confirmed,
               bool keep_placed = false);
    void endAdoption() { floor_.reset(); }
    // Puts follower `index` at `through`, holding `layers`, the picture of the strokes up to
    // there, with `lag` confirmed strokes between it and point 0.
    void place(size_t index, LayerSurfaces layers, const StrokeKey& through, size_t lag);

    // The bytes the points' surfaces hold.
    size_t memoryBytes() const;

    // Where point `index` stands: nothing when it is not placed; a key, or no key for a point
    // before every stroke (the neutral layers).
    std::optional<std::optional<StrokeKey>> placeOf(size_t index) const;
    // The layers of point `index` (valid while it is placed).
    const LayerSurfaces& layersOf(size_t index) const { return points_[index].layers; }

private:
    struct Point {
        bool placed = false;
        // Holds every stroke with a key up to `through`, or none at all.
        std::optional<StrokeKey> through;
        LayerSurfaces layers;
        // Confirmed strokes between this point and point 0, as far as they are counted.
        size_t lag = 0;
    };
    struct Walk;

    // A point is untouched by a change at `key` when it holds no stroke from there on.
    static bool before(const Point& point, const StrokeKey& key) {
        return !point.through || *point.through < key;
    }
    void allocate(Point& point, int width, int height);
    // Paints the strokes after `point` up to `last` (at most `limit` of them) onto it.
    size_t paintForward(Point& point, const StrokeHistory& history, const StrokeKey& last,
                        size_t limit, float pixel_scale);
    // Moves the moved strokes whose new place changes no pixel; the rest are left in `changes`.
    void applyQuietMoves(const StrokeHistory& history, std::vector<StrokeChange>& changes,
                         float pixel_scale, int width, int height);
    void runWalk(Walk& walk, LayerSurfaces& live);

    unsigned threads_;
    Spacing spacing_;
    std::array<Point, Count> points_;
    // Confirmed strokes up to point 0, as far as they are counted.
    size_t confirmed_ = 0;
    // An adopted picture's place, while the strokes it holds may still be missing.
    std::optional<StrokeKey> floor_;
};

} // namespace velmo::canvas
