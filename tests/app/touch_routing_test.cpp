#include "test_client.h"

#include "canvas/surface.h"

#include <QPointingDevice>
#include <QTest>
#include <QTouchEvent>

#include <gtest/gtest.h>

#include <algorithm>

using velmo::testing::TestClient;
using Calls = std::vector<std::string>;

namespace {

QPointingDevice* touchscreen() {
    static QPointingDevice* device = QTest::createTouchDevice();
    return device;
}

// Fingers on the client's window. Each call is one touch event that carries every finger
// down, the ones not named as stationary, as a touch screen reports them.
class Fingers {
public:
    explicit Fingers(TestClient& client_) : client(client_) {}

    Fingers& press(int id, QPoint at) {
        pressed[id] = at;
        held[id] = at;
        return *this;
    }
    Fingers& move(int id, QPoint at) {
        moved[id] = at;
        held[id] = at;
        return *this;
    }
    Fingers& release(int id) {
        released.push_back(id);
        return *this;
    }
    // Sends the event.
    void go() {
        auto event = QTest::touchEvent(client.ui.window.get(), touchscreen());
        for (const auto& [id, at] : held) {
            if (pressed.count(id)) {
                event.press(id, at, client.view());
            } else if (moved.count(id)) {
                event.move(id, at, client.view());
            } else if (std::find(released.begin(), released.end(), id) != released.end()) {
                event.release(id, at, client.view());
            } else {
                event.stationary(id);
            }
        }
        event.commit();
        for (int id : released) {
            held.erase(id);
        }
        pressed.clear();
        moved.clear();
        released.clear();
    }

private:
    TestClient& client;
    std::map<int, QPoint> held;
    std::map<int, QPoint> pressed;
    std::map<int, QPoint> moved;
    std::vector<int> released;
};

bool allWhite(const velmo::canvas::Surface& surface) {
    return std::all_of(surface.data(), surface.data() + surface.width() * surface.height(),
                       [](velmo::canvas::Pixel p) { return p == velmo::canvas::OpaqueWhite; });
}

// Where the display shows surface point (x, y) in the canvas view.
QPointF shownAt(TestClient& client, double x, double y) {
    return client.ui.display->surfaceToView().map(QPointF(x, y));
}

} // namespace

TEST(TouchRouting, ATapGivesOnePressAndOneReleaseAtTruncatedCoordinates) {
    TestClient client;
    client.launch();
    Fingers fingers(client);
    fingers.press(0, QPoint(200, 300)).go();
    fingers.release(0).go();
    EXPECT_EQ(client.recorder.calls, (Calls{"press 200 300", "release 200 300"}));
    EXPECT_EQ(client.canvas().strokes_history.size(), 1u);
    EXPECT_FALSE(client.controller().touch_1st.has_value());

    // Locations with fractions, as touch screens give them, are cut off toward zero.
    client.recorder.calls.clear();
    client.clock.advance(1);
    using Touch = velmo::app::VelmorastraViewController::Touch;
    client.controller().touchesBegan({Touch{7, {12.9, 140.99}}});
    client.controller().touchesEnded({Touch{7, {12.9, 140.99}}}, 1);
    EXPECT_EQ(client.recorder.calls, (Calls{"press 12 140", "release 12 140"}));
    EXPECT_EQ(client.canvas().strokes_history.size(), 2u);
}

TEST(TouchRouting, TheMouseDrawsLikeOneFinger) {
    TestClient client;
    client.launch();
    Fingers fingers(client);
    QTest::mousePress(client.view(), Qt::LeftButton, {}, QPoint(100, 200));
    QTest::mouseMove(client.view(), QPoint(150, 220));
    QTest::mouseMove(client.view(), QPoint(200, 240));
    QTest::mouseRelease(client.view(), Qt::LeftButton, {}, QPoint(200, 240));
    EXPECT_EQ(client.recorder.calls,
              (Calls{"press 100 200", "drag 150 220", "drag 200 240", "release 200 240"}));
    ASSERT_EQ(client.canvas().strokes_history.size(), 1u);
    EXPECT_EQ(client.canvas().strokes_history.begin()->second.points_x.size(), 3u);
    EXPECT_NE(client.canvas().display_bitmap.at(150, 220), velmo::canvas::OpaqueWhite);

    // Other buttons do not draw.
    client.recorder.calls.clear();
    QTest::mouseClick(client.view(), Qt::RightButton, {}, QPoint(50, 300));
    EXPECT_TRUE(client.recorder.calls.empty());

    // Fractions are cut off toward zero.
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(30.7, 300.2),
                      client.view()->mapToGlobal(QPointF(30.7, 300.2)), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(client.view(), &press);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(31.9, 301.99),
                        client.view()->mapToGlobal(QPointF(31.9, 301.99)), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(client.view(), &release);
    EXPECT_EQ(client.recorder.calls, (Calls{"press 30 300", "release 31 301"}));
}

