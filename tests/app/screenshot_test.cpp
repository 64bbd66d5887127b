#include "test_client.h"

#include "dialogs/segmented_control.h"

#include <QAbstractButton>
#include <QDir>
#include <QImage>
#include <QSlider>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

using velmo::testing::TestClient;

namespace {

void drawWith(TestClient& client, unsigned layer, uint32_t color, int width_px,
              std::vector<QPoint> points) {
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

// Saved when VELMO_SCREENSHOT_DIR names a folder (scripts/screenshots.sh sets it).
void keep(const QImage& image, const char* name) {
    const char* dir = std::getenv("VELMO_SCREENSHOT_DIR");
    if (dir != nullptr && dir[0] != '\0') {
        QDir().mkpath(dir);
        EXPECT_TRUE(image.save(QDir(dir).filePath(name)));
    }
}

std::vector<QPoint> wave(int y, int amplitude) {
    std::vector<QPoint> points;
    for (int x = 40; x <= 440; x += 10) {
        points.emplace_back(x, y + static_cast<int>(amplitude * std::sin(x / 40.0)));
    }
    return points;
}

} // namespace

TEST(Screenshots, TheWindowAfterADrawingOnEachLayer) {
    TestClient client(QSize(480, 640));
    client.launch();
    client.canvas().canvas_id = "anna@20261207120000000";

    drawWith(client, 0, 0xFFD03020u, 28, wave(180, 60));
    drawWith(client, 0, 0xFF2060D0u, 16, wave(260, 40));
    const QImage layer0 = client.ui.window->grab().toImage();
    keep(layer0, "window-layer0.png");

    // Multiply darkens what lies beneath: yellow over red gives red, over blue nearly black.
    std::vector<QPoint> down;
    for (int y = 80; y <= 560; y += 10) {
        down.emplace_back(240 + static_cast<int>(50 * std::sin(y / 50.0)), y);
    }
    drawWith(client, 1, 0xFFF0E040u, 60, down);
    const QImage layer1 = client.ui.window->grab().toImage();
    keep(layer1, "window-layer1.png");

    // Screen lightens: a dark teal glow over everything it crosses.
    drawWith(client, 2, 0xFF206070u, 40, wave(400, 80));
    const QImage layer2 = client.ui.window->grab().toImage();
    keep(layer2, "window-layer2.png");

    EXPECT_NE(layer0, layer1);
    EXPECT_NE(layer1, layer2);
    // Screen over white stays white; over the multiplied stroke it lightens.
    const auto& display = client.canvas().display_bitmap;
    EXPECT_EQ(display.at(20, 620), velmo::canvas::OpaqueWhite);
    EXPECT_EQ(client.canvas().strokes_history.size(), 4u);

    // Pan mode with the zoom slider, zoomed in on the middle.
    QTest::mouseClick(client.ui.draw_mode_button->segment(2), Qt::LeftButton);
    client.canvas().last_x = 240;
    client.canvas().last_y = 300;
    client.ui.zoom_slider->setValue(300);
    keep(client.ui.window->grab().toImage(), "window-zoomed.png");
    EXPECT_NEAR(client.canvas().view.zoom_scale, std::exp(30.0f / 40.0f), 1e-4);
}

TEST(Screenshots, TheDialogsInTheWindow) {
    {
        TestClient client(QSize(768, 1024), velmo::app::Idiom::Tablet);
        client.launch();
        client.canvas().canvas_id = "anna@20261207120000000";
        drawWith(client, 0, 0xFFD03020u, 28, wave(600, 60));
        const QImage closed = client.ui.window->grab().toImage();
        QTest::mouseClick(client.ui.pen_button, Qt::LeftButton);
        const QImage open = client.ui.window->grab().toImage();
        keep(open, "window-tablet-pen-dialog.png");
        EXPECT_NE(closed, open);
    }
    {
        TestClient client(QSize(320, 480), velmo::app::Idiom::Phone);
        client.launch();
        client.canvas().canvas_id = "anna@20261207120000000";
        const QImage closed = client.ui.window->grab().toImage();
        keep(closed, "window-phone.png");
        QTest::mouseClick(client.ui.nickname_button, Qt::LeftButton);
        const QImage open = client.ui.window->grab().toImage();
        keep(open, "window-phone-nickname-view.png");
        EXPECT_NE(closed, open);
    }
}
