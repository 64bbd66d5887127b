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

void StrokePainter::render(LayerSurfaces& layers, Surface& display,
                           const std::vector<MWStroke>& strokes, float pixel_scale) {
    resetLayers(layers);
    for (const MWStroke& stroke : strokes) {
        if (stroke.layer >= 0 && stroke.layer <= 2) {
            drawStroke(layers[static_cast<size_t>(stroke.layer)], stroke, pixel_scale);
        }
    }
    composeAllLayers(layers, display, display.bounds());
}

Surface renderPicture(const std::vector<MWStroke>& strokes, const CanvasGeometry& geometry) {
    const int w = geometry.canvas_width;
    const int h = geometry.canvas_height;
    LayerSurfaces layers{Surface(w, h), Surface(w, h), Surface(w, h)};
    Surface display(w, h);
    StrokePainter painter;
    painter.render(layers, display, strokes, geometry.pixel_scale);
    return display;
}

} // namespace velmo::canvas
