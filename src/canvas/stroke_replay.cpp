#include "canvas/stroke_replay.h"

namespace velmo::canvas {

Surface renderPicture(const std::vector<MWStroke>& strokes, const CanvasGeometry& geometry) {
    const int w = geometry.canvas_width;
    const int h = geometry.canvas_height;
    LayerSurfaces layers{Surface(w, h), Surface(w, h), Surface(w, h)};
    resetLayers(layers);
    StrokePainter painter;
    replayStrokes(painter, layers, geometry, strokes);
    Surface display(w, h);
    composeAllLayers(layers, display, display.bounds());
    return display;
}

} // namespace velmo::canvas