TEST(TouchRouting, ASecondFingerCancelsTheStrokeAndStartsAGesture) {
    TestClient client;
    client.launch();
    Fingers fingers(client);
    fingers.press(0, QPoint(100, 200)).go();
    for (int i = 1; i <= 20; ++i) {
        fingers.move(0, QPoint(100 + 5 * i, 200)).go();
    }
    EXPECT_FALSE(allWhite(client.canvas().display_bitmap)) << "the stroke shows while drawn";
    fingers.press(1, QPoint(300, 400)).go();
    ASSERT_GE(client.recorder.calls.size(), 22u);
    EXPECT_EQ(client.recorder.calls[21], "cancel");
    EXPECT_TRUE(allWhite(client.canvas().display_bitmap)) << "the cancelled stroke is gone";
    EXPECT_EQ(client.controller().touch_2nd, 1);
    EXPECT_EQ(client.controller().startpt_1st.x, 200.0f);
    EXPECT_EQ(client.controller().startpt_2nd.y, 400.0f);

    fingers.release(0).release(1).go();
    EXPECT_TRUE(client.canvas().strokes_history.empty()) << "nothing is stored";
    EXPECT_TRUE(velmo::testing::commandsButProgress(client.http).empty())
        << "nothing but the points while drawn is sent";
    EXPECT_FALSE(client.controller().touch_1st.has_value());
    EXPECT_FALSE(client.controller().touch_2nd.has_value());
}

TEST(TouchRouting, TwoFingersDownInOneEventPressCancelAndStartTheGesture) {
    TestClient client;
    client.launch();
    Fingers fingers(client);
    fingers.press(0, QPoint(100, 100)).press(1, QPoint(200, 100)).go();
    EXPECT_EQ(client.recorder.calls, (Calls{"press 100 100", "cancel"}));
    EXPECT_TRUE(client.controller().touch_2nd.has_value());
}

TEST(TouchRouting, TwoFingersPanTheView) {
    TestClient client;
    client.launch();
    Fingers fingers(client);
    fingers.press(0, QPoint(100, 100)).go();
    fingers.press(1, QPoint(200, 100)).go();
    fingers.move(0, QPoint(130, 140)).move(1, QPoint(230, 140)).go();
    // Live: the picture follows the fingers, nothing is stored yet.
    EXPECT_EQ(shownAt(client, 10, 10), QPointF(40, 50));
    EXPECT_EQ(client.canvas().view.shift_x, 0.0f);
    fingers.release(0).release(1).go();
    EXPECT_EQ(client.canvas().view.zoom_scale, 1.0f);
    EXPECT_EQ(client.canvas().view.shift_x, 30.0f);
    EXPECT_EQ(client.canvas().view.shift_y, 40.0f);
    EXPECT_EQ(shownAt(client, 10, 10), QPointF(40, 50));
    EXPECT_TRUE(client.canvas().strokes_history.empty());
}

TEST(TouchRouting, TwoFingersZoomTheViewAndTheLiveStepShowsTheSamePicture) {
    TestClient client;
    client.launch();
    Fingers fingers(client);
    fingers.press(0, QPoint(100, 100)).go();
    fingers.press(1, QPoint(200, 100)).go();
    fingers.move(0, QPoint(50, 100)).move(1, QPoint(250, 100)).go();
    // r = 2 about finger 1's start: p is shown at 2 p - 100.
    const QPointF live = shownAt(client, 10, 30);
    EXPECT_NEAR(live.x(), -80, 1e-3);
    EXPECT_NEAR(live.y(), -40, 1e-3);
    fingers.release(1).go();
    EXPECT_EQ(client.canvas().view.zoom_scale, 2.0f);
    EXPECT_EQ(client.canvas().view.shift_x, -100.0f);
    EXPECT_EQ(client.canvas().view.shift_y, -100.0f);
    EXPECT_EQ(client.canvas().last_x, 100);
    EXPECT_EQ(client.canvas().last_y, 100);
    const QPointF fixed = shownAt(client, 10, 30);
    EXPECT_NEAR(fixed.x(), live.x(), 1e-3);
    EXPECT_NEAR(fixed.y(), live.y(), 1e-3);
    fingers.release(0).go();
    EXPECT_FALSE(client.controller().touch_2nd.has_value());
}

TEST(TouchRouting, AZoomFromAZoomedViewFixesWhereTheLiveStepDidNot) {
    TestClient client;
    client.launch();
    Fingers fingers(client);
    client.canvas().view.zoom_scale = 2.0f;
    client.canvas().applyZoomScaleAndShiftXY();
    fingers.press(0, QPoint(100, 100)).go();
    fingers.press(1, QPoint(200, 100)).go();
    fingers.move(0, QPoint(50, 100)).move(1, QPoint(250, 100)).go();
    const QPointF live = shownAt(client, 100, 100);
    EXPECT_NEAR(live.x(), 4 * 100 - 200, 1e-3);
    EXPECT_NEAR(live.y(), 4 * 100 - 200, 1e-3);
    fingers.release(0).release(1).go();
    EXPECT_EQ(client.canvas().view.zoom_scale, 4.0f);
    EXPECT_EQ(client.canvas().view.shift_x, -150.0f);
    EXPECT_EQ(client.canvas().view.shift_y, -150.0f);
    EXPECT_EQ(client.canvas().last_x, 50);
    EXPECT_EQ(shownAt(client, 100, 100), QPointF(250, 250));
}

