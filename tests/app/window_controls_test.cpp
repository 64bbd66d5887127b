#include "test_client.h"
#include "window_scenes.h"

#include "app/present_users_label.h"
#include "canvas/surface.h"
#include "dialogs/nickname_view.h"
#include "dialogs/segmented_control.h"

#include <QAbstractButton>
#include <QImage>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QNativeGestureEvent>
#include <QPointingDevice>
#include <QSlider>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

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
         {"canvas", "display", "draw_mode_button", "undo_button", "redo_button", "layer_button",
          "info_label", "zoom_label", "spuit_view", "zoom_slider", "pen_button", "nickname_button",
          "canvas_id_button", "search_bar", "penpropviewcontroller", "nicknameviewcontroller"}) {
        EXPECT_NE(client.ui.window->findChild<QWidget*>(name), nullptr) << name;
    }
    EXPECT_EQ(client.ui.draw_mode_button->count(), 3);
    EXPECT_EQ(client.ui.draw_mode_button->selectedSegmentIndex(), 0);
    EXPECT_FALSE(client.ui.zoom_slider->isVisibleTo(client.ui.window.get()));
    EXPECT_FALSE(client.ui.spuit_view->isVisibleTo(client.ui.window.get()));
    // The menu bar, and on a window this narrow the row of the canvas's own controls, stand
    // above the canvas view, which has the size asked for.
    EXPECT_EQ(client.ui.canvas_view->size(), QSize(400, 600));
    ASSERT_FALSE(client.ui.sharing_row->isHidden());
    EXPECT_EQ(client.ui.window->size(), QSize(400, 600 + client.ui.menu_bar->sizeHint().height() +
                                                       client.ui.sharing_row->height()));
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
    EXPECT_EQ(client.ui.info_label->text(), "Screen layer · bob@20200101000000000");
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
    const std::vector<size_t> appends = velmo::testing::commandsButProgress(client.http);
    ASSERT_EQ(appends.size(), 1u);
    client.http.answer(appends[0], "", {403, std::nullopt});
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

