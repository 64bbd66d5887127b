#pragma once

#include "canvas/canvas_geometry.h"
#include "canvas/compositing.h"
#include "canvas/save_points.h"
#include "canvas/stroke_history.h"

#include <array>
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace velmo::canvas {

// The layers of a history painted at another canvas size a slice at a time, so that a window
// can keep answering while a long history is painted for its new size. It paints the
// confirmed strokes in key order and takes, on the way, the pictures that the save points
// would hold at that size (SavePoints::Spacing), so the canvas that takes the result over
// undoes as fast as after a full repaint. The history may change between slices; a change
// under what was painted is told (noteChanges) and spoils it.
class ResizeRepaint {
public:
    // A picture kept on the way: the strokes up to `through`, `painted` of them.
    struct Snapshot {
        LayerSurfaces layers;
        StrokeKey through;
        size_t painted = 0;
    };

    // `confirmed`: the history's confirmed strokes when the repaint begins, which places the
    // snapshots (one for each lag of `spacing` but the first).
    ResizeRepaint(int width, int height, size_t confirmed, SavePoints::Spacing spacing = {});

    const CanvasGeometry& geometry() const { return geometry_; }
    int width() const { return geometry_.canvas_width; }
    int height() const { return geometry_.canvas_height; }

    // Paints up to `max_strokes` more of the strokes before `unconfirmed_from`, on up to
    // `threads` threads. Gives true once every one of them is painted.
    bool step(const StrokeHistory& history, const StrokeKey& unconfirmed_from, size_t max_strokes,
              unsigned threads);

    // Changes of the history since the last step, as the history records them, to be told
    // before anything takes them. A stroke that came, went or changed under the painted ones
    // (or everything changed) spoils the picture.
    void noteChanges(const HistoryChanges& changes);
    bool spoiled() const { return spoiled_; }

    // The last stroke painted; nothing while none is.
    std::optional<StrokeKey> through() const { return through_; }
    size_t painted() const { return painted_; }
    // The snapshots taken, the oldest first, and the layers; both are moved out.
    std::vector<Snapshot> takeSnapshots() { return std::move(snapshots_); }
    LayerSurfaces takeLayers() { return std::move(layers_); }

private:
    CanvasGeometry geometry_;
    LayerSurfaces layers_;
    // Counts of painted strokes at which a snapshot is due, ascending.
    std::vector<size_t> snapshot_at_;
    std::vector<Snapshot> snapshots_;
    std::optional<StrokeKey> through_;
    size_t painted_ = 0;
    bool spoiled_ = false;
    std::vector<MWStroke> batch_;
};

// How many strokes the next slice paints, from how long the last one took: doubled while a
// slice takes less than half the target, halved while it takes more than twice as long.
class SliceSize {
public:
    explicit SliceSize(double target_ms) : target_ms_(target_ms) {}
    size_t strokes() const { return strokes_; }
    void took(double ms);

private:
    double target_ms_;
    size_t strokes_ = 64;
};

} // namespace velmo::canvas
