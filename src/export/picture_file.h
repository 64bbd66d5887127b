#pragma once

#include "canvas/compositing.h"
#include "export/picture_paint.h"

#include <optional>
#include <string>
#include <string_view>

namespace velmo::exporting {

enum class PictureFormat { Png, OpenRaster };

// The format a file name asks for by its extension (".png", ".ora", in any case); nothing for
// any other name.
std::optional<PictureFormat> formatOfFileName(std::string_view name);
// The extension of a format's files, with its dot.
std::string_view extensionOf(PictureFormat format);
// `name` with the format's extension added unless it already ends in it.
std::string withExtension(std::string_view name, PictureFormat format);

// The file of `layers` in `format`: for PNG the composed picture (8-bit RGBA, opaque), for
// OpenRaster openRasterFile. Nothing when an encoder fails or `progress` said stop.
std::optional<std::string> pictureFile(const canvas::LayerSurfaces& layers, PictureFormat format,
                                       const ProgressFunction& progress = {});

// Writes `bytes` to `path` through a new file beside it renamed over it, so a failure leaves
// any file there as it was and never half a picture. Nothing on success, else what went
// wrong, in a sentence for the user ("Cannot write /x/y.png: Permission denied.").
std::optional<std::string> writeFileAtomically(const std::string& path, std::string_view bytes);

} // namespace velmo::exporting
