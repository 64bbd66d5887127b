#include "canvas/canvas_geometry.h"
#include "canvas/pen_properties.h"

#include <gtest/gtest.h>

namespace velmo::canvas {
namespace {

TEST(CanvasGeometry, ScreenSizesMapOntoTheLogicalCanvas) {
    struct Case {
        float w, h;
        int width, height;
        float scale;
        int pen_width;
        int logical_width, logical_height;
    };
    const Case cases[] = {
        {320, 480, 320, 480, 320.0f / 320000.0f, 2999, 320000, 480000},
        {768, 1024, 768, 1024, 768.0f / 320000.0f, 1250, 320000, 426667},
        {1024, 768, 1024, 768, 1024.0f / 320000.0f, 937, 320000, 240000},
        {320, 568, 320, 568, 568.0f / 480000.0f, 2535, 270423, 480000},
        // The grid truncates, the scale does not.
        {320.7f, 480.9f, 320, 480, 320.7f / 320000.0f, 2993, 319301, 478952},
    };
    for (const Case& c : cases) {
        CanvasGeometry g;
        g.setScreenSize(c.w, c.h);
        EXPECT_EQ(g.canvas_width, c.width);
        EXPECT_EQ(g.canvas_height, c.height);
        EXPECT_EQ(g.pixel_scale, c.scale) << c.w << "x" << c.h;
        EXPECT_EQ(defaultPen(g.pixel_scale).width, c.pen_width) << c.w << "x" << c.h;
        // Single precision may land a unit short of the exact quotient.
        EXPECT_NEAR(g.toUnits(static_cast<float>(g.canvas_width)), c.logical_width, 1);
        EXPECT_NEAR(g.toUnits(static_cast<float>(g.canvas_height)), c.logical_height, 1);
    }
    // Before the screen size is known.
    const CanvasGeometry initial;
    EXPECT_EQ(initial.canvas_width, 32);
    EXPECT_EQ(initial.canvas_height, 48);
    EXPECT_EQ(defaultPen(initial.pixel_scale).width, 30);
}

TEST(CanvasGeometry, PixelsBecomeUnitsBySinglePrecisionTruncation) {
    CanvasGeometry g;
    g.setScreenSize(320, 480);
    EXPECT_EQ(g.toUnits(100), 99999);
    EXPECT_EQ(g.toUnits(160), 160000);
    EXPECT_EQ(g.toUnits(1), 999);
    EXPECT_EQ(g.toUnits(-1), -999);
    EXPECT_FLOAT_EQ(g.toPixels(160000), 160.0f);
}

} // namespace
} // namespace velmo::canvas
