#include "test_client.h"
#include "window_scenes.h"

#include "canvas/surface.h"
#include "dialogs/nickname_view.h"
#include "dialogs/segmented_control.h"

#include <QAbstractButton>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>

using velmo::canvas::makePixel;
using velmo::testing::drawAWaveOnTheScreenLayer;
using velmo::testing::drawDownTheMultiplyLayer;
using velmo::testing::drawTwoWavesOnLayer0;
using velmo::testing::drawWith;
using velmo::testing::TestClient;
using velmo::testing::wave;
using velmo::testing::zoomInOnTheMiddle;

TEST(WindowControls, TheInterfaceHasEveryControl) {
    TestClient client;
    for (const char* name :
         {"canvas", "display", "draw_mode_button", "undo_button", "info_label", "spuit_view",
          "zoom_slider", "pen_button", "nickname_button", "canvas_id_button", "search_bar",
          "penpropviewcontroller", "nicknameviewcontroller"}) {
        EXPECT_NE(client.ui.window->findChild<QWidget*>(name), nullptr) << name;
    }
    EXPECT_EQ(client.ui.draw_mode_button->count(), 3);
    EXPECT_EQ(client.ui.draw_mode_button->selectedSegmentIndex(), 0);
    EXPECT_FALSE(client.ui.zoom_slider->isVisibleTo(client.ui.window.get()));
    EXPECT_FALSE(client.ui.spuit_view->isVisibleTo(client.ui.window.get()));
    EXPECT_EQ(client.ui.window->size(), QSize(400, 600));
}

TEST(WindowControls, PanModeShowsTheZoomSliderAtTheCurrentZoom) {
    TestClient client;
    client.launch();
    client.canvas().view.zoom_scale = 2.0f;
    QTest::mouseClick(client.ui.draw_mode_button->segment(2), Qt::LeftButton);
    EXPECT_EQ(client.ui.draw_mode_button->selectedSegmentIndex(), 2);
    EXPECT_TRUE(client.ui.zoom_slider->isVisible());
    EXPECT_NEAR(client.ui.outlets->zoomSliderValue(), 27.7259f, 0.05f);

    // The slider zooms about the pivot: value 40 is zoom e.
    client.canvas().last_x = 100;
    client.canvas().last_y = 200;
    client.ui.zoom_slider->setValue(400);
    EXPECT_NEAR(client.canvas().view.zoom_scale, std::exp(1.0f), 1e-5);
    EXPECT_NEAR(client.canvas().view.shift_x, (1 - std::exp(1.0f)) * 100, 1e-3);

    // One finger now moves the view instead of drawing.
    QTest::mousePress(client.view(), Qt::LeftButton, {}, QPoint(100, 300));
    QTest::mouseMove(client.view(), QPoint(130, 320));
    QTest::mouseRelease(client.view(), Qt::LeftButton, {}, QPoint(130, 320));
    EXPECT_NEAR(client.canvas().view.shift_x, (1 - std::exp(1.0f)) * 100 + 30, 1e-3);
    EXPECT_TRUE(client.canvas().strokes_history.empty());

    QTest::mouseClick(client.ui.draw_mode_button->segment(0), Qt::LeftButton);
    EXPECT_FALSE(client.ui.zoom_slider->isVisible());
}

TEST(WindowControls, TheEyedropperShowsTheSwatchAndPicksOneColour) {
    TestClient client;
    client.launch();
    // A red area on layer 0, composed into the display.
    client.canvas().pen_properties.color = static_cast<int32_t>(0xFFFF0000u);
    client.canvas().pen_properties.width = 30000;
    client.canvas().pen_properties.density = 255;
    QTest::mousePress(client.view(), Qt::LeftButton, {}, QPoint(100, 300));
    QTest::mouseMove(client.view(), QPoint(110, 300));
    QTest::mouseRelease(client.view(), Qt::LeftButton, {}, QPoint(110, 300));
    client.canvas().pen_properties.color = static_cast<int32_t>(0xFF000000u);

    QTest::mouseClick(client.ui.draw_mode_button->segment(1), Qt::LeftButton);
    EXPECT_EQ(client.ui.draw_mode_button->selectedSegmentIndex(), 1);
    QTest::mousePress(client.view(), Qt::LeftButton, {}, QPoint(300, 500));
    EXPECT_TRUE(client.ui.spuit_view->isVisible());
    // Centred on the finger, one swatch height (40) above it.
    EXPECT_EQ(client.ui.spuit_view->geometry(), QRect(300 - 20, 460 - 20, 40, 40));
    QTest::mouseMove(client.view(), QPoint(105, 300));
    EXPECT_EQ(client.ui.spuit_view->palette().color(QPalette::Window), QColor(0xFF, 0, 0));
    EXPECT_EQ(static_cast<uint32_t>(client.canvas().pen_properties.color), 0xFFFF0000u);
    QTest::mouseRelease(client.view(), Qt::LeftButton, {}, QPoint(105, 300));
    EXPECT_FALSE(client.ui.spuit_view->isVisible());
    EXPECT_EQ(client.ui.draw_mode_button->selectedSegmentIndex(), 0);
    EXPECT_EQ(client.canvas().strokes_history.size(), 1u) << "picking draws nothing";
}

