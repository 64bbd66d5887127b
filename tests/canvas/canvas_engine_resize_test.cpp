#include "canvas/canvas_engine.h"
#include "canvas/stroke_replay.h"
#include "support/fake_clock.h"
#include "support/recording_outlets.h"

#include <gtest/gtest.h>

#include <vector>

namespace velmo::canvas {
namespace {

using testing::FakeClock;
using testing::RecordingOutlets;

constexpr const char* Me = "me@20101201095959123";

class CanvasResizeTest : public ::testing::Test {
protected:
    CanvasResizeTest() : engine(outlets, clock) {
        engine.setScreenSize(320, 480);
        engine.clear_canvas();
        engine.user_id = Me;
    }

    void drag(std::initializer_list<std::pair<int, int>> points) {
        for (const auto& [x, y] : points) {
            engine.touchDraggedAtX(x, y);
        }
    }
    void stroke(std::initializer_list<std::pair<int, int>> points) {
        engine.touchPressedAtX(points.begin()->first, points.begin()->second);
        drag(points);
        engine.touchReleasedAtX(-1, -1);
        clock.advance(1.0);
    }

    // Someone else's stroke, confirmed by the server, across the canvas in canvas units.
    void othersStroke(int64_t server_time, uint32_t color, int layer, int y_units) {
        MWStroke s;
        s.user_name = "you@1";
        s.server_time = server_time;
        s.client_time = server_time;
        s.pen_properties = {static_cast<int32_t>(color), 12000, 200};
        s.layer = layer;
        s.points_x = {10000, 150000, 310000};
        s.points_y = {y_units, y_units + 90000, y_units};
        engine.strokes_history.store({server_time, server_time}, s);
    }

    std::vector<MWStroke> ordered() const {
        std::vector<MWStroke> out;
        for (const auto& [key, s] : engine.strokes_history) {
            out.push_back(s);
        }
        return out;
    }

    // A canvas started at this size and painted from the same history.
    Surface freshCanvasPicture(int width, int height) const {
        RecordingOutlets fresh_outlets;
        CanvasEngine fresh(fresh_outlets, clock);
        fresh.setScreenSize(static_cast<float>(width), static_cast<float>(height));
        fresh.clear_canvas();
        for (const auto& [key, s] : engine.strokes_history) {
            fresh.strokes_history.store(key, s);
        }
        fresh.redrawStrokes();
        return fresh.display_bitmap;
    }

