#include "canvas/compositing.h"

#include "canvas/pixel_math.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VELMO_COMPOSE_SSE2 1
#define VELMO_COMPOSE_AVX2 1
#elif defined(__EMSCRIPTEN__) && defined(__SSE2__)
// WebAssembly's 128-bit SIMD runs the SSE2 kernel through Emscripten's translation of its
// intrinsics; there are no wider registers to choose at run time.
#include <emmintrin.h>
#define VELMO_COMPOSE_SSE2 1
#endif

namespace velmo::canvas {
namespace {

PixelRect clipFor(const Surface& surface, PixelRect rect) {
    return rect.clippedTo(surface.width(), surface.height());
}

// Alpha as a fixed-point fraction of 2^16, so that o * alpha needs no second rounding.
uint32_t fixedAlpha(float alpha) {
    if (!(alpha > 0.0f)) {
        return 0;
    }
    if (alpha >= 1.0f) {
        return 65536;
    }
    return static_cast<uint32_t>(alpha * 65536.0f + 0.5f);
}

// o * alpha + d * (1 - oA * alpha) for one pixel, exactly rounded. With alpha = A / 2^16 the
// channel is (o * A * 255 + d * (255 * 2^16 - oA * A)) / (255 * 2^16).
Pixel blendAtAlpha(Pixel d, Pixel o, uint32_t alpha16) {
    if (o == 0 || alpha16 == 0) {
        return d;
    }
    const Argb op = unpackPixel(o);
    const Argb dp = unpackPixel(d);
    const uint64_t keep = 255ull * 65536 - static_cast<uint64_t>(op.a) * alpha16;
    auto channel = [&](uint8_t oc, uint8_t dc) {
        const uint64_t num = static_cast<uint64_t>(oc) * alpha16 * 255 + dc * keep;
        const uint64_t value = (num + 255ull * 32768) / (255ull * 65536);
        return static_cast<uint8_t>(std::min<uint64_t>(value, 255));
    };
    return makePixel(channel(op.a, dp.a), channel(op.r, dp.r), channel(op.g, dp.g),
                     channel(op.b, dp.b));
}

} // namespace

void composeBitmap(const Surface& src, const Surface& overlay, float alpha, Surface& dst,
                   PixelRect rect) {
    assert(src.width() == dst.width() && overlay.width() == dst.width());
    const PixelRect r = clipFor(dst, rect);
    if (r.empty()) {
        return;
    }
    const uint32_t alpha16 = fixedAlpha(alpha);
    const bool copy = &src != &dst;
    for (int y = r.y; y < r.bottom(); ++y) {
        const Pixel* s = src.row(y) + r.x;
        const Pixel* o = overlay.row(y) + r.x;
        Pixel* d = dst.row(y) + r.x;
        if (copy) {
            std::memcpy(d, s, static_cast<size_t>(r.width) * sizeof(Pixel));
        }
        for (int i = 0; i < r.width; ++i) {
            d[i] = blendAtAlpha(d[i], o[i], alpha16);
        }
    }
}

namespace {

// The per-channel formula over `bytes` bytes: multiply, then screen, each product rounded
// exactly ((t + (t >> 8)) >> 8 is (t * 257) >> 16 for these t).
void composeBytes(const uint8_t* __restrict l0, const uint8_t* __restrict l1,
                  const uint8_t* __restrict l2, uint8_t* __restrict out, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        const uint32_t m = static_cast<uint32_t>(l0[i] * l1[i] + 128);
        const uint32_t multiplied = (m * 257) >> 16;
        const uint32_t s = (255 - multiplied) * (255u - l2[i]) + 128;
        out[i] = static_cast<uint8_t>(255 - ((s * 257) >> 16));
    }
}

#if defined(VELMO_COMPOSE_SSE2)
// The same sixteen (or thirty-two) bytes at a time in 16-bit lanes. The loop is bound by its
// arithmetic about as much as by memory, so the wider registers are used where the processor
// has them, chosen at run time. The two versions differ only in register width; they are
// spelled out twice because a function template cannot take the instruction set as a target.

// x * y / 255 rounded, in each 16-bit lane: (x * y + 128) * 257 >> 16.
#define VELMO_MUL255(P, x, y) P##mulhi_epu16(P##add_epi16(P##mullo_epi16(x, y), bias), k257)
// 1 - (1 - a * b) * (1 - c) on lanes of 0..255.
#define VELMO_SCREEN_OF_MULTIPLY(P, a, b, c)                                                       \
    P##sub_epi16(                                                                                  \
        full, VELMO_MUL255(P, P##sub_epi16(full, VELMO_MUL255(P, a, b)), P##sub_epi16(full, c)))

// Streaming stores must be aligned: the bytes before the first aligned address go the plain
// way. Gives how many.
size_t unalignedHead(const uint8_t* out, size_t bytes, size_t alignment) {
    return std::min(bytes, (alignment - (reinterpret_cast<uintptr_t>(out) & (alignment - 1))) &
                               (alignment - 1));
}

void composeSse2(const uint8_t* l0, const uint8_t* l1, const uint8_t* l2, uint8_t* out,
                 size_t bytes, bool stream) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i bias = _mm_set1_epi16(128);
    const __m128i k257 = _mm_set1_epi16(257);
    const __m128i full = _mm_set1_epi16(255);
    size_t i = stream ? unalignedHead(out, bytes, 16) : 0;
    composeBytes(l0, l1, l2, out, i);
    for (; i + 16 <= bytes; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(l0 + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(l1 + i));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(l2 + i));
        const __m128i lo =
            VELMO_SCREEN_OF_MULTIPLY(_mm_, _mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero),
                                     _mm_unpacklo_epi8(c, zero));
        const __m128i hi =
            VELMO_SCREEN_OF_MULTIPLY(_mm_, _mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero),
                                     _mm_unpackhi_epi8(c, zero));
        auto* at = reinterpret_cast<__m128i*>(out + i);
        if (stream) {
            _mm_stream_si128(at, _mm_packus_epi16(lo, hi));
        } else {
            _mm_storeu_si128(at, _mm_packus_epi16(lo, hi));
        }
    }
    composeBytes(l0 + i, l1 + i, l2 + i, out + i, bytes - i);
}

