#include "test_client.h"

#include "app/canvas_resizer.h"
#include "canvas/stroke_replay.h"
#include "dialogs/segmented_control.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <vector>

namespace velmo::testing {
namespace {

std::vector<canvas::MWStroke> historyOf(const mwcanvas::MWCanvas& canvas) {
    std::vector<canvas::MWStroke> out;
    for (const auto& [key, stroke] : canvas.strokes_history) {
        out.push_back(stroke);
    }
    return out;
}

void drawLine(TestClient& client, QPoint from, QPoint to) {
    QTest::mousePress(client.view(), Qt::LeftButton, {}, from);
    for (int i = 1; i <= 6; ++i) {
        QTest::mouseMove(client.view(), from + (to - from) * i / 6);
    }
    QTest::mouseRelease(client.view(), Qt::LeftButton, {}, to);
    client.clock.advance(1);
}

// Gives the canvas view `size` and lets the canvas follow once it has stood still.
void resizeAndSettle(TestClient& client, QSize size) {
    client.ui.window->resize(client.ui.window->size() + size - client.view()->size());
    QApplication::processEvents();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !client.ui.resizer->pending(); }, 1000));
}

TEST(CanvasResizer, TheCanvasFollowsTheWindowAndTheAreaThatWasDeadDraws) {
    TestClient client(QSize(400, 600));
    client.launch();
    client.canvas().setCanvasID("");
    drawLine(client, QPoint(40, 100), QPoint(360, 500));
    ASSERT_EQ(client.canvas().geometry.canvas_width, 400);
    const int height = client.view()->height();

    // While the size settles the old picture is shown stretched, and input maps onto it.
    client.ui.window->resize(1000, client.ui.window->height());
    QApplication::processEvents();
    EXPECT_TRUE(client.ui.resizer->pending());
    EXPECT_EQ(client.canvas().geometry.canvas_width, 400) << "no repaint during a drag";
    const double stretch = 1000.0 / 320000 / (400.0 / 320000);
    EXPECT_DOUBLE_EQ(client.ui.display->previewScale(), stretch);
    EXPECT_DOUBLE_EQ(client.controller().view_scale, 1.0 / stretch);
    EXPECT_EQ(client.ui.display->geometry(), client.view()->rect());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !client.ui.resizer->pending(); }, 1000));

    // Settled: the canvas has the window's size, repainted from its history as a fresh canvas
    // of that size paints it, and the controls are laid out along the new edges.
    const canvas::CanvasGeometry& g = client.canvas().geometry;
    EXPECT_EQ(g.canvas_width, 1000);
    EXPECT_EQ(g.canvas_height, height);
    EXPECT_FLOAT_EQ(g.pixel_scale, 1000.0f / 320000.0f);
    EXPECT_DOUBLE_EQ(client.ui.display->previewScale(), 1.0);
    EXPECT_EQ(client.canvas().display_bitmap, canvas::renderPicture(historyOf(client.canvas()), g));
    EXPECT_EQ(client.ui.toolbar->width(), 1000);
    EXPECT_EQ(client.ui.info_label->geometry(), QRect(0, height - 24, 1000, 24));

    // A stroke where the old canvas ended is drawn and sent with its units there.
    for (size_t i = 0; i < client.http.async_requests.size(); ++i) {
        client.http.answer(i, "");
    }
    const size_t sent = client.http.async_requests.size();
    drawLine(client, QPoint(700, 300), QPoint(980, 320));
    ASSERT_EQ(client.canvas().strokes_history.size(), 2u);
    const canvas::MWStroke& far = std::prev(client.canvas().strokes_history.end())->second;
    EXPECT_EQ(far.points_x.back(), g.toUnits(980));
    EXPECT_NE(client.canvas().display_bitmap.at(900, 312), canvas::OpaqueWhite);
    ASSERT_GT(client.http.async_requests.size(), sent);
    EXPECT_NE(client.http.lastBody().find(" append: "), std::string::npos);
    EXPECT_NE(client.http.lastBody().find(std::to_string(g.toUnits(980))), std::string::npos);

    // Narrow: the toolbar lays itself out again in two rows, within the window.
    resizeAndSettle(client, QSize(360, 500));
    EXPECT_EQ(client.ui.toolbar->width(), 360);
    EXPECT_GT(client.ui.toolbar->height(), 40);
    for (QToolButton* button : {client.ui.undo_button, client.ui.canvas_id_button}) {
        const QRect on_view(button->mapTo(client.view(), QPoint()), button->size());
        EXPECT_TRUE(client.view()->rect().contains(on_view)) << button->objectName().toStdString();
        EXPECT_LE(on_view.bottom(), client.ui.toolbar->geometry().bottom());
    }
    EXPECT_EQ(client.canvas().display_bitmap,
              canvas::renderPicture(historyOf(client.canvas()), client.canvas().geometry));
}

