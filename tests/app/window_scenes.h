#pragma once

#include "test_client.h"

#include "dialogs/segmented_control.h"
#include "wire/server_events.h"
#include "wire/stroke_progress.h"

#include <QAbstractButton>
#include <QPoint>
#include <QSlider>
#include <QTest>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmo::testing {

// Drawings made on the window with the mouse, as a user makes them. The window tests check
// them; scripts/screenshots saves them for the README.

// One stroke of the given pen on the given layer; the clock moves on a second after it, so
// strokes never share a time.
inline void drawWith(TestClient& client, unsigned layer, uint32_t color, int width_px,
                     const std::vector<QPoint>& points) {
    client.canvas().setLayerIndex(layer);
    client.canvas().pen_properties.color = static_cast<int32_t>(color);
    client.canvas().pen_properties.width = client.canvas().geometry.toUnits(width_px);
    client.canvas().pen_properties.density = 230;
    QTest::mousePress(client.view(), Qt::LeftButton, {}, points.front());
    for (size_t i = 1; i < points.size(); ++i) {
        QTest::mouseMove(client.view(), points[i]);
    }
    QTest::mouseRelease(client.view(), Qt::LeftButton, {}, points.back());
    client.clock.advance(1);
}

// From x 40 to 440 about the line y.
inline std::vector<QPoint> wave(int y, int amplitude) {
    std::vector<QPoint> points;
    for (int x = 40; x <= 440; x += 10) {
        points.emplace_back(x, y + static_cast<int>(amplitude * std::sin(x / 40.0)));
    }
    return points;
}

// The three layers of a 480 x 640 window, one step each.
inline void drawTwoWavesOnLayer0(TestClient& client) {
    drawWith(client, 0, 0xFFD03020u, 28, wave(180, 60));
    drawWith(client, 0, 0xFF2060D0u, 16, wave(260, 40));
}

// Multiply darkens what lies beneath: yellow over red gives red, over blue nearly black.
inline void drawDownTheMultiplyLayer(TestClient& client) {
    std::vector<QPoint> down;
    for (int y = 80; y <= 560; y += 10) {
        down.emplace_back(240 + static_cast<int>(50 * std::sin(y / 50.0)), y);
    }
    drawWith(client, 1, 0xFFF0E040u, 60, down);
}

// Screen lightens: a dark teal glow over everything it crosses.
inline void drawAWaveOnTheScreenLayer(TestClient& client) {
    drawWith(client, 2, 0xFF206070u, 40, wave(400, 80));
}

// Pan mode, and the zoom slider at 30 (zoom e^0.75) about the middle of a 480 x 640 window.
inline void zoomInOnTheMiddle(TestClient& client) {
    QTest::mouseClick(client.ui.draw_mode_button->segment(2), Qt::LeftButton);
    client.canvas().last_x = 240;
    client.canvas().last_y = 300;
    client.ui.zoom_slider->setValue(300);
}

// Two others on anna's canvas, heard through a live client's stream: ben drawing a green
// swirl, chiara a short orange line, neither released; their pens are at the last points.
inline const std::string BenUser = "ben@20261207121500000";
inline const std::string ChiaraUser = "chiara@20261207123000000";

inline std::vector<QPoint> benSwirl() {
    std::vector<QPoint> swirl;
    for (int i = 0; i <= 40; ++i) {
        const double t = i * 0.16;
        const double r = 30 + 2.2 * i;
        swirl.emplace_back(240 + static_cast<int>(r * std::cos(t)),
                           420 + static_cast<int>(r * std::sin(t)));
    }
    return swirl;
}

inline std::vector<QPoint> chiaraLine() {
    return {QPoint(60, 560), QPoint(90, 545), QPoint(120, 530), QPoint(150, 520)};
}

// Anna opens her canvas, and the stream tells her ben and chiara are there too.
inline void openWithOthers(TestClient& client) {
    client.canvas().setNickname("anna");
    client.canvas().setCanvasID("anna@20261207120000000");
    // The canvas is new on the server: no picture of its layers, no strokes.
    if (const auto picture = client.http.open("/layers/")) {
        client.http.answer(*picture, "", {404, std::nullopt});
    }
    if (const auto fetch = client.http.newest(": get_strokes: ")) {
        client.http.answer(*fetch, "");
    }
    while (client.scheduler.runIdle() > 0) {
    }
    client.events.event(wire::ReadyEvent);
    for (const std::string& user : {client.canvas().userID(), BenUser, ChiaraUser}) {
        client.events.event(wire::JoinEvent, user);
    }
}

inline void hearOthersDrawing(TestClient& client) {
    const auto& geometry = client.canvas().geometry;
    const auto progress = [&](const std::string& user, int64_t stroke, uint32_t color, int width_px,
                              uint32_t from, const std::vector<QPoint>& points) {
        wire::StrokeProgress p;
        p.user_name = user;
        p.stroke = stroke;
        p.from = from;
        p.at = stroke + static_cast<int64_t>(40 * (from + points.size()));
        p.pen = {static_cast<int32_t>(color), geometry.toUnits(static_cast<float>(width_px)), 230};
        for (const QPoint& point : points) {
            p.points_x.push_back(geometry.toUnits(static_cast<float>(point.x())));
            p.points_y.push_back(geometry.toUnits(static_cast<float>(point.y())));
        }
        client.events.event(wire::ProgressEvent, wire::progressText(p));
    };
    // Ben's swirl comes in two batches, as a drawer's points do.
    const std::vector<QPoint> swirl = benSwirl();
    progress(BenUser, 1796645700000, 0xFF30A050u, 14, 0, {swirl.begin(), swirl.begin() + 20});
    progress(BenUser, 1796645700000, 0xFF30A050u, 14, 20, {swirl.begin() + 20, swirl.end()});
    progress(ChiaraUser, 1796645701000, 0xFFE08020u, 10, 0, chiaraLine());
    QApplication::processEvents();
}

// The newest command of the canvas still waiting for its answer, if any.
inline std::optional<size_t> commandInFlight(const TestClient& client) {
    for (size_t i = client.http.async_requests.size(); i-- > 0;) {
        const auto& request = client.http.async_requests[i].request;
        const bool ended = i < client.http.ended_requests.size() && client.http.ended_requests[i];
        if (!ended && request.url == client.canvas().sync_agent.serverBaseURL() &&
            request.body.find(wire::ProgressAfterID) == std::string::npos) {
            return i;
        }
    }
    return std::nullopt;
}

// The server cannot be reached while two strokes are drawn: the first one's request gets no
// answer, and both wait.
inline void drawTwoStrokesOffline(TestClient& client) {
    drawWith(client, 0, 0xFFD03020u, 28, wave(180, 60));
    if (const auto sent = commandInFlight(client)) {
        client.http.fail(*sent);
    }
    drawWith(client, 0, 0xFF2060D0u, 16, wave(260, 40));
    QApplication::processEvents();
}

} // namespace velmo::testing
