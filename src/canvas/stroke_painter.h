#pragma once

#include "canvas/canvas_geometry.h"
#include "canvas/compositing.h"
#include "canvas/mw_stroke.h"
#include "canvas/rasterizer.h"
#include "canvas/surface.h"

#include <vector>

namespace velmo::canvas {

// Replays stored strokes: each as one polyline in its pen colour at its density, round caps
// and joins, painted once per pixel. Keeps scratch memory between strokes; not thread-safe.
class StrokePainter {
public:
    // Paints `stroke` onto `bitmap` (its layer field is not looked at). Canvas units become
    // pixels by `pixel_scale`. Points are taken from points_x, but never past points_y.
    // Fewer than two points paint nothing.
    PixelRect drawStroke(Surface& bitmap, const MWStroke& stroke, float pixel_scale);

    // Fresh neutral layers, then every stroke in order onto its layer (strokes on a layer
    // other than 0, 1 or 2 are skipped), composed into `display`.
    void render(LayerSurfaces& layers, Surface& display, const std::vector<MWStroke>& strokes,
                float pixel_scale);

private:
    StrokeRasterizer rasterizer_;
    std::vector<float> xs_, ys_;
};

// The picture of a canvas made from its strokes in order, on a fresh canvas of `geometry`.
Surface renderPicture(const std::vector<MWStroke>& strokes, const CanvasGeometry& geometry);

} // namespace velmo::canvas
