#include "canvas/stroke_painter.h"

#include <algorithm>
#include <cmath>

namespace velmo::canvas {

PixelRect StrokePainter::drawStroke(Surface& bitmap, const MWStroke& stroke, float pixel_scale) {
    return drawStroke(bitmap, stroke, pixel_scale, bitmap.bounds());
}

PixelRect StrokePainter::drawStroke(Surface& bitmap, const MWStroke& stroke, float pixel_scale,
                                    PixelRect clip) {
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
                                    color, clip);
}

PixelRect StrokePainter::extentOf(const MWStroke& stroke, float pixel_scale, int width,
                                  int height) {
    return extentOf(unitBoxOf(stroke), pixel_scale, width, height);
}

PixelRect StrokePainter::extentOf(const UnitBox& box, float pixel_scale, int width, int height) {
    if (!box.paints) {
        return {};
    }
    // The box holds half the pen width; the rasterizer reaches half a pixel's diagonal beyond,
    // and a pixel more covers the rounding of single precision.
    constexpr double margin = 2.0;
    const double scale = pixel_scale;
    const double left = std::floor(static_cast<double>(box.left) * scale - margin);
    const double top = std::floor(static_cast<double>(box.top) * scale - margin);
    const double right = std::ceil(static_cast<double>(box.right) * scale + margin);
    const double bottom = std::ceil(static_cast<double>(box.bottom) * scale + margin);
    if (right < 0.0 || bottom < 0.0 || left >= width || top >= height) {
        return {};
    }
    auto clamp = [](double v, int limit) {
        return static_cast<int>(std::clamp(v, 0.0, static_cast<double>(limit)));
    };
    const int x0 = clamp(left, width);
    const int y0 = clamp(top, height);
    return PixelRect{x0, y0, clamp(right + 1.0, width) - x0, clamp(bottom + 1.0, height) - y0};
}

} // namespace velmo::canvas
