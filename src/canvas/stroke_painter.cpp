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
    const size_t count = std::min(stroke.points_x.size(), stroke.points_y.size());
    const float line_width = static_cast<float>(stroke.pen_properties.width) * pixel_scale;
    if (count < 2 || !(line_width > 0.0f) || !std::isfinite(line_width)) {
        return {};
    }
    int32_t min_x = stroke.points_x[0];
    int32_t max_x = min_x;
    int32_t min_y = stroke.points_y[0];
    int32_t max_y = min_y;
    for (size_t i = 1; i < count; ++i) {
        min_x = std::min(min_x, stroke.points_x[i]);
        max_x = std::max(max_x, stroke.points_x[i]);
        min_y = std::min(min_y, stroke.points_y[i]);
        max_y = std::max(max_y, stroke.points_y[i]);
    }
    // The rasterizer reaches half the width and half a pixel's diagonal beyond the path; a
    // pixel more covers the rounding of single precision.
    const double reach = static_cast<double>(line_width) * 0.5 + 2.0;
    auto pixels = [&](int32_t units) { return static_cast<double>(units) * pixel_scale; };
    const double left = std::floor(pixels(min_x) - reach);
    const double top = std::floor(pixels(min_y) - reach);
    const double right = std::ceil(pixels(max_x) + reach);
    const double bottom = std::ceil(pixels(max_y) + reach);
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
