#include "png/png_encoder.h"

#include "canvas/pixel_math.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace velmo::png {
namespace {

using canvas::makePixel;

std::vector<uint8_t> decodeRgba(const std::string& file, int* width, int* height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
        return {};
    }
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        return {};
    }
    *width = static_cast<int>(image.width);
    *height = static_cast<int>(image.height);
    return pixels;
}

uint32_t bigEndianAt(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    }
    return value;
}

// The chunk types of a file in order (the signature is not checked here).
std::vector<std::string> chunkTypes(const std::string& file) {
    std::vector<std::string> types;
    for (size_t at = 8; at + 12 <= file.size();) {
        const uint32_t length = bigEndianAt(file, at);
        types.push_back(file.substr(at + 4, 4));
        at += 12 + size_t{length};
    }
    return types;
}

TEST(PngEncoder, WritesAPngThatDecodesToTheStraightColours) {
    canvas::Surface surface(3, 2, makePixel(255, 255, 255, 255));
    surface.at(1, 0) = makePixel(255, 10, 20, 30);
    surface.at(2, 1) = makePixel(128, 64, 0, 128); // premultiplied half-transparent
    surface.at(0, 1) = makePixel(0, 0, 0, 0);
    const auto file = encodePng(surface);
    ASSERT_TRUE(file.has_value());
    ASSERT_GE(file->size(), 8u);
    EXPECT_EQ(file->substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));

    int width = 0;
    int height = 0;
    const auto rgba = decodeRgba(*file, &width, &height);
    ASSERT_EQ(width, 3);
    ASSERT_EQ(height, 2);
    const std::vector<uint8_t> expected = {
        255, 255, 255, 255, 10,  20,  30,  255, 255, 255, 255, 255,
        0,   0,   0,   0,   255, 255, 255, 255, 128, 0,   255, 128,
    };
    EXPECT_EQ(rgba, expected);
}

TEST(PngEncoder, DecodedAndPremultipliedAgainGivesTheSurfaceExactly) {
    std::mt19937 random(20100704);
    for (int round = 0; round < 8; ++round) {
        const int w = 1 + static_cast<int>(random() % 97);
        const int h = 1 + static_cast<int>(random() % 61);
        canvas::Surface surface(w, h);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                // Every alpha, the extremes often, colour channels at most alpha.
                const uint32_t pick = random() % 4;
                const auto a = static_cast<uint8_t>(pick == 0   ? 0
                                                    : pick == 1 ? 255
                                                                : random() % 256);
                const auto channel = [&] { return static_cast<uint8_t>(random() % (a + 1)); };
                const uint8_t r = channel();
                const uint8_t g = channel();
                const uint8_t b = channel();
                surface.at(x, y) = makePixel(a, r, g, b);
            }
        }
        const auto file = encodePng(surface);
        ASSERT_TRUE(file.has_value());
        int width = 0;
        int height = 0;
        const auto rgba = decodeRgba(*file, &width, &height);
        ASSERT_EQ(width, w);
        ASSERT_EQ(height, h);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const uint8_t* p = rgba.data() + (static_cast<size_t>(y) * w + x) * 4;
                const canvas::Pixel again =
                    makePixel(p[3], canvas::mul255(p[0], p[3]), canvas::mul255(p[1], p[3]),
                              canvas::mul255(p[2], p[3]));
                ASSERT_EQ(again, surface.at(x, y)) << "at " << x << ", " << y;
            }
        }
    }
}

TEST(PngEncoder, WritesEightBitRgbaWithNoColourSpaceChunk) {
    const auto file = encodePng(canvas::Surface(320, 480, canvas::OpaqueWhite));
    ASSERT_TRUE(file.has_value());
    const auto types = chunkTypes(*file);
    ASSERT_GE(types.size(), 3u);
    EXPECT_EQ(types.front(), "IHDR");
    EXPECT_EQ(types.back(), "IEND");
    for (size_t i = 1; i + 1 < types.size(); ++i) {
        EXPECT_EQ(types[i], "IDAT") << "chunk " << i; // no sRGB, gAMA, cHRM or iCCP
    }
    // IHDR: width, height, depth 8, colour type 6 (RGBA), no interlace.
    EXPECT_EQ(bigEndianAt(*file, 16), 320u);
    EXPECT_EQ(bigEndianAt(*file, 20), 480u);
    EXPECT_EQ(static_cast<uint8_t>((*file)[24]), 8);
    EXPECT_EQ(static_cast<uint8_t>((*file)[25]), 6);
    EXPECT_EQ(static_cast<uint8_t>((*file)[28]), 0);
}

TEST(PngEncoder, GivesNothingForAnEmptySurface) {
    EXPECT_FALSE(encodePng(canvas::Surface()).has_value());
}

} // namespace
} // namespace velmo::png
