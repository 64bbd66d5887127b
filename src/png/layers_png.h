#pragma once

#include "canvas/compositing.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::png {

// The three layers of a canvas in one PNG file, as the server sends them to a client that
// opens a big canvas and as the client reads them back: 8-bit RGB without alpha (layer pixels
// are always opaque), width w and height 3 h for layers of w x h, rows 0..h-1 layer 0, h..2h-1
// layer 1, 2h..3h-1 layer 2, each pixel's R, G, B the layer pixel's r, g, b bytes exactly. A
// tEXt chunk before the pixels, keyword LayersKeyword, says what was painted:
// "through=<T> strokes=<N>", T the server time of the newest stroke painted (0 for none) and N
// how many strokes are painted, both decimal without sign or leading zeros.
struct LayersPicture {
    canvas::LayerSurfaces layers;
    int64_t through = 0;
    int64_t strokes = 0;

    bool operator==(const LayersPicture&) const = default;
};

inline constexpr std::string_view LayersKeyword = "Velmorastra-Layers";
// The largest layers the decoder takes: a file may claim any size, so this bounds what a
// hostile one makes it allocate (three layers of 4096 x 4096 at 4 bytes a pixel, 192 MiB).
inline constexpr int MaxLayersWidth = 4096;
inline constexpr int MaxLayersHeight = 4096;

// The file of `layers`, made for speed rather than size (PngBands: zlib level 1 after the Up
// filter): the client waits for it when it opens a canvas. The layers must be of one size, not
// empty, at most MaxLayersWidth x MaxLayersHeight; nothing otherwise, for a negative `through`
// or `strokes`, or when zlib fails. Only r, g and b are kept: alpha comes back as 255.
// Thread-safe.
std::optional<std::string> encodeLayersPng(const canvas::LayerSurfaces& layers, int64_t through,
                                           int64_t strokes);

// The pieces of that file, for a writer that keeps it up to date a band at a time (the server's
// render cache), so that its bytes are those encodeLayersPng gives: the text of the tEXt chunk,
// and row `y` of the pixels (0 <= y < 3 h) as r, g, b bytes.
std::string layersText(int64_t through, int64_t strokes);
void layersFileRow(const canvas::LayerSurfaces& layers, int y, uint8_t* rgb);
// Row `y` of a surface as r, g, b bytes, alpha dropped: for opaque pictures.
void surfaceRow(const canvas::Surface& surface, int y, uint8_t* rgb);

// The layers, T and N of a file of that form. Total: any bytes in, nothing for anything else
// (another PNG type or depth, interlacing, a height not a multiple of 3, layers beyond the
// bounds, a missing or malformed text, damaged or short data), and never a read outside
// `bytes`. Layer pixels come back opaque. Thread-safe.
std::optional<LayersPicture> decodeLayersPng(std::string_view bytes);

// A layers file kept on disk behind two lines of its keeper's own, which say what it holds: a
// header line (a format name and a stamp, no newline) and the canvas ID. The client keeps its
// picture at quit so, and the server its renders.
std::string keptLayersFile(std::string_view header, std::string_view canvas_id,
                           std::string_view layers_png);
struct KeptLayersParts {
    std::string_view header;
    std::string_view canvas_id;
    std::string_view layers_png; // still to be decoded
};
// The parts of such a file: nothing unless it starts with `format` and two lines; the header
// comes back without `format`. Reads any bytes without failing.
std::optional<KeptLayersParts> splitKeptLayersFile(std::string_view file, std::string_view format);

} // namespace velmo::png
