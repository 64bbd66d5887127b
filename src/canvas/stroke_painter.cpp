#include "canvas/stroke_painter.h"

#include <algorithm>

namespace velmo::canvas {

PixelRect StrokePainter::drawStroke(Surface& bitmap, const MWStroke& stroke, float pixel_scale) {
    const size_t count = std::min(stroke.points_x.size(), stroke.points_y.size());
    if (count < 2) {
        return {};
    }
    xs_.resize(count);
    ys_.resize(count);
    for (size_t i = 0; i < count; ++i) {
        xs_[i] = static_cast<float>(stroke.points_x[i]) * pixel_scale;
        ys_[i] = static_cast<float>(stroke.points_y[i]) * pixel_scale;
    }
    const PenProperties& pen = stroke.pen_properties;
    const auto alpha = static_cast<float>(pen.density / 255.0);
    const Argb color = premultipliedSource(static_cast<uint32_t>(pen.color), alpha);
    return rasterizer_.drawPolyline(bitmap, xs_, ys_, static_cast<float>(pen.width) * pixel_scale,
                                    color);
}

} // namespace velmo::canvas
