#pragma once

#include "canvas/compositing.h"
#include "canvas/stroke_history.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::identity {

// The picture of a long history's layers, kept beside the settings at quit so that the next
// start shows it instead of painting every stroke again. It says what it holds: the canvas,
// the size, and the history's strokes up to a key, by their number and a hash of their keys
// (a stroke's key names its contents). A start uses it only for exactly those strokes.
struct KeptPictureStamp {
    std::string canvas_id;
    int width = 0;
    int height = 0;
    canvas::StrokeKey through;
    size_t strokes = 0;
    uint64_t keys_hash = 0;
    bool operator==(const KeptPictureStamp&) const = default;
};

// The stamp of the strokes of `history` up to `through`.
KeptPictureStamp keptPictureStamp(const std::string& canvas_id, int width, int height,
                                  const canvas::StrokeHistory& history,
                                  const canvas::StrokeKey& through);

// The file: a line with the stamp, a line with the canvas ID, then the layers as a PNG
// (png/layers_png.h). Nothing when the encoder fails.
std::optional<std::string> keptPictureFile(const KeptPictureStamp& stamp,
                                           const canvas::LayerSurfaces& layers);

// A file's stamp, and its PNG still to be decoded; nothing for anything else. Reads any bytes
// without failing.
struct KeptPictureParts {
    KeptPictureStamp stamp;
    std::string_view png;
};
std::optional<KeptPictureParts> splitKeptPicture(std::string_view file);

} // namespace velmo::identity
