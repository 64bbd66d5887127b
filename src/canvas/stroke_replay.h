#pragma once

#include "canvas/canvas_geometry.h"
#include "canvas/compositing.h"
#include "canvas/mw_stroke.h"
#include "canvas/stroke_painter.h"
#include "canvas/surface.h"

#include <cstddef>
#include <span>
#include <vector>

namespace velmo::canvas {

// Paints one stored stroke onto the layer its `layer` field names (0 normal, 1 multiply,
// 2 screen); a stroke naming any other layer is skipped, as the client keeps and sends such
// strokes but never paints them. Points are canvas units, made pixels by the geometry's scale;
// the layers should be its canvas size.
inline void replayStroke(StrokePainter& painter, LayerSurfaces& layers,
                         const CanvasGeometry& geometry, const MWStroke& stroke) {
    if (stroke.layer >= 0 && stroke.layer <= 2) {
        painter.drawStroke(layers[static_cast<size_t>(stroke.layer)], stroke, geometry.pixel_scale);
    }
}

struct StrokeItself {
    const MWStroke& operator()(const MWStroke& stroke) const { return stroke; }
};

// Replays stored strokes onto the three layers, in the order given: each element of `items`
// made a stroke by `stroke_of` (the element itself by default; a history's entry, or a stored
// text decoded as it goes), then painted by replayStroke.
//
// The layers are neither reset nor composed here, so a history too large to hold can be
// replayed a piece at a time onto the same layers with the same result as all at once. The
// painter keeps its scratch memory between calls.
template <typename Items, typename StrokeOf = StrokeItself>
void replayStrokes(StrokePainter& painter, LayerSurfaces& layers, const CanvasGeometry& geometry,
                   const Items& items, StrokeOf stroke_of = {}) {
    for (const auto& item : items) {
        replayStroke(painter, layers, geometry, stroke_of(item));
    }
}

// replayStrokes of `strokes` painted only inside `clip`, in bands on up to `threads` threads
// (forEachBand): the same pixels as replayStrokes gives there. Each band skips the strokes
// whose extent misses it.
void replayInBands(LayerSurfaces& layers, const CanvasGeometry& geometry,
                   std::span<const MWStroke> strokes, PixelRect clip, unsigned threads);

// The picture of a canvas made from its strokes in order, on a fresh canvas of `geometry`,
// painted on every core.
Surface renderPicture(const std::vector<MWStroke>& strokes, const CanvasGeometry& geometry);

} // namespace velmo::canvas
