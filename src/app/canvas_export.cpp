#include "app/canvas_export.h"

namespace velmo::app {
namespace {

// How much of an export's time goes to each part, roughly: painting the strokes again (when
// it must) weighs most, then encoding; the write is quick.
constexpr double PaintShare = 0.7;

// `progress` told of a part that runs from `from` to `to` of the whole.
exporting::ProgressFunction part(const exporting::ProgressFunction& progress, double from,
                                 double to) {
    if (!progress) {
        return {};
    }
    return [&progress, from, to](double done) { return progress(from + (to - from) * done); };
}

} // namespace

std::variant<ExportSource, std::string> exportSourceOf(const mwcanvas::MWCanvas& canvas,
                                                       int scale) {
    if (canvas.isLoading()) {
        return std::string("The canvas is still loading; export it once all its strokes are in.");
    }
    const auto geometry = exporting::scaledGeometry(canvas.geometry, scale);
    if (!geometry) {
        return "A picture of " + std::to_string(canvas.geometry.canvas_width * scale) + " x " +
               std::to_string(canvas.geometry.canvas_height * scale) +
               " pixels is too large to export; choose a smaller scale.";
    }
    ExportSource source;
    source.geometry = *geometry;
    if (scale == 1) {
        source.layers = canvas.layer_bitmap;
        return source;
    }
    source.strokes.reserve(canvas.strokes_history.size());
    for (const auto& [key, stroke] : canvas.strokes_history) {
        source.strokes.push_back(stroke);
    }
    return source;
}

std::optional<std::string> writeExport(const ExportSource& source, exporting::PictureFormat format,
                                       const std::string& path,
                                       const exporting::ProgressFunction& progress) {
    const std::string stopped = "The export was stopped.";
    std::optional<canvas::LayerSurfaces> painted;
    double encode_from = 0.0;
    if (!source.layers) {
        painted = exporting::paintLayers(source.strokes, source.geometry,
                                         part(progress, 0.0, PaintShare));
        if (!painted) {
            return stopped;
        }
        encode_from = PaintShare;
    }
    const canvas::LayerSurfaces& layers = source.layers ? *source.layers : *painted;
    const auto file = exporting::pictureFile(layers, format, part(progress, encode_from, 0.95));
    if (!file) {
        if (progress && !progress(0.95)) {
            return stopped;
        }
        return std::string("The picture could not be encoded (out of memory?).");
    }
    if (auto error = exporting::writeFileAtomically(path, *file)) {
        return error;
    }
    if (progress) {
        progress(1.0);
    }
    return std::nullopt;
}

} // namespace velmo::app
