#include "png/png_encoder.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdint>
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

TEST(PngEncoder, GivesNothingForAnEmptySurface) {
    EXPECT_FALSE(encodePng(canvas::Surface()).has_value());
}

} // namespace
} // namespace velmo::png
