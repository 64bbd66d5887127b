#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>

namespace velmo::testing {

inline std::string bigEndian(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

// One PNG chunk with its length and a correct CRC.
inline std::string pngChunk(const std::string& type, const std::string& data) {
    const std::string checked = type + data;
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(checked.data()),
                            static_cast<uInt>(checked.size()));
    return bigEndian(static_cast<uint32_t>(data.size())) + checked +
           bigEndian(static_cast<uint32_t>(crc));
}

// A structurally valid PNG announcing width x height (8-bit RGBA) whose pixel data is not
// meant to be decoded: it tests the checks that come before decoding.
inline std::string pngWithHeader(uint32_t width, uint32_t height, uint8_t depth = 8,
                                 uint8_t color_type = 6) {
    std::string header = bigEndian(width) + bigEndian(height);
    header += static_cast<char>(depth);
    header += static_cast<char>(color_type);
    header += std::string(3, '\0');
    return std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) +
           pngChunk("IDAT", std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8)) +
           pngChunk("IEND", "");
}

} // namespace velmo::testing
