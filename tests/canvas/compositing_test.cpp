#include "canvas/compositing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace velmo::canvas {
namespace {

Pixel opaque(uint8_t r, uint8_t g, uint8_t b) {
    return makePixel(255, r, g, b);
}

int maxChannelDifference(Pixel a, Pixel b) {
    const Argb p = unpackPixel(a);
    const Argb q = unpackPixel(b);
    return std::max(
        {std::abs(p.a - q.a), std::abs(p.r - q.r), std::abs(p.g - q.g), std::abs(p.b - q.b)});
}

LayerSurfaces neutralLayers(int w, int h) {
    LayerSurfaces layers{Surface(w, h), Surface(w, h), Surface(w, h)};
    resetLayers(layers);
    return layers;
}

TEST(Compositing, ThreeLayersComposeNormalMultiplyScreen) {
    LayerSurfaces layers = neutralLayers(4, 3);
    Surface display(4, 3, Transparent);
    composeAllLayers(layers, display, display.bounds());
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 4; ++x) {
            EXPECT_EQ(display.at(x, y), OpaqueWhite);
        }
    }
    layers[0].at(1, 1) = opaque(200, 100, 50);
    layers[1].at(1, 1) = opaque(128, 255, 255);
    layers[2].at(1, 1) = opaque(0, 0, 255);
    // Black on the multiply layer darkens to black; white on the screen layer whitens.
    layers[1].at(2, 1) = opaque(0, 0, 0);
    layers[0].at(3, 1) = opaque(10, 20, 30);
    layers[2].at(3, 1) = opaque(255, 255, 255);
    composeAllLayers(layers, display, display.bounds());
    EXPECT_EQ(unpackPixel(display.at(1, 1)), (Argb{255, 100, 100, 255}));
    EXPECT_EQ(display.at(2, 1), OpaqueBlack);
    EXPECT_EQ(display.at(3, 1), OpaqueWhite);
}

TEST(Compositing, FastKernelsStayWithinOneUnitOfTheFormulas) {
    std::mt19937 rng(99);
    auto randomOpaque = [&] {
        const auto v = static_cast<uint32_t>(rng());
        return opaque(static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                      static_cast<uint8_t>(v >> 16));
    };
    auto randomPremultiplied = [&] {
        const auto v = static_cast<uint32_t>(rng());
        const auto a = static_cast<uint8_t>(v);
        auto c = [&](int shift) { return static_cast<uint8_t>(((v >> shift) & 0xFF) * a / 255); };
        return makePixel(a, c(8), c(16), c(24));
    };
    const int w = 37, h = 23;
    LayerSurfaces layers = neutralLayers(w, h);
    Surface src(w, h), overlay(w, h), fast(w, h), slow(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            for (Surface& l : layers) {
                l.at(x, y) = randomOpaque();
            }
            src.at(x, y) = randomOpaque();
            overlay.at(x, y) = randomPremultiplied();
        }
    }
    composeAllLayers(layers, fast, fast.bounds());
    reference::composeAllLayers(layers, slow, slow.bounds());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            ASSERT_LE(maxChannelDifference(fast.at(x, y), slow.at(x, y)), 1) << x << "," << y;
            ASSERT_EQ(unpackPixel(fast.at(x, y)).a, 255);
        }
    }
    for (const float alpha : {0.0f, 0.25f, 128 / 255.0f, 0.9137f, 1.0f}) {
        composeBitmap(src, overlay, alpha, fast, fast.bounds());
        reference::composeBitmap(src, overlay, alpha, slow, slow.bounds());
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                ASSERT_LE(maxChannelDifference(fast.at(x, y), slow.at(x, y)), 1)
                    << "alpha " << alpha << " at " << x << "," << y;
            }
        }
    }
}

TEST(Compositing, WholeCanvasCompositionTakesTheStreamingPathToTheSameResult) {
    // Large enough that the stores bypass the cache, odd-sized so rows start unaligned.
    const int w = 1111, h = 997;
    LayerSurfaces layers = neutralLayers(w, h);
    std::mt19937 rng(5);
    for (Surface& l : layers) {
        for (int i = 0; i < w * h; ++i) {
            const auto v = static_cast<uint32_t>(rng());
            l.data()[i] = opaque(static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                                 static_cast<uint8_t>(v >> 16));
        }
    }
    Surface slow(w, h);
    reference::composeAllLayers(layers, slow, {1, 0, w - 1, h});
    for (const ComposeKernel kernel :
         {ComposeKernel::Best, ComposeKernel::Sse2, ComposeKernel::Portable}) {
        // Whole-canvas (streaming) and small-rectangle stores.
        for (const PixelRect rect : {PixelRect{1, 0, w - 1, h}, PixelRect{3, 5, 77, 9}}) {
            Surface fast(w, h);
            composeAllLayersWith(kernel, layers, fast, rect);
            int worst = 0;
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    const bool inside =
                        x >= rect.x && x < rect.right() && y >= rect.y && y < rect.bottom();
                    if (inside) {
                        worst = std::max(worst, maxChannelDifference(fast.at(x, y), slow.at(x, y)));
                    } else {
                        ASSERT_EQ(fast.at(x, y), Transparent);
                    }
                }
            }
            EXPECT_LE(worst, 1) << static_cast<int>(kernel);
        }
    }
}

TEST(Compositing, ComposeBitmapCopiesThenBlendsOnlyInsideTheClippedRectangle) {
    Surface src(8, 8, opaque(10, 20, 30));
    Surface overlay(8, 8, Transparent);
    Surface dst(8, 8, OpaqueWhite);
    // A transparent overlay, or alpha 0, leaves dst equal to src inside the rectangle.
    composeBitmap(src, overlay, 1.0f, dst, {-3, -3, 5, 5});
    EXPECT_EQ(dst.at(1, 1), src.at(1, 1));
    EXPECT_EQ(dst.at(2, 2), OpaqueWhite); // outside the clipped rectangle
    overlay.fill(OpaqueBlack);
    composeBitmap(src, overlay, 0.0f, dst, {5, 5, 10, 10});
    EXPECT_EQ(dst.at(7, 7), src.at(7, 7));
    // Opaque black at full alpha replaces; at half alpha over white it is mid grey.
    composeBitmap(src, overlay, 1.0f, dst, {0, 0, 1, 1});
    EXPECT_EQ(dst.at(0, 0), OpaqueBlack);
    Surface white(8, 8, OpaqueWhite);
    composeBitmap(white, overlay, 0.5f, dst, {0, 0, 1, 1});
    EXPECT_LE(maxChannelDifference(dst.at(0, 0), opaque(128, 128, 128)), 1);
    // With src and dst the same surface only the overlay is blended, again and again.
    Surface same(8, 8, OpaqueWhite);
    composeBitmap(same, overlay, 0.5f, same, same.bounds());
    composeBitmap(same, overlay, 0.5f, same, same.bounds());
    EXPECT_LE(maxChannelDifference(same.at(4, 4), opaque(64, 64, 64)), 1);
    // Rectangles wholly outside do nothing.
    Surface untouched = dst;
    composeBitmap(src, overlay, 1.0f, dst, {8, 0, 4, 4});
    composeBitmap(src, overlay, 1.0f, dst, {0, 0, 0, 4});
    EXPECT_EQ(dst, untouched);
}

} // namespace
} // namespace velmo::canvas
