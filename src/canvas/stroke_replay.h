#pragma once

#include "canvas/canvas_geometry.h"
#include "canvas/compositing.h"
#include "canvas/mw_stroke.h"
#include "canvas/stroke_painter.h"
#include "canvas/surface.h"

#include <concepts>
#include <cstddef>
#include <ranges>
#include <vector>

namespace velmo::canvas {

// A range whose elements are strokes: a vector, the history's values, a view that decodes
// stored text as it goes.
template <typename R>
concept StrokeRange =
    std::ranges::input_range<R> && std::same_as<std::ranges::range_value_t<R>, MWStroke>;

// Replays stored strokes onto the three layers, in the order given, each on the layer its
// `layer` field names (0 normal, 1 multiply, 2 screen); a stroke naming any other layer is
// skipped, as the client keeps and sends such strokes but never paints them. Points are canvas
// units, made pixels by the geometry's scale; the layers should be its canvas size.
//
// The layers are neither reset nor composed here, so a history too large to hold can be
// replayed a piece at a time onto the same layers with the same result as all at once. The
// painter keeps its scratch memory between calls.
template <StrokeRange Strokes>
void replayStrokes(StrokePainter& painter, LayerSurfaces& layers, const CanvasGeometry& geometry,
                   Strokes&& strokes) {
    for (const MWStroke& stroke : strokes) {
        if (stroke.layer >= 0 && stroke.layer <= 2) {
            painter.drawStroke(layers[static_cast<size_t>(stroke.layer)], stroke,
                               geometry.pixel_scale);
        }
    }
}

// The picture of a canvas made from its strokes in order, on a fresh canvas of `geometry`.
Surface renderPicture(const std::vector<MWStroke>& strokes, const CanvasGeometry& geometry);

} // namespace velmo::canvas
