#include "canvas/stroke_painter.h"

#include "canvas/canvas_geometry.h"

#include <gtest/gtest.h>

namespace velmo::canvas {
namespace {

TEST(StrokePainter, DrawsOnlyThePointsBothListsHave) {
    CanvasGeometry g;
    g.setScreenSize(320, 480);
    MWStroke s;
    s.pen_properties = {static_cast<int32_t>(0xFFFF0000u), g.toUnits(6), 255};
    s.points_x = {g.toUnits(100), g.toUnits(200)};
    s.points_y = {g.toUnits(50), g.toUnits(50)};
    // A stroke whose points_y is shorter than points_x (possible from outside) draws only the
    // complete points.
    MWStroke ragged = s;
    ragged.points_x.push_back(g.toUnits(200));
    StrokePainter painter;
    Surface layer(320, 480, OpaqueWhite);
    painter.drawStroke(layer, ragged, g.pixel_scale);
    EXPECT_EQ(unpackPixel(layer.at(150, 50)), (Argb{255, 255, 0, 0}));
}

} // namespace
} // namespace velmo::canvas