#if defined(VELMO_COMPOSE_AVX2)
// Unpacking and packing both work within 128-bit halves, so the byte order comes back.
__attribute__((target("avx2"))) void composeAvx2(const uint8_t* l0, const uint8_t* l1,
                                                 const uint8_t* l2, uint8_t* out, size_t bytes,
                                                 bool stream) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i bias = _mm256_set1_epi16(128);
    const __m256i k257 = _mm256_set1_epi16(257);
    const __m256i full = _mm256_set1_epi16(255);
    size_t i = stream ? unalignedHead(out, bytes, 32) : 0;
    composeBytes(l0, l1, l2, out, i);
    for (; i + 32 <= bytes; i += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(l0 + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(l1 + i));
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(l2 + i));
        const __m256i lo =
            VELMO_SCREEN_OF_MULTIPLY(_mm256_, _mm256_unpacklo_epi8(a, zero),
                                     _mm256_unpacklo_epi8(b, zero), _mm256_unpacklo_epi8(c, zero));
        const __m256i hi =
            VELMO_SCREEN_OF_MULTIPLY(_mm256_, _mm256_unpackhi_epi8(a, zero),
                                     _mm256_unpackhi_epi8(b, zero), _mm256_unpackhi_epi8(c, zero));
        auto* at = reinterpret_cast<__m256i*>(out + i);
        if (stream) {
            _mm256_stream_si256(at, _mm256_packus_epi16(lo, hi));
        } else {
            _mm256_storeu_si256(at, _mm256_packus_epi16(lo, hi));
        }
    }
    composeBytes(l0 + i, l1 + i, l2 + i, out + i, bytes - i);
}

bool hasAvx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}
#endif

#undef VELMO_SCREEN_OF_MULTIPLY
#undef VELMO_MUL255
#endif

// Above this many pixels the stores stream past the cache: a whole-canvas composition writes
// more than the cache holds, so reading the old display in first would only add traffic. A
// drag's small rectangle stays cached for the repaint that follows.
constexpr int64_t StreamingPixels = 1 << 20;

} // namespace

void composeAllLayers(const LayerSurfaces& layers, Surface& dst, PixelRect rect) {
    composeAllLayersWith(ComposeKernel::Best, layers, dst, rect);
}

