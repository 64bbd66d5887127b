#pragma once

#include "canvas/surface.h"

#include <cstdint>

namespace velmo::canvas {

// 8-bit channel arithmetic shared by the pixel kernels. Every product is x * y / 255 rounded
// to nearest, exactly, computed two channels at a time in one 32-bit word.

constexpr uint32_t mul255(uint32_t x, uint32_t y) {
    const uint32_t t = x * y + 128;
    return (t + (t >> 8)) >> 8;
}

// Each byte of `x` times `m` / 255.
constexpr uint32_t mulChannels(uint32_t x, uint32_t m) {
    uint32_t lo = (x & 0x00ff00ffu) * m + 0x00800080u;
    lo = ((lo + ((lo >> 8) & 0x00ff00ffu)) >> 8) & 0x00ff00ffu;
    uint32_t hi = ((x >> 8) & 0x00ff00ffu) * m + 0x00800080u;
    hi = (hi + ((hi >> 8) & 0x00ff00ffu)) & 0xff00ff00u;
    return lo | hi;
}

// Byte-wise x + y, saturating at 255.
constexpr uint32_t addChannelsSaturated(uint32_t x, uint32_t y) {
    uint32_t lo = (x & 0x00ff00ffu) + (y & 0x00ff00ffu);
    lo |= 0x01000100u - ((lo >> 8) & 0x00ff00ffu);
    lo &= 0x00ff00ffu;
    uint32_t hi = ((x >> 8) & 0x00ff00ffu) + ((y >> 8) & 0x00ff00ffu);
    hi |= 0x01000100u - ((hi >> 8) & 0x00ff00ffu);
    hi &= 0x00ff00ffu;
    return lo | (hi << 8);
}

constexpr uint32_t alphaOf(Pixel p) {
    return unpackPixel(p).a;
}

// Normal ("source over") blending of a premultiplied pixel onto another.
constexpr Pixel over(Pixel source, Pixel dst) {
    const uint32_t inverse = 255 - alphaOf(source);
    if (inverse == 0) {
        return source;
    }
    return addChannelsSaturated(source, mulChannels(dst, inverse));
}

// The straight value of a premultiplied channel, channel * 255 / alpha rounded to nearest;
// 0 where alpha is 0. Premultiplying the result again gives back the channel exactly (for a
// channel at most its alpha, as in every valid pixel); a larger channel gives 255.
constexpr uint8_t unpremultiply(uint32_t channel, uint32_t alpha) {
    if (alpha == 0) {
        return 0;
    }
    const uint32_t value = (channel * 255 + alpha / 2) / alpha;
    return static_cast<uint8_t>(value > 255 ? 255 : value);
}

} // namespace velmo::canvas
