#pragma once

#include "app/canvas_view.h"
#include "app/mw_canvas_display.h"
#include "app/velmorastra_app_delegate.h"
#include "app/velmorastra_interface.h"
#include "app/velmorastra_view_controller.h"
#include "app/widget_outlets.h"
#include "support/counting_random.h"
#include "support/fake_clock.h"
#include "support/manual_scheduler.h"
#include "support/memory_settings.h"
#include "support/scripted_event_stream.h"
#include "support/scripted_http.h"
#include "wire/stroke_progress.h"

#include <QApplication>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace velmo::testing {

// Writes down every call of the touch routing, then passes it on to the real canvas.
class RecordingTouchTarget : public app::CanvasTouchTarget {
public:
    explicit RecordingTouchTarget(app::CanvasTouchTarget& next_) : next(next_) {}

    bool hasDisplayBitmap() const override { return next.hasDisplayBitmap(); }
    void touchPressedAtX(int x, int y) override {
        record("press " + std::to_string(x) + " " + std::to_string(y));
        next.touchPressedAtX(x, y);
    }
    void touchDraggedAtX(int x, int y) override {
        record("drag " + std::to_string(x) + " " + std::to_string(y));
        next.touchDraggedAtX(x, y);
    }
    void touchReleasedAtX(int x, int y) override {
        record("release " + std::to_string(x) + " " + std::to_string(y));
        next.touchReleasedAtX(x, y);
    }
    void cancelStroke() override {
        record("cancel");
        next.cancelStroke();
    }
    void changeTransform(const platform::AffineTransform& t0, canvas::ViewPoint a1,
                         canvas::ViewPoint a2, canvas::ViewPoint b1, canvas::ViewPoint b2,
                         bool fix) override {
        std::ostringstream text;
        text << (fix ? "fix" : "live") << " " << b1.x << "," << b1.y << " " << b2.x << "," << b2.y;
        record(text.str());
        next.changeTransform(t0, a1, a2, b1, b2, fix);
    }
    void zoomAtViewPoint(float factor, canvas::ViewPoint at) override {
        std::ostringstream text;
        text << "zoom " << factor << " at " << at.x << "," << at.y;
        record(text.str());
        next.zoomAtViewPoint(factor, at);
    }
    void panView(float dx, float dy) override {
        std::ostringstream text;
        text << "pan " << dx << "," << dy;
        record(text.str());
        next.panView(dx, dy);
    }

    std::vector<std::string> calls;

private:
    void record(std::string call) { calls.push_back(std::move(call)); }
    app::CanvasTouchTarget& next;
};

// The asynchronous requests sent so far but the points of strokes being drawn, by index.
inline std::vector<size_t> commandsButProgress(const ScriptedHttp& http) {
    std::vector<size_t> commands;
    for (size_t i = 0; i < http.async_requests.size(); ++i) {
        if (http.async_requests[i].request.body.find(wire::ProgressAfterID) == std::string::npos) {
            commands.push_back(i);
        }
    }
    return commands;
}

// The whole client window with faked edges: no network, a clock the test sets, settings
// in memory. Requests wait in `http` until the test answers them. With `live`, the canvas
// holds `events`, whose server part the test plays; without, it has no live channel.
class TestClient {
public:
    explicit TestClient(QSize size = QSize(400, 600), app::Idiom idiom = app::Idiom::Tablet,
                        bool live = false)
        : ui(app::ClientEdges{clock, http, scheduler, settings, random, live ? &events : nullptr},
             app::InterfaceOptions{"http://127.0.0.1:9/", "http://127.0.0.1:9/upload.cgi", size,
                                   idiom}),
          recorder(*ui.touch_target) {
        ui.viewController->setTouchTarget(recorder);
    }

    void launch() {
        ui.delegate->applicationDidFinishLaunching();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(ui.window.get()));
        QApplication::processEvents();
    }

    QWidget* view() const { return ui.canvas_view; }
    mwcanvas::MWCanvas& canvas() const { return *ui.canvas; }
    app::VelmorastraViewController& controller() const { return *ui.viewController; }

    FakeClock clock;
    ScriptedHttp http;
    ManualScheduler scheduler;
    MemorySettings settings;
    CountingRandom random;
    ScriptedEventStream events;
    app::VelmorastraInterface ui;
    RecordingTouchTarget recorder;
};

} // namespace velmo::testing