TEST(CanvasResizer, F11GoesFullScreenAndEscapeOrF11LeavesIt) {
    TestClient client(QSize(400, 600));
    client.launch();
    QWidget* window = client.ui.window.get();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    // Outside full screen, Escape is the canvas's and changes nothing here.
    QTest::keyClick(client.view(), Qt::Key_Escape);
    EXPECT_FALSE(window->isFullScreen());
    for (bool by_escape : {false, true}) {
        QTest::keyClick(window, Qt::Key_F11);
        ASSERT_TRUE(QTest::qWaitFor([&] { return window->isFullScreen(); }, 1000));
        // An Escape that ends a mouse stroke does only that.
        const size_t strokes = client.canvas().strokes_history.size();
        QTest::mousePress(client.view(), Qt::LeftButton, {}, QPoint(100, 200));
        QTest::mouseMove(client.view(), QPoint(200, 200));
        QTest::keyClick(client.view(), Qt::Key_Escape);
        QTest::mouseRelease(client.view(), Qt::LeftButton, {}, QPoint(200, 200));
        EXPECT_TRUE(window->isFullScreen());
        EXPECT_EQ(client.canvas().strokes_history.size(), strokes + 1);
        client.clock.advance(1);
        if (by_escape) {
            QTest::keyClick(client.view(), Qt::Key_Escape);
        } else {
            client.ui.toggleFullScreen();
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isFullScreen(); }, 1000));
    }
    // The canvas has followed the window wherever it went.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !client.ui.resizer->pending(); }, 1000));
    EXPECT_EQ(QSize(client.canvas().geometry.canvas_width, client.canvas().geometry.canvas_height),
              client.view()->size());
}

TEST(CanvasResizer, AtADisplayScaleOfTwoTheCanvasHasTwiceThePixels) {
    TestClient client(QSize(300, 400));
    client.launch();
    client.ui.resizer->setDeviceScaleForTesting(2.0);
    client.ui.resizer->settle();
    const canvas::CanvasGeometry& g = client.canvas().geometry;
    EXPECT_EQ(g.canvas_width, 2 * client.view()->width());
    EXPECT_EQ(g.canvas_height, 2 * client.view()->height());
    // The mouse at a view point draws at the pixel beneath it, two pixels a point.
    drawLine(client, QPoint(50, 100), QPoint(250, 100));
    const canvas::MWStroke& line = client.canvas().strokes_history.begin()->second;
    EXPECT_EQ(line.points_x.front(), g.toUnits(100));
    EXPECT_EQ(line.points_x.back(), g.toUnits(500));
    EXPECT_NE(client.canvas().display_bitmap.at(300, 200), canvas::OpaqueWhite);
    // Surface pixels reach the view at half a point each; markers and the swatch line up.
    EXPECT_EQ(client.ui.display->surfaceToView().map(QPointF(300, 200)), QPointF(150, 100));
    QTest::mouseClick(client.ui.draw_mode_button->segment(1), Qt::LeftButton);
    QTest::mousePress(client.view(), Qt::LeftButton, {}, QPoint(150, 300));
    // As at a scale of one: centred above the pointer by its own height.
    EXPECT_EQ(client.ui.spuit_view->geometry(), QRect(130, 240, 40, 40));
    QTest::mouseRelease(client.view(), Qt::LeftButton, {}, QPoint(150, 300));
}

} // namespace
} // namespace velmo::testing
