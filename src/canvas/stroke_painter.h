#pragma once

#include "canvas/mw_stroke.h"
#include "canvas/pixel_rect.h"
#include "canvas/rasterizer.h"
#include "canvas/stroke_history.h"
#include "canvas/surface.h"

#include <vector>

namespace velmo::canvas {

// Paints stored strokes: each as one polyline in its pen colour at its density, round caps
// and joins, painted once per pixel. Keeps scratch memory between strokes; not thread-safe.
class StrokePainter {
public:
    // Paints `stroke` onto `bitmap` (its layer field is not looked at). Canvas units become
    // pixels by `pixel_scale`. Points are taken from points_x, but never past points_y.
    // Fewer than two points paint nothing.
    PixelRect drawStroke(Surface& bitmap, const MWStroke& stroke, float pixel_scale);
    // The same, painting only inside `clip`; the pixels there come out as drawStroke gives
    // them.
    PixelRect drawStroke(Surface& bitmap, const MWStroke& stroke, float pixel_scale,
                         PixelRect clip);

    // The pixels of a `width` x `height` surface that painting `stroke` may change: a cheap
    // bound from its points and pen (never smaller than what drawStroke touches), so a
    // change can be repainted in its rectangle only. Empty when it paints nothing.
    static PixelRect extentOf(const MWStroke& stroke, float pixel_scale, int width, int height);
    // The same from the stroke's box (unitBoxOf).
    static PixelRect extentOf(const UnitBox& box, float pixel_scale, int width, int height);

private:
    StrokeRasterizer rasterizer_;
    std::vector<float> xs_, ys_;
};

} // namespace velmo::canvas