void composeAllLayersWith(ComposeKernel kernel, const LayerSurfaces& layers, Surface& dst,
                          PixelRect rect) {
    const PixelRect r = clipFor(dst, rect);
    if (r.empty()) {
        return;
    }
    // Channel by channel: the layers are opaque, so the alpha bytes come out 255 by the same
    // formula and need no special case.
    const size_t bytes = static_cast<size_t>(r.width) * 4;
    [[maybe_unused]] const bool stream = int64_t{r.width} * r.height >= StreamingPixels;
#if defined(VELMO_COMPOSE_AVX2)
    if (kernel == ComposeKernel::Best && !hasAvx2()) {
        kernel = ComposeKernel::Sse2;
    }
#elif defined(VELMO_COMPOSE_SSE2)
    if (kernel == ComposeKernel::Best) {
        kernel = ComposeKernel::Sse2;
    }
#endif
    for (int y = r.y; y < r.bottom(); ++y) {
        const auto* l0 = reinterpret_cast<const uint8_t*>(layers[0].row(y) + r.x);
        const auto* l1 = reinterpret_cast<const uint8_t*>(layers[1].row(y) + r.x);
        const auto* l2 = reinterpret_cast<const uint8_t*>(layers[2].row(y) + r.x);
        auto* out = reinterpret_cast<uint8_t*>(dst.row(y) + r.x);
        switch (kernel) {
#if defined(VELMO_COMPOSE_AVX2)
        case ComposeKernel::Best:
            composeAvx2(l0, l1, l2, out, bytes, stream);
            break;
#endif
#if defined(VELMO_COMPOSE_SSE2)
        case ComposeKernel::Sse2:
            composeSse2(l0, l1, l2, out, bytes, stream);
            break;
#endif
        default:
            composeBytes(l0, l1, l2, out, bytes);
            break;
        }
    }
#if defined(VELMO_COMPOSE_SSE2)
    if (stream) {
        _mm_sfence();
    }
#endif
}

void resetLayers(LayerSurfaces& layers) {
    layers[0].fill(OpaqueWhite);
    layers[1].fill(OpaqueWhite);
    layers[2].fill(OpaqueBlack);
}

namespace reference {
namespace {

uint8_t toByte(double v) {
    return static_cast<uint8_t>(std::clamp(v, 0.0, 1.0) * 255.0 + 0.5);
}

} // namespace

void composeBitmap(const Surface& src, const Surface& overlay, float alpha, Surface& dst,
                   PixelRect rect) {
    const PixelRect r = clipFor(dst, rect);
    const double a = std::clamp<double>(alpha, 0.0, 1.0);
    for (int y = r.y; y < r.bottom(); ++y) {
        for (int x = r.x; x < r.right(); ++x) {
            const Argb o = unpackPixel(overlay.at(x, y));
            const Argb d = unpackPixel(src.at(x, y));
            const double keep = 1.0 - o.a / 255.0 * a;
            auto channel = [&](uint8_t oc, uint8_t dc) {
                return toByte(oc / 255.0 * a + dc / 255.0 * keep);
            };
            dst.at(x, y) = makePixel(channel(o.a, d.a), channel(o.r, d.r), channel(o.g, d.g),
                                     channel(o.b, d.b));
        }
    }
}

void composeAllLayers(const LayerSurfaces& layers, Surface& dst, PixelRect rect) {
    const PixelRect r = clipFor(dst, rect);
    for (int y = r.y; y < r.bottom(); ++y) {
        for (int x = r.x; x < r.right(); ++x) {
            const Argb p0 = unpackPixel(layers[0].at(x, y));
            const Argb p1 = unpackPixel(layers[1].at(x, y));
            const Argb p2 = unpackPixel(layers[2].at(x, y));
            auto channel = [](uint8_t c0, uint8_t c1, uint8_t c2) {
                return toByte(1.0 - (1.0 - c0 / 255.0 * (c1 / 255.0)) * (1.0 - c2 / 255.0));
            };
            dst.at(x, y) = makePixel(255, channel(p0.r, p1.r, p2.r), channel(p0.g, p1.g, p2.g),
                                     channel(p0.b, p1.b, p2.b));
        }
    }
}

} // namespace reference

} // namespace velmo::canvas
