#pragma once

#include "canvas/surface.h"

#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

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

// A PNG file as libpng reads it, 8-bit RGB; empty when libpng refuses it.
inline std::vector<uint8_t> rgbOfPng(const std::string& file) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
        return {};
    }
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        return {};
    }
    return pixels;
}

// The r, g, b bytes of an opaque surface, row after row.
inline std::vector<uint8_t> rgbOfSurface(const canvas::Surface& surface) {
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(surface.width()) * surface.height() * 3);
    for (int y = 0; y < surface.height(); ++y) {
        for (int x = 0; x < surface.width(); ++x) {
            const canvas::Argb p = canvas::unpackPixel(surface.at(x, y));
            out.insert(out.end(), {p.r, p.g, p.b});
        }
    }
    return out;
}

} // namespace velmo::testing
