#include "export/open_raster.h"

#include "support/picture_files.h"
#include "support/random_strokes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmo::exporting {
namespace {

using velmo::testing::decodePng;
using velmo::testing::rgbaOfOpaque;
using velmo::testing::zipEntries;

uint32_t littleEndianAt(const std::string& bytes, size_t at, size_t length) {
    uint32_t value = 0;
    for (size_t i = length; i-- > 0;) {
        value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    }
    return value;
}

canvas::LayerSurfaces paintedLayers(int width, int height) {
    canvas::CanvasGeometry geometry;
    geometry.setScreenSize(static_cast<float>(width), static_cast<float>(height));
    return *paintLayers(velmo::testing::HandStrokes(3, width, height).stamped(60), geometry);
}

TEST(OpenRasterFile, HoldsTheThreeLayersWithTheirModesAsTheFormatOrdersThem) {
    const canvas::LayerSurfaces layers = paintedLayers(300, 450);
    const auto file = openRasterFile(layers);
    ASSERT_TRUE(file.has_value());

    // The format's signature: the first local header is "mimetype", stored, without an extra
    // field, its bytes right after the name.
    ASSERT_GT(file->size(), 54u);
    EXPECT_EQ(file->substr(0, 4), std::string("PK\x03\x04", 4));
    EXPECT_EQ(littleEndianAt(*file, 8, 2), 0u) << "compression method";
    EXPECT_EQ(littleEndianAt(*file, 26, 2), 8u) << "name length";
    EXPECT_EQ(littleEndianAt(*file, 28, 2), 0u) << "extra field length";
    EXPECT_EQ(file->substr(30, 8), "mimetype");
    EXPECT_EQ(file->substr(38, 16), "image/openraster");

    const auto entries = zipEntries(*file);
    std::vector<std::string> names;
    for (const auto& entry : entries) {
        names.push_back(entry.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"mimetype", "stack.xml", "data/normal.png",
                                               "data/multiply.png", "data/screen.png",
                                               "mergedimage.png", "Thumbnails/thumbnail.png"}));
    ASSERT_EQ(entries.size(), 7u);
    EXPECT_TRUE(entries[0].stored);

    // Top first: Screen, Multiply, Normal.
    const std::string& stack = entries[1].data;
    EXPECT_NE(stack.find("<image version=\"0.0.3\" w=\"300\" h=\"450\">"), std::string::npos)
        << stack;
    const size_t screen =
        stack.find("name=\"Screen\" src=\"data/screen.png\" composite-op=\"svg:screen\"");
    const size_t multiply =
        stack.find("name=\"Multiply\" src=\"data/multiply.png\" composite-op=\"svg:multiply\"");
    const size_t normal =
        stack.find("name=\"Normal\" src=\"data/normal.png\" composite-op=\"svg:src-over\"");
    ASSERT_NE(screen, std::string::npos) << stack;
    ASSERT_NE(multiply, std::string::npos) << stack;
    ASSERT_NE(normal, std::string::npos) << stack;
    EXPECT_LT(screen, multiply);
    EXPECT_LT(multiply, normal);

    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(entries[2 + i].name);
        const auto png = decodePng(entries[2 + i].data);
        EXPECT_EQ(png.width, 300);
        EXPECT_EQ(png.height, 450);
        EXPECT_TRUE(png.rgba == rgbaOfOpaque(layers[i]));
    }
    const canvas::Surface picture = composedPicture(layers);
    const auto merged = decodePng(entries[5].data);
    EXPECT_EQ(merged.width, 300);
    EXPECT_TRUE(merged.rgba == rgbaOfOpaque(picture));
    const auto thumbnail = decodePng(entries[6].data);
    EXPECT_EQ(thumbnail.width, 170);
    EXPECT_EQ(thumbnail.height, 256);
    EXPECT_TRUE(thumbnail.rgba == rgbaOfOpaque(shrunkToFit(picture, 256)));
    // The layers differ from one another and from the neutral ones: the test saw paint.
    EXPECT_NE(layers[0], canvas::Surface(300, 450, canvas::OpaqueWhite));
    EXPECT_NE(layers[2], canvas::Surface(300, 450, canvas::OpaqueBlack));
}

TEST(OpenRasterFile, AThumbnailOfASmallPictureIsThePictureAndAStopWritesNothing) {
    const canvas::LayerSurfaces layers = paintedLayers(40, 60);
    const auto entries = zipEntries(*openRasterFile(layers));
    ASSERT_EQ(entries.size(), 7u);
    EXPECT_EQ(entries[6].data, entries[5].data);

    int asked = 0;
    EXPECT_FALSE(openRasterFile(layers, [&](double) { return ++asked < 3; }));
    EXPECT_EQ(asked, 3);
}

} // namespace
} // namespace velmo::exporting
