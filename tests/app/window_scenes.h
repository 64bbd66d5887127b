#pragma once

#include "test_client.h"

#include "dialogs/segmented_control.h"

#include <QAbstractButton>
#include <QPoint>
#include <QSlider>
#include <QTest>

#include <cmath>
#include <cstdint>
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

} // namespace velmo::testing
