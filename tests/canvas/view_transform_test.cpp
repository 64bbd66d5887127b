#include "canvas/view_transform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace velmo::canvas {
namespace {

// Where the display, transformed about its centre, shows surface point p.
ViewPoint shownAt(const AffineTransform& t, int width, int height, ViewPoint p) {
    const float cx = static_cast<float>(width) / 2.0f;
    const float cy = static_cast<float>(height) / 2.0f;
    return {cx + t.applyX(p.x - cx, p.y - cy), cy + t.applyY(p.x - cx, p.y - cy)};
}

TEST(ViewTransform, MapsViewPointsToSurfacePixels) {
    ViewTransform v;
    EXPECT_EQ(v.transx(100.0f), 100.0f);
    v = {2.0f, -50.0f, 10.0f};
    EXPECT_EQ(v.transx(150.0f), 100.0f);
    EXPECT_EQ(v.transy(30.0f), 10.0f);
    // Zoom about a pivot keeps the pivot where it is, and forgets the old shift.
    v.updateZoomScale(2.0f, 100.0f, 200.0f);
    EXPECT_EQ(v.shift_x, -100.0f);
    EXPECT_EQ(v.shift_y, -200.0f);
    EXPECT_EQ(v.transx(100.0f), 100.0f);
    EXPECT_EQ(v.transy(200.0f), 200.0f);
}

TEST(ViewTransform, ZoomAboutKeepsThePointUnderThePointerAndStaysInTheSlidersRange) {
    const struct {
        ViewTransform start;
        float factor;
        float px, py;
        float zoom; // expected
    } cases[] = {
        {{1.0f, 0.0f, 0.0f}, 2.0f, 100.0f, 200.0f, 2.0f},
        {{2.5f, -40.0f, 13.0f}, 0.5f, 37.0f, 411.0f, 1.25f},
        {{1.0f, 5.0f, 5.0f}, 1e6f, 10.0f, 10.0f, zoomForSliderValue(MaxZoomSliderValue)},
        {{1.0f, 5.0f, 5.0f}, 1e-6f, 10.0f, 10.0f, zoomForSliderValue(MinZoomSliderValue)},
    };
    for (const auto& c : cases) {
        ViewTransform v = c.start;
        const float qx = v.transx(c.px);
        const float qy = v.transy(c.py);
        v.zoomAbout(c.factor, c.px, c.py);
        EXPECT_NEAR(v.zoom_scale, c.zoom, 1e-4f * c.zoom);
        EXPECT_NEAR(v.transx(c.px), qx, 1e-3f);
        EXPECT_NEAR(v.transy(c.py), qy, 1e-3f);
    }
    // A factor that is no number, or not positive, changes nothing.
    for (const float bad : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity()}) {
        ViewTransform v{2.0f, 3.0f, 4.0f};
        v.zoomAbout(bad, 10.0f, 10.0f);
        EXPECT_EQ(v, (ViewTransform{2.0f, 3.0f, 4.0f}));
    }
}

TEST(ViewTransform, SliderIsLogarithmic) {
    EXPECT_EQ(zoomForSliderValue(0.0f), 1.0f);
    EXPECT_NEAR(zoomForSliderValue(40.0f), 2.7182817f, 1e-6);
    EXPECT_NEAR(sliderValueForZoom(2.0f), 27.7259f, 1e-4);
    EXPECT_NEAR(zoomForSliderValue(sliderValueForZoom(3.5f)), 3.5f, 1e-5);
}

TEST(ViewTransform, DisplayTransformShowsPixelsAtZoomTimesPPlusShift) {
    const ViewTransform v{3.0f, 12.0f, -7.0f};
    const AffineTransform even = v.displayTransform(320, 480);
    const ViewPoint p = shownAt(even, 320, 480, {10.0f, 20.0f});
    EXPECT_FLOAT_EQ(p.x, 3.0f * 10.0f + 12.0f);
    EXPECT_FLOAT_EQ(p.y, 3.0f * 20.0f - 7.0f);
    // An odd width is off by (z - 1) / 2 horizontally, as the platform's centre is not whole.
    const ViewPoint q = shownAt(v.displayTransform(321, 480), 321, 480, {10.0f, 20.0f});
    EXPECT_FLOAT_EQ(q.x, 3.0f * 10.0f + 12.0f - 1.0f);
    EXPECT_FLOAT_EQ(q.y, 3.0f * 20.0f - 7.0f);
}