namespace {

void sendWheel(QWidget* target, QPoint at, QPoint angle, Qt::KeyboardModifiers modifiers,
               QPoint pixels = {}) {
    QWheelEvent wheel(at, target->mapToGlobal(at), pixels, angle, Qt::NoButton, modifiers,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(target, &wheel);
}

void sendPinch(QWidget* target, QPointF at, double value) {
    static const QPointingDevice* touchpad = QPointingDevice::primaryPointingDevice();
    QNativeGestureEvent pinch(Qt::ZoomNativeGesture, touchpad, 2, at, at, target->mapToGlobal(at),
                              value, {}, 0);
    QApplication::sendEvent(target, &pinch);
}

// The surface position shown at a view point.
QPointF surfaceAt(const TestClient& client, QPointF view_point) {
    const auto& view = client.canvas().view;
    return {view.transx(static_cast<float>(view_point.x())),
            view.transy(static_cast<float>(view_point.y()))};
}

} // namespace

TEST(WindowControls, CtrlZUndoesAndEscapeEndsAMouseStrokeAsACancelledTouch) {
    TestClient client;
    client.launch();
    client.ui.window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(client.ui.window.get()));
    for (int y : {200, 300}) {
        QTest::mousePress(client.view(), Qt::LeftButton, {}, QPoint(100, y));
        QTest::mouseMove(client.view(), QPoint(200, y));
        QTest::mouseRelease(client.view(), Qt::LeftButton, {}, QPoint(200, y));
        client.clock.advance(1);
    }
    ASSERT_EQ(client.canvas().strokes_history.size(), 2u);
    QTest::keyClick(client.ui.window.get(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(client.canvas().strokes_history.size(), 1u);
    EXPECT_EQ(client.canvas().display_bitmap.at(150, 300), velmo::canvas::OpaqueWhite);

    // Escape mid-drag: the stroke ends where the pointer was, and the rest of the drag does
    // nothing until the button is pressed again.
    client.recorder.calls.clear();
    QTest::mousePress(client.view(), Qt::LeftButton, {}, QPoint(100, 400));
    QTest::mouseMove(client.view(), QPoint(150, 400));
    QTest::keyClick(client.view(), Qt::Key_Escape);
    QTest::mouseMove(client.view(), QPoint(250, 420));
    QTest::mouseRelease(client.view(), Qt::LeftButton, {}, QPoint(250, 420));
    EXPECT_EQ(client.recorder.calls,
              (std::vector<std::string>{"press 100 400", "drag 150 400", "release 150 400"}));
    QTest::mouseClick(client.view(), Qt::LeftButton, {}, QPoint(60, 60));
    EXPECT_EQ(client.recorder.calls.size(), 5u);

    // Escape with no stroke going draws nothing.
    QTest::keyClick(client.view(), Qt::Key_Escape);
    EXPECT_EQ(client.recorder.calls.size(), 5u);
}

TEST(WindowControls, EveryToolbarButtonTellsWhatItDoesAndItsShortcut) {
    TestClient client;
    for (QWidget* button :
         {static_cast<QWidget*>(client.ui.draw_mode_button),
          static_cast<QWidget*>(client.ui.undo_button), static_cast<QWidget*>(client.ui.pen_button),
          static_cast<QWidget*>(client.ui.nickname_button),
          static_cast<QWidget*>(client.ui.canvas_id_button)}) {
        EXPECT_FALSE(button->toolTip().isEmpty()) << button->objectName().toStdString();
    }
    EXPECT_TRUE(client.ui.undo_button->toolTip().contains(
        QKeySequence(QKeySequence::Undo).toString(QKeySequence::NativeText)))
        << client.ui.undo_button->toolTip().toStdString();
}

TEST(WindowControls, CtrlWheelAndPinchZoomAboutThePointerAndTheWheelPans) {
    TestClient client;
    client.launch();
    auto& view = client.canvas().view;
    const QPoint pointer(120, 340);
    // The display beneath lets the mouse through: the wheel and the touchpad reach the view.
    ASSERT_EQ(client.view()->childAt(pointer), nullptr);
    QWidget* under_pointer = client.view();

    struct Zoom {
        const char* how;
        std::function<void()> send;
        float factor;
    };
    const std::vector<Zoom> zooms = {
        {"ctrl+wheel up",
         [&] {
             sendWheel(under_pointer, pointer, {0, 120}, Qt::ControlModifier);
         },
         1.25f},
        {"ctrl+wheel down",
         [&] {
             sendWheel(under_pointer, pointer, {0, -240}, Qt::ControlModifier);
         },
         1.0f / (1.25f * 1.25f)},
        {"pinch out", [&] { sendPinch(under_pointer, pointer, 0.5); }, 1.5f},
        {"pinch in", [&] { sendPinch(under_pointer, pointer, -0.2); }, 0.8f},
    };
    for (const Zoom& zoom : zooms) {
        SCOPED_TRACE(zoom.how);
        const float before = view.zoom_scale;
        const QPointF under = surfaceAt(client, pointer);
        zoom.send();
        EXPECT_NEAR(view.zoom_scale, before * zoom.factor, 1e-4f);
        const QPointF after = surfaceAt(client, pointer);
        EXPECT_NEAR(after.x(), under.x(), 1e-2);
        EXPECT_NEAR(after.y(), under.y(), 1e-2);
        // The display and the slider show the new view.
        EXPECT_EQ(client.ui.outlets->displayTransform(), view.displayTransform(400, 600));
        EXPECT_NEAR(client.ui.outlets->zoomSliderValue(),
                    velmo::canvas::sliderValueForZoom(view.zoom_scale), 0.1f);
    }

    // The zoom stays within the slider's range, however far the wheel turns.
    sendWheel(under_pointer, pointer, {0, 120 * 100}, Qt::ControlModifier);
    EXPECT_NEAR(view.zoom_scale, std::exp(3.0f), 1e-3f);

    const struct {
        const char* how;
        QPoint angle;
        QPoint pixels;
        Qt::KeyboardModifiers modifiers;
        float dx, dy;
    } pans[] = {
        {"wheel down", {0, -120}, {}, Qt::NoModifier, 0.0f, -40.0f},
        {"wheel up", {0, 240}, {}, Qt::NoModifier, 0.0f, 80.0f},
        {"shift+wheel", {0, -120}, {}, Qt::ShiftModifier, -40.0f, 0.0f},
        {"sideways wheel", {120, 0}, {}, Qt::NoModifier, 40.0f, 0.0f},
        {"touchpad", {30, -60}, {7, -13}, Qt::NoModifier, 7.0f, -13.0f},
    };
    for (const auto& pan : pans) {
        SCOPED_TRACE(pan.how);
        const float zoom = view.zoom_scale;
        const float x = view.shift_x;
        const float y = view.shift_y;
        sendWheel(under_pointer, pointer, pan.angle, pan.modifiers, pan.pixels);
        EXPECT_FLOAT_EQ(view.zoom_scale, zoom);
        EXPECT_NEAR(view.shift_x, x + pan.dx, 1e-3f);
        EXPECT_NEAR(view.shift_y, y + pan.dy, 1e-3f);
    }
    EXPECT_TRUE(client.canvas().strokes_history.empty());

    // Drawing after the zoom lands where the pointer shows it.
    const QPointF target = surfaceAt(client, QPointF(200, 300));
    QTest::mouseClick(client.view(), Qt::LeftButton, {}, QPoint(200, 300));
    ASSERT_EQ(client.canvas().strokes_history.size(), 1u);
    const auto& stroke = client.canvas().strokes_history.begin()->second;
    EXPECT_NEAR(client.canvas().geometry.pixel_scale * static_cast<float>(stroke.points_x.front()),
                target.x(), 1.0);
}

TEST(WindowControls, TheWindowTitleNamesTheOpenCanvas) {
    TestClient client;
    client.settings.values["CanvasID"] = std::string("anna@20261207120000000");
    client.launch();
    EXPECT_TRUE(client.ui.window->windowTitle().startsWith("anna@20261207120000000"))
        << client.ui.window->windowTitle().toStdString();
    EXPECT_TRUE(client.ui.window->windowTitle().contains("Velmorastra"));

    client.canvas().setCanvasID("bob@20200101000000000");
    EXPECT_TRUE(client.ui.window->windowTitle().startsWith("bob@20200101000000000"));

    // A new canvas gets its ID when first needed; the title follows then.
    client.canvas().user_nickname = "cleo";
    client.canvas().setCanvasID("");
    EXPECT_TRUE(client.ui.window->windowTitle().startsWith("cleo@"))
        << client.ui.window->windowTitle().toStdString();
}

TEST(WindowControls, OthersStrokesInProgressShowWithTheirPensAndWhoIsHere) {
    TestClient client(QSize(480, 640), velmo::app::Idiom::Tablet, true);
    client.launch();
    velmo::testing::openWithOthers(client);
    velmo::testing::drawTwoWavesOnLayer0(client);
    const velmo::canvas::LayerSurfaces layers = client.canvas().layer_bitmap;
    const size_t strokes = client.canvas().strokes_history.size();
    velmo::testing::hearOthersDrawing(client);
    ASSERT_TRUE(client.events.is_open);
    EXPECT_NE(client.events.url().find("?user="), std::string::npos) << client.events.url();

    // Both are named, the window's own user is not.
    EXPECT_EQ(client.ui.present_users->fullText(), "here: ben, chiara");

    // Each stroke shows on the display in its pen's colour, nowhere in the layers or the
    // history, and its drawer's marker is at the newest point.
    const auto& display = client.canvas().display_bitmap;
    const QPoint swirl_middle = velmo::testing::benSwirl()[10];
    const velmo::canvas::Pixel green = display.at(swirl_middle.x(), swirl_middle.y());
    EXPECT_NE(green, velmo::canvas::OpaqueWhite);
    EXPECT_EQ(display.at(105, 537), display.at(106, 537)) << "chiara's line is painted";
    EXPECT_NE(display.at(105, 537), velmo::canvas::OpaqueWhite);
    EXPECT_EQ(client.canvas().layer_bitmap, layers);
    EXPECT_EQ(client.canvas().strokes_history.size(), strokes);
    const auto& markers = client.ui.display->penMarkers();
    ASSERT_EQ(markers.size(), 2u);
    for (const auto& [nickname, pen, color] :
         {std::tuple{"ben", velmo::testing::benSwirl().back(), 0xFF30A050u},
          std::tuple{"chiara", velmo::testing::chiaraLine().back(), 0xFFE08020u}}) {
        const std::string name = nickname;
        const auto it = std::find_if(markers.begin(), markers.end(),
                                     [&](const auto& m) { return m.nickname == name; });
        ASSERT_NE(it, markers.end()) << nickname;
        EXPECT_NEAR(it->x, pen.x(), 1.0f) << nickname;
        EXPECT_NEAR(it->y, pen.y(), 1.0f) << nickname;
        EXPECT_EQ(it->color | 0xFF000000u, color) << nickname;
        // The window shows the dot in the pen's colour over the stroke.
        const QImage shown =
            client.ui.display->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        EXPECT_EQ(shown.pixel(pen), QColor::fromRgb(color).rgb()) << nickname;
    }

    // Ben leaves: his stroke and marker go, chiara stays.
    client.events.event(velmo::wire::LeaveEvent, velmo::testing::BenUser);
    QApplication::processEvents();
    EXPECT_EQ(client.ui.present_users->fullText(), "here: chiara");
    ASSERT_EQ(client.ui.display->penMarkers().size(), 1u);
    EXPECT_EQ(client.ui.display->penMarkers().front().nickname, "chiara");
    EXPECT_EQ(display.at(swirl_middle.x(), swirl_middle.y()), velmo::canvas::OpaqueWhite);
}