TEST(WindowControls, UndoRemovesTheNewestOwnStroke) {
    TestClient client;
    client.launch();
    for (int y : {200, 300}) {
        QTest::mousePress(client.view(), Qt::LeftButton, {}, QPoint(100, y));
        QTest::mouseMove(client.view(), QPoint(200, y));
        QTest::mouseRelease(client.view(), Qt::LeftButton, {}, QPoint(200, y));
        client.clock.advance(1);
    }
    ASSERT_EQ(client.canvas().strokes_history.size(), 2u);
    QTest::mouseClick(client.ui.undo_button, Qt::LeftButton);
    EXPECT_EQ(client.canvas().strokes_history.size(), 1u);
    EXPECT_EQ(client.canvas().display_bitmap.at(150, 300), velmo::canvas::OpaqueWhite);
    EXPECT_NE(client.canvas().display_bitmap.at(150, 200), velmo::canvas::OpaqueWhite);
}

TEST(WindowControls, TheInfoLineAndTheSearchTextFollowTheCanvas) {
    TestClient client;
    client.settings.values["SearchNickname"] = std::string("anna");
    client.launch();
    QLineEdit* search_bar = client.ui.nickname_view->search_bar;
    EXPECT_EQ(search_bar->text(), "anna");
    client.canvas().canvas_id = "bob@20200101000000000";
    client.canvas().setLayerIndex(2);
    EXPECT_EQ(client.ui.info_label->text(), "layer:2 bob@20200101000000000");
    QTest::keyClicks(search_bar, "x");
    EXPECT_EQ(client.canvas().search_nickname, "annax");
}

TEST(WindowControls, ARefusedStrokeIsToldOnTheInfoLineForAWhile) {
    TestClient client;
    client.launch();
    client.ui.outlets->message_milliseconds = 200;
    client.canvas().canvas_id = "bob@20200101000000000";
    client.canvas().setLayerIndex(1);
    const QString info = client.ui.info_label->text();
    client.canvas().touchPressedAtX(10, 10);
    client.canvas().touchDraggedAtX(40, 40);
    client.canvas().touchReleasedAtX(40, 40);
    ASSERT_EQ(client.http.async_requests.size(), 1u);
    client.http.answer(0, "", {403, std::nullopt});
    EXPECT_TRUE(client.ui.info_label->text().contains("refused"))
        << client.ui.info_label->text().toStdString();
    EXPECT_TRUE(client.ui.info_label->text().contains("403"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return client.ui.info_label->text() == info; }, 2000));

    // Info text set while a message shows stays when the message's time is up.
    client.ui.outlets->showMessage("one");
    client.canvas().setLayerIndex(2);
    const QString newer = client.ui.info_label->text();
    EXPECT_NE(newer, info);
    QTest::qWait(400);
    EXPECT_EQ(client.ui.info_label->text(), newer);
}

TEST(WindowControls, EachLayerDrawsIntoTheWindowAndTheSliderZoomsItInPanMode) {
    TestClient client(QSize(480, 640));
    client.launch();
    client.canvas().canvas_id = "anna@20261207120000000";

    drawTwoWavesOnLayer0(client);
    const QImage layer0 = client.ui.window->grab().toImage();
    drawDownTheMultiplyLayer(client);
    const QImage layer1 = client.ui.window->grab().toImage();
    drawAWaveOnTheScreenLayer(client);
    const QImage layer2 = client.ui.window->grab().toImage();
    EXPECT_NE(layer0, layer1);
    EXPECT_NE(layer1, layer2);
    // Screen over white stays white.
    EXPECT_EQ(client.canvas().display_bitmap.at(20, 620), velmo::canvas::OpaqueWhite);
    EXPECT_EQ(client.canvas().strokes_history.size(), 4u);

    zoomInOnTheMiddle(client);
    EXPECT_NEAR(client.canvas().view.zoom_scale, std::exp(30.0f / 40.0f), 1e-4);
    EXPECT_NE(client.ui.window->grab().toImage(), layer2);
}

TEST(WindowControls, ThePenAndNicknameButtonsShowTheirDialogsInTheWindow) {
    {
        TestClient client(QSize(768, 1024), velmo::app::Idiom::Tablet);
        client.launch();
        client.canvas().canvas_id = "anna@20261207120000000";
        drawWith(client, 0, 0xFFD03020u, 28, wave(600, 60));
        const QImage closed = client.ui.window->grab().toImage();
        QTest::mouseClick(client.ui.pen_button, Qt::LeftButton);
        EXPECT_NE(client.ui.window->grab().toImage(), closed);
    }
    {
        TestClient client(QSize(320, 480), velmo::app::Idiom::Phone);
        client.launch();
        client.canvas().canvas_id = "anna@20261207120000000";
        const QImage closed = client.ui.window->grab().toImage();
        QTest::mouseClick(client.ui.nickname_button, Qt::LeftButton);
        EXPECT_NE(client.ui.window->grab().toImage(), closed);
    }
}