    RecordingOutlets outlets;
    FakeClock clock;
    CanvasEngine engine;
};

TEST_F(CanvasResizeTest, APictureAfterAResizeIsAFreshCanvasOfThatSizePaintedFromTheHistory) {
    stroke({{20, 40}, {200, 300}, {300, 100}});
    engine.setLayerIndex(1);
    engine.pen_properties.color = static_cast<int32_t>(0xFF20A040u);
    stroke({{10, 400}, {310, 20}});
    othersStroke(1000, 0xFFD03020u, 0, 100000);
    othersStroke(2000, 0xFF2060D0u, 2, 300000);
    engine.paintChanges();
    const PenProperties pen = engine.pen_properties;
    // Larger, smaller, wider than 2:3 (the height fills the logical canvas), odd sizes, and
    // back to the start.
    const std::vector<std::pair<int, int>> sizes = {
        {480, 720}, {200, 300}, {900, 400}, {321, 481}, {320, 480}};
    for (const auto& [w, h] : sizes) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        engine.resizeCanvas(w, h);
        CanvasGeometry expected;
        expected.setScreenSize(static_cast<float>(w), static_cast<float>(h));
        EXPECT_EQ(engine.geometry, expected);
        for (const Surface* s :
             {&engine.display_bitmap, &engine.stroke_bitmap, &engine.prev_bitmap,
              &engine.layer_bitmap[0], &engine.layer_bitmap[1], &engine.layer_bitmap[2]}) {
            EXPECT_EQ(s->width(), w);
            EXPECT_EQ(s->height(), h);
        }
        EXPECT_EQ(engine.display_bitmap, freshCanvasPicture(w, h));
        EXPECT_EQ(engine.display_bitmap, renderPicture(ordered(), engine.geometry));
        EXPECT_EQ(engine.prev_bitmap, engine.layer_bitmap[engine.layer_index]);
        // The pen keeps its width on the logical canvas.
        EXPECT_EQ(engine.pen_properties, pen);
    }
    EXPECT_EQ(engine.strokes_history.size(), 4u);
    // The save points were placed at the new size: an undo and a new stroke repaint from them
    // as a replay from the start would.
    engine.resizeCanvas(400, 600);
    engine.undoOneStroke();
    EXPECT_EQ(engine.display_bitmap, renderPicture(ordered(), engine.geometry));
    stroke({{390, 590}, {50, 50}});
    EXPECT_EQ(engine.display_bitmap, renderPicture(ordered(), engine.geometry));
    // The same size again repaints nothing.
    const size_t repaints = outlets.repaints();
    engine.resizeCanvas(400, 600);
    EXPECT_EQ(outlets.repaints(), repaints);
}

TEST_F(CanvasResizeTest, StrokesInProgressAndTheViewFollowTheNewSize) {
    // The user's own stroke goes on across the resize: its points are canvas units.
    engine.touchPressedAtX(40, 40);
    drag({{160, 240}});
    const std::vector<int> units_before = engine.x_array;
    engine.resizeCanvas(640, 960);
    EXPECT_TRUE(engine.on_stroke);
    EXPECT_EQ(engine.x_array, units_before);
    const auto pixel = [&](int units) { return truncateToInt(engine.geometry.toPixels(units)); };
    EXPECT_EQ(engine.last_x, pixel(engine.x_array.back()));
    EXPECT_EQ(engine.last_y, pixel(engine.y_array.back()));
    // What is drawn so far shows as on a canvas where it was begun at the new size.
    RecordingOutlets fresh_outlets;
    CanvasEngine fresh(fresh_outlets, clock);
    fresh.setScreenSize(640, 960);
    fresh.clear_canvas();
    fresh.pen_properties = engine.pen_properties;
    fresh.touchPressedAtX(pixel(engine.x_array[0]), pixel(engine.y_array[0]));
    fresh.touchDraggedAtX(pixel(engine.x_array[1]), pixel(engine.y_array[1]));
    EXPECT_EQ(engine.display_bitmap, fresh.display_bitmap);
    EXPECT_EQ(engine.layer_bitmap[0], fresh.layer_bitmap[0]);
    // Drawing on where the old size did not reach.
    drag({{600, 900}});
    engine.touchReleasedAtX(-1, -1);
    ASSERT_EQ(engine.strokes_history.size(), 1u);
    const MWStroke& done = engine.strokes_history.begin()->second;
    EXPECT_EQ(done.points_x.back(), engine.geometry.toUnits(600));
    EXPECT_EQ(engine.display_bitmap, renderPicture(ordered(), engine.geometry));

    // Another user's stroke in progress is shown at the new scale too.
    MWStroke theirs;
    theirs.user_name = "you@1";
    theirs.pen_properties = {static_cast<int32_t>(0xFF0000FFu), 20000, 255};
    theirs.points_x = {10000, 300000};
    theirs.points_y = {400000, 400000};
    engine.showStrokeInProgress({"you@1", 5}, theirs);
    engine.resizeCanvas(320, 480);
    std::vector<MWStroke> with_theirs = ordered();
    with_theirs.push_back(theirs);
    EXPECT_EQ(engine.display_bitmap, renderPicture(with_theirs, engine.geometry));
    engine.hideStrokeInProgress({"you@1", 5});
    EXPECT_EQ(engine.display_bitmap, renderPicture(ordered(), engine.geometry));

    // The zoom stays; the shift scales, so the same canvas point stays at the same place
    // relative to the window.
    engine.view = {2.0f, -100.0f, -60.0f};
    engine.resizeCanvas(640, 960);
    EXPECT_FLOAT_EQ(engine.view.zoom_scale, 2.0f);
    EXPECT_FLOAT_EQ(engine.view.shift_x, -200.0f);
    EXPECT_FLOAT_EQ(engine.view.shift_y, -120.0f);
    EXPECT_EQ(outlets.displayTransform(), engine.view.displayTransform(640, 960));
}

TEST_F(CanvasResizeTest, APictureMadeElsewhereGivesWayToTheHistoryAndLayersOfTheOldSizeAreRefused) {
    othersStroke(1000, 0xFFD03020u, 0, 100000);
    LayerSurfaces elsewhere = engine.layer_bitmap;
    engine.resizeCanvas(480, 720);
    // A picture of the old size, as a fetch begun before the resize brings it.
    EXPECT_FALSE(engine.adoptLayers(elsewhere, 1000, 1));
    EXPECT_FALSE(engine.adopting());
    engine.redrawStrokes();
    LayerSurfaces right_size = engine.layer_bitmap;
    ASSERT_TRUE(engine.adoptLayers(right_size, 1000, 1));
    EXPECT_TRUE(engine.adopting());
    engine.resizeCanvas(320, 480);
    EXPECT_FALSE(engine.adopting());
    EXPECT_EQ(engine.display_bitmap, renderPicture(ordered(), engine.geometry));
    // Before the surfaces exist only the grid changes.
    RecordingOutlets early_outlets;
    CanvasEngine early(early_outlets, clock);
    early.resizeCanvas(600, 900);
    EXPECT_EQ(early.geometry.canvas_width, 600);
    EXPECT_TRUE(early.display_bitmap.empty());
}

TEST_F(CanvasResizeTest, AResizeInSlicesKeepsTheOldSizeUntilItsLastSliceAndPaintsTheSame) {
    // Short strokes of others, with an own confirmed one among the last 256, where an undo
    // repaints from the first follower the slices placed.
    for (int64_t i = 1; i <= 600; ++i) {
        othersStroke(i * 10, 0xFF000000u | static_cast<uint32_t>(i * 2654435761u >> 8), i % 3,
                     static_cast<int>(i * 700 % 400000));
    }
    MWStroke own = engine.strokes_history.at({5000, 5000});
    own.user_name = Me;
    own.points_y = {0, 479000, 0}; // under every stroke since the follower
    engine.strokes_history.store({5000, 5000}, own);
    engine.paintChanges();
    const Surface before = engine.display_bitmap;

    engine.beginResize(480, 720);
    ASSERT_TRUE(engine.resizing());
    for (int slice = 0; slice < 3; ++slice) {
        ASSERT_TRUE(engine.stepResize(50));
    }
    // The old size goes on meanwhile: a stroke arriving past the slices is painted there.
    EXPECT_EQ(engine.geometry.canvas_width, 320);
    EXPECT_EQ(engine.display_bitmap, before);
    othersStroke(7000, 0xFF20A040u, 0, 200000);
    engine.paintChanges();
    EXPECT_EQ(engine.display_bitmap, renderPicture(ordered(), engine.geometry));
    size_t slices = 0;
    while (engine.stepResize(50)) {
        ++slices;
    }
    EXPECT_GE(slices, 8u);
    EXPECT_FALSE(engine.resizing());
    EXPECT_EQ(engine.geometry.canvas_width, 480);
    EXPECT_EQ(engine.display_bitmap, freshCanvasPicture(480, 720));
    engine.undoOneStroke();
    EXPECT_FALSE(engine.strokes_history.contains({5000, 5000}));
    EXPECT_EQ(engine.display_bitmap, renderPicture(ordered(), engine.geometry));

    // A stroke gone from under the painted slices begins them again; a canvas changing there
    // on every slice is painted at once after a few tries.
    engine.beginResize(320, 480);
    ASSERT_TRUE(engine.stepResize(100));
    engine.strokes_history.erase({10, 10});
    engine.paintChanges();
    while (engine.stepResize(100)) {
    }
    EXPECT_EQ(engine.display_bitmap, freshCanvasPicture(320, 480));
    engine.beginResize(400, 600);
    int steps = 0;
    for (int64_t gone = 20; engine.stepResize(200) && steps < 100; gone += 10, ++steps) {
        engine.strokes_history.erase({gone, gone});
        engine.paintChanges();
    }
    EXPECT_FALSE(engine.resizing());
    EXPECT_LE(steps, 3 * (CanvasEngine::MaxResizeRestarts + 1));
    EXPECT_EQ(engine.geometry.canvas_width, 400);
    EXPECT_EQ(engine.display_bitmap, freshCanvasPicture(400, 600));
}

} // namespace
} // namespace velmo::canvas