TEST(ViewTransform, GesturesAreClassifiedByTheChangeOfFingerDistance) {
    auto ratioOf = [](float end_distance) {
        return classifyGesture({100, 100}, {200, 100}, {100, 100}, {100 + end_distance, 100});
    };
    EXPECT_EQ(ratioOf(119.0f).kind, GestureStep::Kind::Pan);
    EXPECT_EQ(ratioOf(120.0f).kind, GestureStep::Kind::Zoom);
    EXPECT_EQ(ratioOf(80.0f).kind, GestureStep::Kind::Zoom);
    EXPECT_EQ(ratioOf(81.0f).kind, GestureStep::Kind::Pan);
    const GestureStep pan = classifyGesture({100, 100}, {200, 100}, {130, 140}, {230, 140});
    EXPECT_EQ(pan.kind, GestureStep::Kind::Pan);
    EXPECT_EQ(pan.dx, 30.0f);
    EXPECT_EQ(pan.dy, 40.0f);
    // Coincident start points give no ratio; fingers that meet give zero: both are ignored.
    EXPECT_EQ(classifyGesture({5, 5}, {5, 5}, {0, 0}, {50, 50}).kind, GestureStep::Kind::Ignored);
    EXPECT_EQ(classifyGesture({5, 5}, {5, 5}, {7, 7}, {7, 7}).kind, GestureStep::Kind::Ignored);
    EXPECT_EQ(classifyGesture({0, 0}, {10, 0}, {3, 3}, {3, 3}).kind, GestureStep::Kind::Ignored);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(classifyGesture({nan, 0}, {10, 0}, {3, 3}, {9, 3}).kind, GestureStep::Kind::Ignored);
}

TEST(ViewTransform, LiveGestureTransformsMoveAndScaleAboutTheFirstFinger) {
    const int w = 320, h = 480;
    // Pan from the identity view: the picture moves with the fingers' midpoint.
    const AffineTransform identity;
    const GestureStep pan = classifyGesture({100, 100}, {200, 100}, {130, 140}, {230, 140});
    const ViewPoint moved =
        shownAt(liveGestureTransform(identity, pan, {100, 100}, 1.0f, w, h), w, h, {50, 60});
    EXPECT_FLOAT_EQ(moved.x, 80.0f);
    EXPECT_FLOAT_EQ(moved.y, 100.0f);
    // Zoom by 2 from z = 2, s = 0: p is shown at 4p - 200 on both axes.
    const ViewTransform start{2.0f, 0.0f, 0.0f};
    const GestureStep zoom = classifyGesture({100, 100}, {200, 100}, {50, 100}, {250, 100});
    ASSERT_EQ(zoom.kind, GestureStep::Kind::Zoom);
    const AffineTransform live =
        liveGestureTransform(start.displayTransform(w, h), zoom, {100, 100}, 2.0f, w, h);
    for (const ViewPoint p : {ViewPoint{0, 0}, ViewPoint{10, 30}, ViewPoint{77, 5}}) {
        const ViewPoint v = shownAt(live, w, h, p);
        EXPECT_NEAR(v.x, 4.0f * p.x - 200.0f, 1e-3);
        EXPECT_NEAR(v.y, 4.0f * p.y - 200.0f, 1e-3);
    }
    // A panning step while zoomed moves the picture by the finger movement on screen.
    const AffineTransform zoomed_pan =
        liveGestureTransform(start.displayTransform(w, h), pan, {100, 100}, 2.0f, w, h);
    const ViewPoint z = shownAt(zoomed_pan, w, h, {10, 10});
    EXPECT_NEAR(z.x, 2.0f * 10.0f + 30.0f, 1e-3);
    EXPECT_NEAR(z.y, 2.0f * 10.0f + 40.0f, 1e-3);
}

} // namespace
} // namespace velmo::canvas
