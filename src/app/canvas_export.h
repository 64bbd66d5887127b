#pragma once

#include "canvas/canvas_geometry.h"
#include "canvas/compositing.h"
#include "canvas/mw_stroke.h"
#include "export/picture_file.h"
#include "export/picture_paint.h"
#include "mwcanvas/mw_canvas.h"

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace velmo::app {

// What an export of a canvas paints from, taken on the UI thread so that the painting and the
// writing can go on elsewhere while the canvas changes: at the canvas's size its layers as
// they are, at a multiple its strokes in the history's order with the geometry to paint them
// at.
struct ExportSource {
    std::optional<canvas::LayerSurfaces> layers;
    std::vector<canvas::MWStroke> strokes;
    canvas::CanvasGeometry geometry;
};

// The source of a picture of `canvas` at `scale` (1, 2 or 4) times its pixels, or why there
// is none now: the canvas is still loading its strokes, or the picture would be too large.
std::variant<ExportSource, std::string> exportSourceOf(const mwcanvas::MWCanvas& canvas, int scale);

// Paints (when the source holds strokes), encodes and writes the file at `path`, reporting to
// `progress` as it goes. Nothing on success, else what went wrong in a sentence for the user;
// the file is left as it was then. Any thread; the source is only read.
std::optional<std::string> writeExport(const ExportSource& source, exporting::PictureFormat format,
                                       const std::string& path,
                                       const exporting::ProgressFunction& progress = {});

} // namespace velmo::app