TEST(TouchRouting, AThirdFingerIsIgnoredAndDoesNotStopTheGesture) {
    TestClient client;
    client.launch();
    Fingers fingers(client);
    fingers.press(0, QPoint(100, 100)).go();
    fingers.press(1, QPoint(200, 100)).go();
    fingers.press(2, QPoint(300, 500)).go();
    fingers.move(2, QPoint(320, 520)).go();
    fingers.release(2).go();
    fingers.move(0, QPoint(130, 140)).move(1, QPoint(230, 140)).go();
    fingers.release(0).release(1).go();
    EXPECT_EQ(std::count_if(client.recorder.calls.begin(), client.recorder.calls.end(),
                            [](const std::string& c) { return c.rfind("press", 0) == 0; }),
              1);
    EXPECT_EQ(client.recorder.calls.back(), "fix 130,140 230,140");
    EXPECT_EQ(client.canvas().view.shift_x, 30.0f);
    EXPECT_EQ(client.canvas().view.shift_y, 40.0f);
}

TEST(TouchRouting, AfterTheGestureNothingHappensUntilEveryFingerLifts) {
    TestClient client;
    client.launch();
    Fingers fingers(client);
    fingers.press(0, QPoint(100, 100)).go();
    fingers.press(1, QPoint(200, 100)).go();
    fingers.move(0, QPoint(130, 140)).move(1, QPoint(230, 140)).go();
    fingers.release(1).go();
    EXPECT_EQ(client.recorder.calls.back(), "fix 130,140 230,140");
    const auto transform = client.ui.outlets->displayTransform();
    const size_t calls = client.recorder.calls.size();

    // The first finger still moves, and a new finger comes: both are ignored.
    for (int i = 1; i <= 5; ++i) {
        fingers.move(0, QPoint(130 + 20 * i, 300)).go();
    }
    fingers.press(3, QPoint(50, 500)).go();
    fingers.move(3, QPoint(60, 520)).go();
    EXPECT_EQ(client.recorder.calls.size(), calls);
    EXPECT_EQ(client.ui.outlets->displayTransform(), transform);
    EXPECT_TRUE(allWhite(client.canvas().display_bitmap));
    fingers.release(3).go();
    fingers.release(0).go();
    EXPECT_EQ(client.recorder.calls.size(), calls);
    EXPECT_TRUE(client.canvas().strokes_history.empty());

    // All lifted: the next finger draws again.
    fingers.press(0, QPoint(100, 300)).go();
    EXPECT_EQ(client.recorder.calls.back(), "press 100 300");
}

TEST(TouchRouting, ACancelledSequenceEndsLikeARelease) {
    TestClient client;
    client.launch();
    Fingers fingers(client);
    fingers.press(0, QPoint(100, 200)).go();
    fingers.move(0, QPoint(150, 250)).go();
    QTouchEvent cancel(QEvent::TouchCancel, touchscreen());
    QApplication::sendEvent(client.view(), &cancel);
    EXPECT_EQ(client.recorder.calls, (Calls{"press 100 200", "drag 150 250", "release 150 250"}));
    EXPECT_EQ(client.canvas().strokes_history.size(), 1u);
    EXPECT_FALSE(client.controller().touch_1st.has_value());

    // A gesture cancelled is fixed where it stood, and the fingers are forgotten.
    client.recorder.calls.clear();
    fingers.press(4, QPoint(100, 100)).go();
    fingers.press(5, QPoint(200, 100)).go();
    fingers.move(4, QPoint(130, 140)).move(5, QPoint(230, 140)).go();
    QApplication::sendEvent(client.view(), &cancel);
    EXPECT_EQ(client.recorder.calls.back(), "fix 130,140 230,140");
    EXPECT_EQ(client.canvas().view.shift_x, 30.0f);
    EXPECT_FALSE(client.controller().touch_1st.has_value());
    EXPECT_FALSE(client.controller().touch_2nd.has_value());
}

TEST(TouchRouting, EventsBeforeTheSurfacesExistDoNothing) {
    TestClient client;
    Fingers fingers(client);
    client.ui.window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(client.ui.window.get()));
    fingers.press(0, QPoint(100, 200)).go();
    fingers.press(1, QPoint(200, 200)).go();
    fingers.move(0, QPoint(120, 220)).go();
    fingers.release(0).release(1).go();
    QTest::mousePress(client.view(), Qt::LeftButton, {}, QPoint(100, 200));
    QTest::mouseMove(client.view(), QPoint(150, 220));
    QTest::mouseRelease(client.view(), Qt::LeftButton, {}, QPoint(150, 220));
    EXPECT_TRUE(client.recorder.calls.empty());
    EXPECT_FALSE(client.controller().touch_1st.has_value());
    EXPECT_FALSE(client.controller().touch_2nd.has_value());
    EXPECT_TRUE(client.canvas().strokes_history.empty());

    // Once launched, touches work.
    client.launch();
    fingers.press(0, QPoint(100, 200)).go();
    EXPECT_EQ(client.recorder.calls, (Calls{"press 100 200"}));
}
