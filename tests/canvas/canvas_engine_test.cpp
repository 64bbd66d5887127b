#include "canvas/canvas_engine.h"
#include "canvas/stroke_replay.h"
#include "support/fake_clock.h"
#include "support/recording_outlets.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace velmo::canvas {
namespace {

using testing::FakeClock;
using testing::RecordingOutlets;

class RecordingAgent : public StrokeAgent {
public:
    void append_stroke(const MWStroke& stroke) override { appended.push_back(stroke); }
    void delete_stroke(const MWStroke& stroke) override { deleted.push_back(stroke); }
    std::vector<MWStroke> appended, deleted;
};

class CanvasEngineTest : public ::testing::Test {
protected:
    CanvasEngineTest() : engine(outlets, clock) {
        engine.setScreenSize(320, 480);
        engine.clear_canvas();
        engine.setStrokeAgent(&agent);
        engine.user_id = "me@20101201095959123";
    }

    void stroke(std::initializer_list<std::pair<int, int>> points) {
        auto it = points.begin();
        engine.touchPressedAtX(it->first, it->second);
        for (++it; it != points.end(); ++it) {
            engine.touchDraggedAtX(it->first, it->second);
        }
        engine.touchReleasedAtX(-1, -1);
        clock.advance(1.0);
    }

    // The picture the history gives when painted from scratch.
    Surface rebuiltDisplay() const {
        std::vector<MWStroke> ordered;
        for (const auto& [key, s] : engine.strokes_history) {
            ordered.push_back(s);
        }
        return renderPicture(ordered, engine.geometry);
    }

    MWStroke strokeOf(const std::string& user, int64_t server_time, int64_t client_time,
                      uint32_t color, int layer, int y) {
        MWStroke s;
        s.user_name = user;
        s.server_time = server_time;
        s.client_time = client_time;
        s.pen_properties = {static_cast<int32_t>(color), engine.geometry.toUnits(8), 255};
        s.layer = layer;
        s.points_x = {engine.geometry.toUnits(20), engine.geometry.toUnits(60)};
        s.points_y = {engine.geometry.toUnits(static_cast<float>(y)),
                      engine.geometry.toUnits(static_cast<float>(y))};
        return s;
    }

    static bool allPixels(const Surface& s, Pixel p) {
        for (int i = 0; i < s.width() * s.height(); ++i) {
            if (s.data()[i] != p) {
                return false;
            }
        }
        return true;
    }

