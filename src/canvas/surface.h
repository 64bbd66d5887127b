#pragma once

#include "canvas/pixel_rect.h"

#include <bit>
#include <cstdint>
#include <vector>

namespace velmo::canvas {

// Pixels are 4 bytes in memory order alpha, red, green, blue, premultiplied, rows packed.
// `Pixel` is that memory read as a native 32-bit word; build and take apart pixels only with
// these helpers so the byte order holds on any host.
using Pixel = uint32_t;

constexpr Pixel makePixel(uint8_t a, uint8_t r, uint8_t g, uint8_t b) {
    if constexpr (std::endian::native == std::endian::little) {
        return Pixel{a} | Pixel{r} << 8 | Pixel{g} << 16 | Pixel{b} << 24;
    } else {
        return Pixel{a} << 24 | Pixel{r} << 16 | Pixel{g} << 8 | Pixel{b};
    }
}

struct Argb {
    uint8_t a, r, g, b;
    bool operator==(const Argb&) const = default;
};

constexpr Argb unpackPixel(Pixel p) {
    if constexpr (std::endian::native == std::endian::little) {
        return {static_cast<uint8_t>(p), static_cast<uint8_t>(p >> 8),
                static_cast<uint8_t>(p >> 16), static_cast<uint8_t>(p >> 24)};
    } else {
        return {static_cast<uint8_t>(p >> 24), static_cast<uint8_t>(p >> 16),
                static_cast<uint8_t>(p >> 8), static_cast<uint8_t>(p)};
    }
}

constexpr Pixel OpaqueWhite = makePixel(0xFF, 0xFF, 0xFF, 0xFF);
constexpr Pixel OpaqueBlack = makePixel(0xFF, 0, 0, 0);
constexpr Pixel Transparent = 0;

// One owned pixel surface. A zero-sized surface is valid and holds nothing.
class Surface {
public:
    Surface() = default;
    Surface(int width, int height, Pixel fill = Transparent);

    int width() const { return width_; }
    int height() const { return height_; }
    bool empty() const { return pixels_.empty(); }
    PixelRect bounds() const { return {0, 0, width_, height_}; }

    Pixel* data() { return pixels_.data(); }
    const Pixel* data() const { return pixels_.data(); }
    Pixel* row(int y) { return pixels_.data() + static_cast<size_t>(y) * width_; }
    const Pixel* row(int y) const { return pixels_.data() + static_cast<size_t>(y) * width_; }
    // Unchecked: callers clip first.
    Pixel at(int x, int y) const { return row(y)[x]; }
    Pixel& at(int x, int y) { return row(y)[x]; }

    void fill(Pixel value);
    void copyFrom(const Surface& other); // same size required

    bool operator==(const Surface&) const = default;

private:
    int width_ = 0;
    int height_ = 0;
    std::vector<Pixel> pixels_;
};

} // namespace velmo::canvas
