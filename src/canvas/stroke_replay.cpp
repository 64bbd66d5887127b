#include "canvas/stroke_replay.h"

#include "canvas/band_split.h"

namespace velmo::canvas {

void replayInBands(LayerSurfaces& layers, const CanvasGeometry& geometry,
                   std::span<const MWStroke> strokes, PixelRect clip, unsigned threads) {
    const int w = layers[0].width();
    const int h = layers[0].height();
    forEachBand(clip.clippedTo(w, h), threads, [&](PixelRect band, StrokePainter& painter) {
        for (const MWStroke& stroke : strokes) {
            if (stroke.layer < 0 || stroke.layer > 2) {
                continue;
            }
            const PixelRect extent =
                StrokePainter::extentOf(stroke, geometry.pixel_scale, w, h).intersected(band);
            if (!extent.empty()) {
                painter.drawStroke(layers[static_cast<size_t>(stroke.layer)], stroke,
                                   geometry.pixel_scale, extent);
            }
        }
    });
}

Surface renderPicture(const std::vector<MWStroke>& strokes, const CanvasGeometry& geometry) {
    const int w = geometry.canvas_width;
    const int h = geometry.canvas_height;
    LayerSurfaces layers{Surface(w, h), Surface(w, h), Surface(w, h)};
    resetLayers(layers);
    replayInBands(layers, geometry, strokes, layers[0].bounds(), paintThreads());
    Surface display(w, h);
    composeAllLayers(layers, display, display.bounds());
    return display;
}

} // namespace velmo::canvas