    RecordingOutlets outlets;
    FakeClock clock;
    RecordingAgent agent;
    CanvasEngine engine;
};

TEST_F(CanvasEngineTest, ResetGivesTheInitialSurfaces) {
    EXPECT_EQ(engine.display_bitmap.width(), 320);
    EXPECT_EQ(engine.display_bitmap.height(), 480);
    EXPECT_TRUE(allPixels(engine.display_bitmap, OpaqueWhite));
    EXPECT_TRUE(allPixels(engine.stroke_bitmap, Transparent));
    EXPECT_TRUE(allPixels(engine.prev_bitmap, OpaqueWhite));
    EXPECT_TRUE(allPixels(engine.layer_bitmap[1], OpaqueWhite));
    EXPECT_TRUE(allPixels(engine.layer_bitmap[2], OpaqueBlack));
    EXPECT_EQ(engine.pen_properties.width, 2999);
    EXPECT_GE(outlets.full_invalidations, 1);
}

TEST_F(CanvasEngineTest, AStrokeIsDrawnInDirtyRectanglesRecordedAndSent) {
    engine.touchPressedAtX(10, 10);
    engine.touchDraggedAtX(13, 11);
    ASSERT_EQ(outlets.invalidated_rects.size(), 1u);
    EXPECT_EQ(outlets.invalidated_rects[0], (RecordingOutlets::Rect{8, 8, 8, 6}));
    engine.touchDraggedAtX(100, 160);
    engine.touchDraggedAtX(100, 160); // a repeated point still counts
    EXPECT_EQ(engine.x_array, (std::vector<int>{10000, 12999, 99999, 99999}));
    EXPECT_EQ(engine.y_array, (std::vector<int>{10000, 10999, 160000, 160000}));
    // The display already shows the stroke at half density; the layer too.
    EXPECT_NE(engine.display_bitmap.at(56, 85), OpaqueWhite);
    EXPECT_EQ(engine.display_bitmap.at(56, 85), engine.layer_bitmap[0].at(56, 85));
    const Surface shown = engine.display_bitmap;
    engine.touchReleasedAtX(300, 300);
    EXPECT_EQ(outlets.info_text, "Normal layer");
    ASSERT_EQ(engine.strokes_history.size(), 1u);
    const auto& [key, recorded] = *engine.strokes_history.begin();
    EXPECT_EQ(key, (StrokeKey{DefaultInitServerTime, 1291201234567}));
    EXPECT_EQ(recorded.client_time, 1291201234567);
    EXPECT_EQ(recorded.server_time, 0);
    EXPECT_EQ(recorded.user_name, "me@20101201095959123");
    EXPECT_EQ(recorded.pen_properties, engine.pen_properties);
    EXPECT_EQ(recorded.points_x.back(), 99999); // the release point is not used
    ASSERT_EQ(agent.appended.size(), 1u);
    EXPECT_EQ(agent.appended[0], recorded);
    // Between strokes the scratch is empty and the snapshot is the layer. The layer now holds
    // the stroke as a replay of the history paints it, which differs from the segments drawn
    // only in a unit at some edge pixels.
    EXPECT_TRUE(allPixels(engine.stroke_bitmap, Transparent));
    EXPECT_EQ(engine.prev_bitmap, engine.layer_bitmap[0]);
    EXPECT_EQ(engine.display_bitmap.at(56, 85), shown.at(56, 85));
    const Surface released = engine.display_bitmap;
    engine.redrawStrokes();
    EXPECT_EQ(engine.display_bitmap, released);
}

TEST_F(CanvasEngineTest, TapsDensityZeroAndCancelledStrokes) {
    // A tap records a one-point stroke and draws nothing.
    stroke({{40, 40}});
    ASSERT_EQ(agent.appended.size(), 1u);
    EXPECT_EQ(agent.appended[0].points_x.size(), 1u);
    EXPECT_TRUE(allPixels(engine.display_bitmap, OpaqueWhite));
    // Density 0 changes no pixel but is recorded and sent.
    engine.pen_properties.density = 0;
    stroke({{10, 10}, {200, 300}});
    EXPECT_EQ(agent.appended.size(), 2u);
    EXPECT_TRUE(allPixels(engine.layer_bitmap[0], OpaqueWhite));
    // A cancelled stroke leaves the picture as it was before the press, and nothing is sent.
    engine.pen_properties.density = 255;
    stroke({{5, 100}, {300, 100}});
    const Surface before = engine.display_bitmap;
    const Surface layer_before = engine.layer_bitmap[0];
    engine.touchPressedAtX(10, 300);
    engine.touchDraggedAtX(200, 310);
    EXPECT_NE(engine.display_bitmap, before);
    outlets.full_invalidations = 0;
    engine.cancelStroke();
    EXPECT_EQ(engine.display_bitmap, before);
    EXPECT_EQ(engine.layer_bitmap[0], layer_before);
    EXPECT_TRUE(allPixels(engine.stroke_bitmap, Transparent));
    EXPECT_EQ(outlets.full_invalidations, 1);
    EXPECT_EQ(agent.appended.size(), 3u);
    EXPECT_EQ(engine.strokes_history.size(), 3u);
}

TEST_F(CanvasEngineTest, HistoryRepaintsInKeyOrderAndSkipsUnknownLayers) {
    const uint32_t red = 0xFFFF0000u, blue = 0xFF0000FFu;
    // An own unconfirmed stroke is painted above a confirmed stroke that came later.
    MWStroke own = strokeOf("me@20101201095959123", 0, 500, red, 0, 100);
    MWStroke other = strokeOf("you@1", 9000, 100, blue, 0, 100);
    engine.strokes_history.store({DefaultInitServerTime, own.client_time}, own);
    engine.strokes_history.store({other.server_time, other.client_time}, other);
    // Same server time: client time decides.
    MWStroke first = strokeOf("you@1", 5000, 1, red, 0, 200);
    MWStroke second = strokeOf("you@1", 5000, 2, blue, 0, 200);
    engine.strokes_history.store({5000, 2}, second);
    engine.strokes_history.store({5000, 1}, first);
    MWStroke hidden = strokeOf("you@1", 100, 3, blue, 3, 300);
    engine.strokes_history.store({100, 3}, hidden);
    engine.redrawStrokes();
    EXPECT_EQ(unpackPixel(engine.display_bitmap.at(40, 100)), (Argb{255, 255, 0, 0}));
    EXPECT_EQ(unpackPixel(engine.display_bitmap.at(40, 200)), (Argb{255, 0, 0, 255}));
    EXPECT_EQ(engine.display_bitmap.at(40, 300), OpaqueWhite);
    EXPECT_EQ(engine.strokes_history.size(), 5u);
    EXPECT_EQ(engine.prev_bitmap, engine.layer_bitmap[0]);
    // Multiply and screen layers take part in the picture.
    engine.strokes_history.clear();
    engine.strokes_history.store({1, 1}, strokeOf("you@1", 1, 1, 0xFFFF0000u, 0, 50));
    engine.strokes_history.store({2, 2}, strokeOf("you@1", 2, 2, 0xFF000000u, 1, 50));
    engine.strokes_history.store({3, 3}, strokeOf("you@1", 3, 3, 0xFFFFFFFFu, 2, 150));
    engine.redrawStrokes();
    EXPECT_EQ(engine.display_bitmap.at(40, 50), OpaqueBlack);
    EXPECT_EQ(engine.display_bitmap.at(40, 150), OpaqueWhite);
    engine.strokes_history.clear();
    engine.redrawStrokes();
    EXPECT_TRUE(allPixels(engine.display_bitmap, OpaqueWhite));
}

TEST_F(CanvasEngineTest, UndoTakesOwnStrokesNewestFirstAndNeverOthers) {
    engine.strokes_history.store({10, 1}, strokeOf("you@1", 10, 1, 0xFF0000FFu, 0, 50));
    engine.strokes_history.store({20, 2},
                                 strokeOf("me@20101201095959123", 20, 2, 0xFF00FF00u, 0, 60));
    stroke({{10, 400}, {300, 400}}); // own, unconfirmed
    engine.undoOneStroke();
    ASSERT_EQ(agent.deleted.size(), 1u);
    EXPECT_EQ(agent.deleted[0].server_time, 0); // the unconfirmed one went first
    EXPECT_EQ(engine.display_bitmap.at(100, 400), OpaqueWhite);
    EXPECT_EQ(engine.display_bitmap, rebuiltDisplay());
    engine.undoOneStroke();
    ASSERT_EQ(agent.deleted.size(), 2u);
    EXPECT_EQ(agent.deleted[1].client_time, 2);
    engine.undoOneStroke(); // only another user's stroke is left
    EXPECT_EQ(agent.deleted.size(), 2u);
    EXPECT_EQ(engine.strokes_history.size(), 1u);
    engine.strokes_history.clear();
    engine.undoOneStroke(); // empty history: silent
    EXPECT_EQ(agent.deleted.size(), 2u);
}

TEST_F(CanvasEngineTest, RedoDrawsTheUndoneStrokesAgainAsNewStrokesNewestFirst) {
    engine.setLayerIndex(1);
    engine.pen_properties = {static_cast<int32_t>(0xFF2080C0u), engine.geometry.toUnits(12), 200};
    stroke({{10, 100}, {300, 120}});
    engine.setLayerIndex(2);
    stroke({{10, 300}, {300, 320}});
    const Surface drawn = engine.display_bitmap;
    const MWStroke first = engine.strokes_history.begin()->second;
    const MWStroke second = std::next(engine.strokes_history.begin())->second;
    engine.undoOneStroke();
    engine.undoOneStroke();
    EXPECT_TRUE(engine.canRedo());
    EXPECT_TRUE(engine.strokes_history.empty());

    // The last undone comes back first, as a stroke of its own at the clock's time.
    clock.advance(5.0);
    engine.redoOneStroke();
    ASSERT_EQ(agent.appended.size(), 3u);
    const MWStroke again = agent.appended.back();
    EXPECT_EQ(again.points_x, first.points_x);
    EXPECT_EQ(again.points_y, first.points_y);
    EXPECT_EQ(again.pen_properties, first.pen_properties);
    EXPECT_EQ(again.layer, 1);
    EXPECT_EQ(again.user_name, engine.userID());
    EXPECT_EQ(again.server_time, 0);
    EXPECT_EQ(again.client_time, static_cast<int64_t>(clock.now() * 1000.0));
    EXPECT_GT(again.client_time, second.client_time);
    EXPECT_TRUE(engine.strokes_history.contains({engine.InitServerTime, again.client_time}));
    engine.redoOneStroke();
    ASSERT_EQ(agent.appended.size(), 4u);
    EXPECT_EQ(agent.appended.back().layer, 2);
    EXPECT_EQ(agent.appended.back().points_y, second.points_y);
    EXPECT_NE(agent.appended.back().client_time, again.client_time);
    EXPECT_EQ(engine.display_bitmap, drawn);
    EXPECT_EQ(engine.display_bitmap, rebuiltDisplay());
    EXPECT_FALSE(engine.canRedo());
    engine.redoOneStroke(); // nothing left: silent
    EXPECT_EQ(agent.appended.size(), 4u);

    // A redone stroke can be undone again; a new stroke forgets what could be redone, and so
    // does a cleared canvas.
    engine.undoOneStroke();
    EXPECT_TRUE(engine.canRedo());
    stroke({{40, 200}, {80, 200}});
    EXPECT_FALSE(engine.canRedo());
    engine.redoOneStroke();
    EXPECT_EQ(agent.appended.size(), 5u);
    engine.undoOneStroke();
    engine.clear_canvas();
    EXPECT_FALSE(engine.canRedo());
    engine.undoOneStroke();
    engine.forgetRedo();
    EXPECT_FALSE(engine.canRedo());
}

TEST_F(CanvasEngineTest, RedoWaitsWhileAStrokeIsDrawnAndNeverReusesAKey) {
    stroke({{10, 100}, {300, 100}});
    engine.undoOneStroke();
    engine.touchPressedAtX(10, 200);
    engine.touchDraggedAtX(100, 200);
    engine.redoOneStroke(); // mid-stroke: the stroke being drawn is not disturbed
    EXPECT_TRUE(engine.strokes_history.empty());
    EXPECT_TRUE(engine.canRedo());
    engine.cancelStroke();
    EXPECT_FALSE(engine.on_stroke);
    // A stroke already under the clock's time keeps its key; the redone one goes beside it.
    const int64_t now = static_cast<int64_t>(clock.now() * 1000.0);
    engine.strokes_history.store({engine.InitServerTime, now},
                                 strokeOf(engine.userID(), 0, now, 0xFF0000FFu, 0, 300));
    engine.redoOneStroke();
    EXPECT_EQ(engine.strokes_history.size(), 2u);
    EXPECT_EQ(agent.appended.back().client_time, now + 1);
}

TEST_F(CanvasEngineTest, AHiddenLayerLeavesTheDisplayButNotTheLayers) {
    engine.setLayerIndex(0);
    engine.pen_properties = {static_cast<int32_t>(0xFFD03020u), engine.geometry.toUnits(20), 255};
    stroke({{10, 100}, {300, 100}});
    engine.setLayerIndex(1);
    engine.pen_properties.color = static_cast<int32_t>(0xFF2060D0u);
    stroke({{150, 10}, {150, 470}});
    engine.setLayerIndex(2);
    engine.pen_properties.color = static_cast<int32_t>(0xFF206070u);
    stroke({{10, 300}, {300, 300}});
    const Surface all = engine.display_bitmap;
    const LayerSurfaces layers = engine.layer_bitmap;
    ASSERT_EQ(all, rebuiltDisplay());

    // Each layer hidden alone: the display is the picture of the others' strokes.
    for (unsigned hidden = 0; hidden < 3; ++hidden) {
        engine.setLayerShown(hidden, false);
        EXPECT_FALSE(engine.layerShown(hidden));
        EXPECT_FALSE(engine.allLayersShown());
        std::vector<MWStroke> others;
        for (const auto& [key, s] : engine.strokes_history) {
            if (s.layer != static_cast<int32_t>(hidden)) {
                others.push_back(s);
            }
        }
        EXPECT_EQ(engine.display_bitmap, renderPicture(others, engine.geometry)) << hidden;
        EXPECT_EQ(engine.layer_bitmap, layers) << hidden;
        engine.setLayerShown(hidden, true);
        EXPECT_EQ(engine.display_bitmap, all) << hidden;
    }

    // Strokes drawn and undone while a layer is hidden keep the display without it.
    engine.setLayerShown(1, false);
    engine.setLayerIndex(1);
    stroke({{250, 10}, {250, 470}});
    EXPECT_EQ(engine.display_bitmap.at(250, 200), OpaqueWhite);
    engine.undoOneStroke();
    engine.setLayerIndex(0);
    stroke({{10, 400}, {300, 400}});
    std::vector<MWStroke> shown;
    for (const auto& [key, s] : engine.strokes_history) {
        if (s.layer != 1) {
            shown.push_back(s);
        }
    }
    EXPECT_EQ(engine.display_bitmap, renderPicture(shown, engine.geometry));
    engine.setLayerShown(1, true);
    EXPECT_EQ(engine.display_bitmap, rebuiltDisplay());
    engine.setLayerShown(7, false); // no such layer: ignored
    EXPECT_TRUE(engine.allLayersShown());
    EXPECT_TRUE(engine.layerShown(7));
}

// A canvas whose merge at the end of a stroke brings another user's stroke and repaints.
class MergingEngine : public CanvasEngine {
public:
    using CanvasEngine::CanvasEngine;
    void get_response() override {
        if (!pending.points_x.empty()) {
            strokes_history.store({pending.server_time, pending.client_time}, pending);
            pending = {};
            redrawStrokes();
        }
    }
    MWStroke pending;
};

TEST_F(CanvasEngineTest, AStrokeMergedWithOthersAtReleaseIsPaintedOnce) {
    MergingEngine merging(outlets, clock);
    merging.setScreenSize(320, 480);
    merging.clear_canvas();
    merging.pen_properties.density = 100;
    merging.pending = strokeOf("you@1", 7, 7, 0xFF0000FFu, 0, 20);
    merging.touchPressedAtX(10, 200);
    merging.touchDraggedAtX(300, 210);
    merging.touchReleasedAtX(0, 0);
    std::vector<MWStroke> ordered;
    for (const auto& [key, s] : merging.strokes_history) {
        ordered.push_back(s);
    }
    EXPECT_EQ(merging.strokes_history.size(), 2u);
    EXPECT_EQ(merging.layer_bitmap[0], renderPicture(ordered, merging.geometry));
    EXPECT_TRUE(allPixels(merging.stroke_bitmap, Transparent));
}

TEST_F(CanvasEngineTest, LayerChoiceRestartsTheScratchAndUpdatesTheInfoLine) {
    engine.canvas_id = "anna@20100704123456789";
    engine.touchPressedAtX(10, 10);
    engine.touchDraggedAtX(100, 100);
    engine.setLayerIndex(0); // the same layer still restarts
    EXPECT_TRUE(allPixels(engine.stroke_bitmap, Transparent));
    EXPECT_EQ(engine.prev_bitmap, engine.layer_bitmap[0]);
    engine.setLayerIndex(2);
    EXPECT_EQ(engine.layer_index, 2u);
    EXPECT_EQ(engine.prev_bitmap, engine.layer_bitmap[2]);
    EXPECT_EQ(outlets.info_text, "Screen layer · anna@20100704123456789");
    engine.setLayerIndex(3); // not a layer: ignored
    EXPECT_EQ(engine.layer_index, 2u);
    // A white stroke on the screen layer whitens; the layer keeps it after release.
    engine.pen_properties = {static_cast<int32_t>(0xFFFFFFFFu), engine.geometry.toUnits(10), 255};
    engine.strokes_history.clear();
    engine.redrawStrokes();
    stroke({{50, 50}, {150, 50}});
    EXPECT_EQ(unpackPixel(engine.layer_bitmap[2].at(100, 50)), (Argb{255, 255, 255, 255}));
    EXPECT_EQ(engine.strokes_history.begin()->second.layer, 2);
}

TEST_F(CanvasEngineTest, EyedropperPicksTheComposedColour) {
    outlets.draw_mode = 1;
    engine.touchPressedAtX(100, 300);
    EXPECT_EQ(static_cast<uint32_t>(engine.pen_properties.color), 0xFFFFFFFFu);
    EXPECT_TRUE(outlets.swatch_visible);
    EXPECT_EQ(outlets.swatch_center_x, 100.0f);
    EXPECT_EQ(outlets.swatch_center_y, 260.0f);
    // Red on layer 0, black on the multiply layer over part of it.
    engine.strokes_history.store({1, 1}, strokeOf("you@1", 1, 1, 0xFFFF0000u, 0, 100));
    engine.strokes_history.store({2, 2}, strokeOf("you@1", 2, 2, 0xFF000000u, 1, 100));
    engine.strokes_history.store({3, 3}, strokeOf("you@1", 3, 3, 0xFFFF0000u, 0, 200));
    engine.redrawStrokes();
    engine.touchDraggedAtX(40, 200);
    EXPECT_EQ(static_cast<uint32_t>(engine.pen_properties.color), 0xFFFF0000u);
    EXPECT_EQ(outlets.swatch_color[0], 1.0f);
    engine.touchDraggedAtX(40, 100);
    EXPECT_EQ(static_cast<uint32_t>(engine.pen_properties.color), 0xFF000000u);
    // Outside the picture nothing is picked.
    engine.view = {1.0f, 50.0f, 50.0f};
    engine.touchDraggedAtX(10, 10);
    EXPECT_EQ(static_cast<uint32_t>(engine.pen_properties.color), 0xFF000000u);
    engine.touchReleasedAtX(10, 10);
    EXPECT_FALSE(outlets.swatch_visible);
    EXPECT_EQ(outlets.draw_mode, 0);
    EXPECT_TRUE(engine.strokes_history.size() == 3u && agent.appended.empty());
}

TEST_F(CanvasEngineTest, PanModeAndZoomMoveOnlyTheView) {
    const Surface before = engine.display_bitmap;
    outlets.draw_mode = 2;
    engine.setDrawMode();
    EXPECT_TRUE(outlets.zoom_slider_visible);
    EXPECT_EQ(outlets.zoom_slider_value, 0.0f);
    engine.view = {2.0f, 0.0f, 0.0f};
    engine.touchPressedAtX(100, 100);
    engine.touchDraggedAtX(105, 97);
    EXPECT_EQ(engine.view.shift_x, 5.0f);
    EXPECT_EQ(engine.view.shift_y, -3.0f);
    EXPECT_EQ(outlets.transform, engine.view.displayTransform(320, 480));
    engine.touchReleasedAtX(105, 97);
    EXPECT_EQ(engine.last_x, 50); // (105 - 5) / 2
    EXPECT_EQ(engine.last_y, 50); // (97 + 3) / 2
    EXPECT_EQ(engine.display_bitmap, before);
    EXPECT_TRUE(agent.appended.empty());
    outlets.draw_mode = 0;
    engine.setDrawMode();
    EXPECT_FALSE(outlets.zoom_slider_visible);
    // The slider zooms about the last point.
    engine.view = {};
    engine.last_x = 100;
    engine.last_y = 200;
    engine.changedProgressZoomSlider(sliderValueForZoom(2.0f));
    EXPECT_NEAR(engine.view.zoom_scale, 2.0f, 1e-5);
    EXPECT_NEAR(engine.view.shift_x, -100.0f, 1e-3);
    EXPECT_NEAR(engine.view.shift_y, -200.0f, 1e-3);
    engine.setProgressZoomSlider();
    EXPECT_NEAR(outlets.zoom_slider_value, 27.7259f, 1e-3);
}

TEST_F(CanvasEngineTest, TwoFingerGesturesStoreTheirResultWhenFixed) {
    // Pan.
    engine.changeTransform({}, {100, 100}, {200, 100}, {130, 140}, {230, 140}, false);
    EXPECT_EQ(engine.view, ViewTransform{});
    engine.changeTransform({}, {100, 100}, {200, 100}, {130, 140}, {230, 140}, true);
    EXPECT_EQ(engine.view, (ViewTransform{1.0f, 30.0f, 40.0f}));
    // Zoom from the identity view.
    engine.view = {};
    engine.changeTransform({}, {100, 100}, {200, 100}, {50, 100}, {250, 100}, true);
    EXPECT_EQ(engine.last_x, 100);
    EXPECT_EQ(engine.view, (ViewTransform{2.0f, -100.0f, -100.0f}));
    // The same gesture from z = 2: pivot (50, 50), z = 4, s = -150.
    engine.view = {2.0f, 0.0f, 0.0f};
    const AffineTransform t0 = engine.view.displayTransform(320, 480);
    engine.changeTransform(t0, {100, 100}, {200, 100}, {50, 100}, {250, 100}, true);
    EXPECT_EQ(engine.last_x, 50);
    EXPECT_EQ(engine.last_y, 50);
    EXPECT_EQ(engine.view, (ViewTransform{4.0f, -150.0f, -150.0f}));
    EXPECT_EQ(outlets.transform, engine.view.displayTransform(320, 480));
    // Coincident start points never become an infinite zoom.
    const ViewTransform kept = engine.view;
    engine.changeTransform(t0, {100, 100}, {100, 100}, {50, 100}, {250, 100}, false);
    engine.changeTransform(t0, {100, 100}, {100, 100}, {50, 100}, {250, 100}, true);
    EXPECT_EQ(engine.view, kept);
    EXPECT_EQ(outlets.transform, engine.view.displayTransform(320, 480));
}

TEST_F(CanvasEngineTest, DrawingInAZoomedViewMapsTouchesToPixels) {
    engine.view = {2.0f, -50.0f, 10.0f};
    engine.touchPressedAtX(150, 30);
    EXPECT_EQ(engine.last_x, 100);
    EXPECT_EQ(engine.last_y, 10);
    // A touch far outside the picture is clipped, never written outside the surfaces.
    engine.touchDraggedAtX(-5000, 9000);
    engine.touchReleasedAtX(0, 0);
    EXPECT_EQ(agent.appended.size(), 1u);
}

TEST(CanvasEngineLifecycle, TouchesBeforeTheSurfacesExistAreIgnored) {
    RecordingOutlets outlets;
    FakeClock clock;
    CanvasEngine engine(outlets, clock);
    engine.touchPressedAtX(1, 1);
    engine.touchDraggedAtX(5, 5);
    engine.touchReleasedAtX(5, 5);
    engine.cancelStroke();
    engine.redrawStrokes();
    engine.setLayerIndex(1);
    EXPECT_TRUE(engine.strokes_history.empty());
    EXPECT_EQ(engine.pen_properties.width, 30);
    // A new screen size resets the pen to the default of the new scale.
    engine.pen_properties.color = 0x12345678;
    engine.setScreenSize(768, 1024);
    EXPECT_EQ(engine.pen_properties, defaultPen(768.0f / 320000.0f));
}

} // namespace
} // namespace velmo::canvas

