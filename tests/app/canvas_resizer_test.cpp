#include "test_client.h"

#include "app/canvas_resizer.h"
#include "canvas/stroke_replay.h"
#include "dialogs/dialog_presenter.h"
#include "dialogs/nickname_view.h"
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
    // At 400 points the canvas's own controls had a row of their own above the view; at 1000
    // they are back in the bar and the view has that row's height too.
    const canvas::CanvasGeometry& g = client.canvas().geometry;
    EXPECT_EQ(g.canvas_width, 1000);
    EXPECT_EQ(client.view()->height(), height + client.ui.toolbar->height());
    EXPECT_EQ(g.canvas_height, client.view()->height());
    EXPECT_FLOAT_EQ(g.pixel_scale, 1000.0f / 320000.0f);
    EXPECT_DOUBLE_EQ(client.ui.display->previewScale(), 1.0);
    EXPECT_EQ(client.canvas().display_bitmap, canvas::renderPicture(historyOf(client.canvas()), g));
    EXPECT_EQ(client.ui.toolbar->width(), 1000);
    EXPECT_EQ(client.ui.info_label->geometry(), QRect(0, g.canvas_height - 24, 1000, 24));

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

    // Narrow: the canvas's own controls take a row of the window above the canvas, not one
    // over it; the canvas follows the smaller view, and wide again the row goes.
    const int bar_height = client.ui.toolbar->height();
    resizeAndSettle(client, QSize(360, 500));
    QWidget* window = client.ui.window.get();
    EXPECT_EQ(client.ui.toolbar->width(), 360);
    EXPECT_EQ(client.ui.toolbar->height(), bar_height);
    ASSERT_TRUE(client.ui.sharing_row->isVisible());
    for (QWidget* control :
         {static_cast<QWidget*>(client.ui.undo_button), static_cast<QWidget*>(client.ui.pen_button),
          static_cast<QWidget*>(client.ui.nickname_button),
          static_cast<QWidget*>(client.ui.canvas_id_button)}) {
        const QRect in_window(control->mapTo(window, QPoint()), control->size());
        EXPECT_TRUE(window->rect().contains(in_window)) << control->objectName().toStdString();
        EXPECT_TRUE(control->isVisible());
    }
    const QPoint view_top = client.view()->mapTo(window, QPoint());
    for (QToolButton* button : {client.ui.nickname_button, client.ui.canvas_id_button}) {
        EXPECT_LT(button->mapTo(window, QPoint(0, button->height())).y(), view_top.y() + 1);
    }
    EXPECT_EQ(client.canvas().geometry.canvas_height, client.view()->height());
    EXPECT_EQ(client.canvas().display_bitmap,
              canvas::renderPicture(historyOf(client.canvas()), client.canvas().geometry));
    QTest::mouseClick(client.ui.nickname_button, Qt::LeftButton);
    EXPECT_EQ(client.ui.presenter->presentedDialog(), client.ui.nickname_view);
    client.ui.presenter->cancelPresented();
    resizeAndSettle(client, QSize(800, 500));
    EXPECT_FALSE(client.ui.sharing_row->isVisible());
    EXPECT_EQ(client.ui.canvas_id_button->parentWidget(), client.ui.toolbar);
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
    client.ui.resizer->finish();
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
