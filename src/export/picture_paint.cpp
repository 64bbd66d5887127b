#include "export/picture_paint.h"

#include "canvas/band_split.h"
#include "canvas/stroke_replay.h"

#include <algorithm>
#include <cstdint>

namespace velmo::exporting {
namespace {

// Strokes painted between two words to `progress`: enough that waking the cores for a piece
// costs little beside it, few enough that a stop is heard within a fraction of a second.
constexpr size_t StrokesPerPiece = 256;

} // namespace

std::optional<canvas::CanvasGeometry> scaledGeometry(const canvas::CanvasGeometry& geometry,
                                                     int scale) {
    const long long width = static_cast<long long>(geometry.canvas_width) * scale;
    const long long height = static_cast<long long>(geometry.canvas_height) * scale;
    if (scale < 1 || width * height > MaxExportPixels) {
        return std::nullopt;
    }
    // A power of two times the scale is exact, so at 2x and 4x these are the pixels of a
    // canvas opened at that size (the server's render of it included).
    canvas::CanvasGeometry scaled = geometry;
    scaled.canvas_width = static_cast<int>(width);
    scaled.canvas_height = static_cast<int>(height);
    scaled.pixel_scale = geometry.pixel_scale * static_cast<float>(scale);
    return scaled;
}

std::optional<canvas::LayerSurfaces> paintLayers(std::span<const canvas::MWStroke> strokes,
                                                 const canvas::CanvasGeometry& geometry,
                                                 const ProgressFunction& progress) {
    const int w = geometry.canvas_width;
    const int h = geometry.canvas_height;
    canvas::LayerSurfaces layers{canvas::Surface(w, h), canvas::Surface(w, h),
                                 canvas::Surface(w, h)};
    canvas::resetLayers(layers);
    const unsigned threads = canvas::paintThreads();
    for (size_t from = 0; from < strokes.size(); from += StrokesPerPiece) {
        if (progress &&
            !progress(static_cast<double>(from) / static_cast<double>(strokes.size()))) {
            return std::nullopt;
        }
        const size_t count = std::min(StrokesPerPiece, strokes.size() - from);
        canvas::replayInBands(layers, geometry, strokes.subspan(from, count), layers[0].bounds(),
                              threads);
    }
    if (progress && !progress(1.0)) {
        return std::nullopt;
    }
    return layers;
}

canvas::Surface composedPicture(const canvas::LayerSurfaces& layers) {
    canvas::Surface picture(layers[0].width(), layers[0].height());
    canvas::composeAllLayers(layers, picture, picture.bounds());
    return picture;
}

canvas::Surface shrunkToFit(const canvas::Surface& picture, int most) {
    const int w = picture.width();
    const int h = picture.height();
    if (w <= most && h <= most) {
        return picture;
    }
    const int longer = std::max(w, h);
    const int tw = std::max(1, static_cast<int>(static_cast<long long>(w) * most / longer));
    const int th = std::max(1, static_cast<int>(static_cast<long long>(h) * most / longer));
    canvas::Surface small(tw, th);
    for (int ty = 0; ty < th; ++ty) {
        const int y0 = static_cast<int>(static_cast<long long>(ty) * h / th);
        const int y1 = std::max(y0 + 1, static_cast<int>(static_cast<long long>(ty + 1) * h / th));
        for (int tx = 0; tx < tw; ++tx) {
            const int x0 = static_cast<int>(static_cast<long long>(tx) * w / tw);
            const int x1 =
                std::max(x0 + 1, static_cast<int>(static_cast<long long>(tx + 1) * w / tw));
            uint64_t sum[4] = {0, 0, 0, 0};
            for (int y = y0; y < y1; ++y) {
                for (int x = x0; x < x1; ++x) {
                    const canvas::Argb p = canvas::unpackPixel(picture.at(x, y));
                    sum[0] += p.a;
                    sum[1] += p.r;
                    sum[2] += p.g;
                    sum[3] += p.b;
                }
            }
            // Averages of premultiplied pixels stay premultiplied.
            const uint64_t n = static_cast<uint64_t>(y1 - y0) * static_cast<uint64_t>(x1 - x0);
            auto mean = [n](uint64_t s) { return static_cast<uint8_t>((s + n / 2) / n); };
            small.at(tx, ty) =
                canvas::makePixel(mean(sum[0]), mean(sum[1]), mean(sum[2]), mean(sum[3]));
        }
    }
    return small;
}

} // namespace velmo::exporting