namespace velmo::canvas {
namespace {

TEST(CanvasEngineLifecycle, ExtremeViewsAndPensStayDefined) {
    RecordingOutlets outlets;
    FakeClock clock;
    CanvasEngine engine(outlets, clock);
    engine.setScreenSize(64, 96);
    engine.clear_canvas();
    // A view zoomed out almost to nothing maps touches to huge pixel positions.
    engine.view = {1e-30f, 0.0f, 0.0f};
    engine.pen_properties.width = std::numeric_limits<int32_t>::max();
    engine.touchPressedAtX(10, 10);
    engine.touchDraggedAtX(-20, 30);
    engine.touchReleasedAtX(0, 0);
    ASSERT_EQ(engine.strokes_history.size(), 1u);
    const MWStroke& s = engine.strokes_history.begin()->second;
    EXPECT_EQ(s.points_x.size(), 2u);
    engine.redrawStrokes();
    EXPECT_EQ(truncateToInt(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(truncateToInt(-1e20f), -(1 << 30));
    EXPECT_EQ(truncateToInt(-2.9f), -2);
}

// A stroke of `count` points across the canvas, a zigzag so that its segments cross.
MWStroke remoteStroke(const CanvasGeometry& geometry, size_t count, int layer, uint32_t color,
                      int density) {
    MWStroke s;
    s.user_name = "you@20101201095959123";
    s.client_time = 5000;
    s.pen_properties = {static_cast<int32_t>(color), geometry.toUnits(12), density};
    s.layer = layer;
    for (size_t i = 0; i < count; ++i) {
        const auto step = static_cast<float>(i);
        s.points_x.push_back(geometry.toUnits(20.0f + step * 4.0f));
        s.points_y.push_back(geometry.toUnits(100.0f + ((i % 2) != 0 ? 60.0f : 0.0f) + step));
    }
    return s;
}

MWStroke firstPoints(const MWStroke& stroke, size_t count) {
    MWStroke part = stroke;
    part.points_x.resize(count);
    part.points_y.resize(count);
    return part;
}

TEST_F(CanvasEngineTest,
       StrokesInProgressArePaintedOverTheLayersAndTheirFinishedStrokeChangesNoPixel) {
    for (int layer = 0; layer < 3; ++layer) {
        engine.strokes_history.store({10 + layer, 10 + layer},
                                     strokeOf("them@1", 10 + layer, 10 + layer,
                                              layer == 2 ? 0xFF404040u : 0xFF20A040u, layer,
                                              110 + 20 * layer));
    }
    engine.paintChanges();
    stroke({{30, 300}, {200, 120}});
    const LayerSurfaces layers = engine.layer_bitmap;
    const size_t held = engine.strokes_history.size();
    auto withInProgress = [&](const std::vector<MWStroke>& extra) {
        std::vector<MWStroke> ordered;
        for (const auto& [key, s] : engine.strokes_history) {
            ordered.push_back(s);
        }
        ordered.insert(ordered.end(), extra.begin(), extra.end());
        return renderPicture(ordered, engine.geometry);
    };

    // Two drawers at once, on a multiplying and a normal layer, faint enough that a stroke
    // painted twice would show.
    const MWStroke yours = remoteStroke(engine.geometry, 60, 1, 0xFFC02080u, 150);
    MWStroke theirs = remoteStroke(engine.geometry, 30, 0, 0xFF2040C0u, 120);
    theirs.user_name = "other@1";
    for (auto& y : theirs.points_y) {
        y += engine.geometry.toUnits(40);
    }
    const ProgressKey your_key{yours.user_name, 4000};
    const ProgressKey their_key{theirs.user_name, 4100};
    engine.showStrokeInProgress(their_key, theirs);
    // It grows, a batch is taken back and drawn again differently, and it grows on.
    MWStroke shown;
    for (size_t count : {1u, 2u, 10u, 25u, 40u}) {
        shown = firstPoints(yours, count);
        engine.showStrokeInProgress(your_key, shown);
        EXPECT_EQ(engine.display_bitmap, withInProgress({shown, theirs})) << count;
    }
    MWStroke redrawn = firstPoints(shown, 25);
    for (size_t i = 20; i < redrawn.points_x.size(); ++i) {
        redrawn.points_y[i] -= engine.geometry.toUnits(70);
    }
    engine.showStrokeInProgress(your_key, redrawn);
    EXPECT_EQ(engine.display_bitmap, withInProgress({redrawn, theirs}));
    outlets.invalidated_rects.clear();
    engine.showStrokeInProgress(your_key, firstPoints(yours, 41));
    engine.showStrokeInProgress(your_key, yours);
    EXPECT_EQ(engine.display_bitmap, withInProgress({yours, theirs}));
    // A batch repaints about its own points, not the stroke or the canvas.
    ASSERT_EQ(outlets.invalidated_rects.size(), 2u);
    for (const auto& rect : outlets.invalidated_rects) {
        EXPECT_LT(rect.width * rect.height, 320 * 480 / 8);
    }
    EXPECT_EQ(outlets.full_invalidations, 1); // the reset only

    // The layers, the history and the save points never held them.
    EXPECT_EQ(engine.layer_bitmap, layers);
    EXPECT_EQ(engine.strokes_history.size(), held);
    EXPECT_EQ(engine.strokesInProgress(), 2u);

    // The user's own stroke in progress crosses them and keeps working.
    engine.touchPressedAtX(10, 130);
    engine.touchDraggedAtX(300, 180);
    engine.showStrokeInProgress(their_key, theirs);
    engine.touchReleasedAtX(0, 0);
    EXPECT_EQ(engine.display_bitmap, withInProgress({yours, theirs}));
    EXPECT_EQ(engine.strokes_history.size(), held + 1);

    // The finished stroke arrives: its progress goes.
    MWStroke finished = yours;
    finished.server_time = 9000;
    engine.hideStrokeInProgress(your_key);
    engine.strokes_history.store({finished.server_time, finished.client_time}, finished);
    engine.paintChanges();
    EXPECT_EQ(engine.strokesInProgress(), 1u);
    std::vector<MWStroke> ordered;
    for (const auto& [key, s] : engine.strokes_history) {
        ordered.push_back(s);
    }
    // Own strokes not yet echoed are painted last, above it; with the own stroke taken out of
    // the comparison the finished stroke is where its progress was.
    EXPECT_EQ(engine.display_bitmap, withInProgress({theirs}));
    engine.hideStrokesInProgress();
    EXPECT_EQ(engine.strokesInProgress(), 0u);
    EXPECT_EQ(engine.display_bitmap, rebuiltDisplay());
    engine.redrawStrokes();
    EXPECT_EQ(engine.display_bitmap, rebuiltDisplay());
}

TEST_F(CanvasEngineTest, AFinishedStrokeReplacesItsProgressPixelForPixel) {
    stroke({{30, 300}, {200, 120}});
    MWStroke echo = engine.strokes_history.rbegin()->second;
    echo.server_time = 9000;
    engine.strokes_history.erase(std::prev(engine.strokes_history.end()));
    engine.strokes_history.store({echo.server_time, echo.client_time}, echo);
    engine.paintChanges();

    const MWStroke yours = remoteStroke(engine.geometry, 50, 1, 0xFF8020C0u, 140);
    const ProgressKey key{yours.user_name, 4000};
    engine.showStrokeInProgress(key, firstPoints(yours, 20));
    engine.showStrokeInProgress(key, yours);
    const Surface shown = engine.display_bitmap;
    const LayerSurfaces layers = engine.layer_bitmap;
    EXPECT_NE(shown, rebuiltDisplay());

    MWStroke finished = yours;
    finished.server_time = 9500;
    engine.hideStrokeInProgress(key);
    EXPECT_EQ(engine.layer_bitmap, layers);
    engine.strokes_history.store({finished.server_time, finished.client_time}, finished);
    engine.paintChanges();
    EXPECT_EQ(engine.display_bitmap, shown);
    EXPECT_EQ(engine.display_bitmap, rebuiltDisplay());

    // Strokes in progress on a layer the client never paints are not shown; a reset drops all.
    MWStroke elsewhere = yours;
    elsewhere.layer = 3;
    engine.showStrokeInProgress({"x@1", 1}, elsewhere);
    EXPECT_EQ(engine.strokesInProgress(), 0u);
    engine.showStrokeInProgress({"x@1", 2}, yours);
    EXPECT_EQ(engine.strokesInProgress(), 1u);
    engine.clear_canvas();
    EXPECT_EQ(engine.strokesInProgress(), 0u);
    EXPECT_TRUE(allPixels(engine.display_bitmap, OpaqueWhite));
}

} // namespace
} // namespace velmo::canvas
