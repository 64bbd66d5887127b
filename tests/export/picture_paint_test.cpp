#include "export/picture_paint.h"

#include "canvas/stroke_painter.h"
#include "canvas/stroke_replay.h"
#include "support/random_strokes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace velmo::exporting {
namespace {

using canvas::CanvasGeometry;
using canvas::LayerSurfaces;
using canvas::Surface;

CanvasGeometry geometryOf(int width, int height) {
    CanvasGeometry geometry;
    geometry.setScreenSize(static_cast<float>(width), static_cast<float>(height));
    return geometry;
}

// The layers painted on one thread, stroke after stroke, as the engine's history replays them.
LayerSurfaces replayedOnOneThread(const std::vector<canvas::MWStroke>& strokes,
                                  const CanvasGeometry& geometry) {
    const int w = geometry.canvas_width;
    const int h = geometry.canvas_height;
    LayerSurfaces layers{Surface(w, h), Surface(w, h), Surface(w, h)};
    canvas::resetLayers(layers);
    canvas::StrokePainter painter;
    canvas::replayStrokes(painter, layers, geometry, strokes);
    return layers;
}

TEST(ScaledGeometry, KeepsTheLogicalCanvasAndMultipliesThePixels) {
    struct Case {
        int width, height, scale;
        bool fits;
    };
    const Case cases[] = {
        {320, 480, 1, true}, {320, 480, 2, true},  {320, 480, 4, true},    {1600, 1000, 4, true},
        {333, 517, 2, true}, {320, 480, 0, false}, {4000, 3000, 4, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " at " << c.scale);
        const CanvasGeometry base = geometryOf(c.width, c.height);
        const auto scaled = scaledGeometry(base, c.scale);
        ASSERT_EQ(scaled.has_value(), c.fits);
        if (!c.fits) {
            continue;
        }
        EXPECT_EQ(scaled->canvas_width, c.width * c.scale);
        EXPECT_EQ(scaled->canvas_height, c.height * c.scale);
        EXPECT_EQ(scaled->pixel_scale, base.pixel_scale * static_cast<float>(c.scale));
        // What a canvas opened at that size would have, so a render there is the same.
        EXPECT_EQ(*scaled, geometryOf(c.width * c.scale, c.height * c.scale));
    }
}

TEST(PaintLayers, GivesTheReplaysPixelsAtAnySizeAndStopsWhenTold) {
    // More strokes than one piece, so pieces join where the layers already hold paint.
    std::vector<canvas::MWStroke> strokes = velmo::testing::HandStrokes(7, 120, 180).stamped(600);
    for (const int scale : {1, 2}) {
        SCOPED_TRACE(scale);
        const CanvasGeometry geometry = *scaledGeometry(geometryOf(120, 180), scale);
        std::vector<double> heard;
        const auto layers = paintLayers(strokes, geometry, [&](double done) {
            heard.push_back(done);
            return true;
        });
        ASSERT_TRUE(layers.has_value());
        const LayerSurfaces expected = replayedOnOneThread(strokes, geometry);
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ((*layers)[i], expected[i]) << "layer " << i;
        }
        EXPECT_EQ(composedPicture(*layers), canvas::renderPicture(strokes, geometry));
        ASSERT_GE(heard.size(), 3u);
        EXPECT_EQ(heard.front(), 0.0);
        EXPECT_EQ(heard.back(), 1.0);
        EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end()));
    }

    int asked = 0;
    EXPECT_FALSE(paintLayers(strokes, geometryOf(120, 180), [&](double) { return ++asked < 2; }));
    EXPECT_EQ(asked, 2);
    // No strokes: the neutral layers, composed to white.
    const auto empty = paintLayers({}, geometryOf(8, 12));
    ASSERT_TRUE(empty);
    EXPECT_EQ(composedPicture(*empty), Surface(8, 12, canvas::OpaqueWhite));
}

TEST(ShrunkToFit, AveragesIntoTheLargestSizeThatFitsWithItsProportions) {
    struct Case {
        int width, height, most, expect_width, expect_height;
    };
    const Case cases[] = {
        {320, 480, 256, 170, 256}, {480, 320, 256, 256, 170}, {100, 50, 256, 100, 50},
        {256, 256, 256, 256, 256}, {2000, 3, 256, 256, 1},    {4, 4, 2, 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " into " << c.most);
        const Surface gray(c.width, c.height, canvas::makePixel(255, 90, 90, 90));
        const Surface small = shrunkToFit(gray, c.most);
        EXPECT_EQ(small.width(), c.expect_width);
        EXPECT_EQ(small.height(), c.expect_height);
        EXPECT_EQ(small, Surface(c.expect_width, c.expect_height, gray.at(0, 0)));
    }
    // Each 2 x 2 block becomes its mean, rounded to nearest.
    Surface checks(4, 2, canvas::OpaqueBlack);
    checks.at(0, 0) = canvas::OpaqueWhite;
    checks.at(2, 0) = checks.at(3, 0) = checks.at(2, 1) = canvas::OpaqueWhite;
    const Surface small = shrunkToFit(checks, 2);
    ASSERT_EQ(small.width(), 2);
    ASSERT_EQ(small.height(), 1);
    EXPECT_EQ(small.at(0, 0), canvas::makePixel(255, 64, 64, 64));
    EXPECT_EQ(small.at(1, 0), canvas::makePixel(255, 191, 191, 191));
}

} // namespace
} // namespace velmo::exporting
