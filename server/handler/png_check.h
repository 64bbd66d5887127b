#pragma once

#include <cstdint>
#include <string_view>
#include <variant>

namespace velmo::server {

struct PngSize {
    uint32_t width = 0;
    uint32_t height = 0;
};

enum class PngProblem {
    TooLarge,      // more bytes than an upload may hold
    TooManyPixels, // the header announces a picture beyond the bounds
    NotPng,        // no PNG signature
    Malformed,     // a bad header, chunk length, checksum, chunk order or trailing bytes
};

// Checks that `bytes` are one PNG file: signature, a valid IHDR within the pixel bounds, every
// chunk inside the data with a correct CRC, an IDAT, IEND last. Nothing is decompressed: the
// bounds are checked from the header before any pixel data is looked at.
std::variant<PngSize, PngProblem> checkPng(std::string_view bytes);

} // namespace velmo::server
