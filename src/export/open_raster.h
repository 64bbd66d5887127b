#pragma once

#include "canvas/compositing.h"
#include "canvas/layer_names.h"
#include "export/picture_paint.h"

#include <optional>
#include <string>
#include <string_view>

namespace velmo::exporting {

// One layer as the OpenRaster file names it: its title (the one the window shows), the file
// of its pixels inside the archive, and how it is laid over the layers below it.
struct OpenRasterLayer {
    std::string_view name;
    std::string_view file;
    std::string_view composite_op;
};
// Bottom first, as the canvas numbers its layers; stack.xml lists them top first.
inline constexpr OpenRasterLayer OpenRasterLayers[3] = {
    {canvas::layerName(0), "data/normal.png", "svg:src-over"},
    {canvas::layerName(1), "data/multiply.png", "svg:multiply"},
    {canvas::layerName(2), "data/screen.png", "svg:screen"},
};
inline constexpr std::string_view OpenRasterMimeType = "image/openraster";
inline constexpr int OpenRasterThumbnailSize = 256;

// The stack.xml of a w x h picture of the three layers.
std::string openRasterStack(int width, int height);

// The canvas's three layers as an OpenRaster file (a zip archive): "mimetype" first and
// stored, stack.xml, each layer an opaque PNG under data/ (their neutral white, white and
// black compose to white, so the layers laid over one another with their modes give the
// picture), mergedimage.png the composed picture and Thumbnails/thumbnail.png that picture
// shrunk to fit 256 x 256. The layers must be of one size and not empty. Nothing when an
// encoder fails or `progress` said stop. Thread-safe.
std::optional<std::string> openRasterFile(const canvas::LayerSurfaces& layers,
                                          const ProgressFunction& progress = {});

} // namespace velmo::exporting
