// The menu bar, the keys, redo and the layer control in the real window, driven by the
// keyboard and the mouse as a user drives them.
#include "test_client.h"
#include "window_scenes.h"

#include "app/pen_feedback.h"
#include "app/window_menus.h"
#include "canvas/stroke_replay.h"
#include "dialogs/nickname_view.h"
#include "dialogs/pen_dialog.h"
#include "dialogs/segmented_control.h"

#include <QAction>
#include <QCoreApplication>
#include <QDialog>
#include <QImage>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using velmo::canvas::MWStroke;
using velmo::canvas::OpaqueWhite;
using velmo::testing::drawWith;
using velmo::testing::TestClient;
using velmo::testing::wave;

namespace {

// A launched client whose window has the keyboard, so its shortcuts work.
struct ActiveClient {
    explicit ActiveClient(QSize size = QSize(480, 640)) : client(size) {
        client.launch();
        client.ui.window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(client.ui.window.get()));
    }
    void key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(client.ui.window.get(), static_cast<Qt::Key>(key), modifiers);
    }
    QAction* action(const char* name) const { return client.ui.window->findChild<QAction*>(name); }
    TestClient client;
};

// Answers every command in flight, oldest first, until none waits; the bodies of the appends
// with points among them.
std::vector<std::string> deliverAll(velmo::testing::ScriptedHttp& http, size_t& answered) {
    std::vector<std::string> appends;
    while (answered < http.async_requests.size()) {
        const std::string body = http.async_requests[answered].request.body;
        if (body.find(" append: ") != std::string::npos &&
            body.find("points: ") != std::string::npos && !body.ends_with("points:")) {
            appends.push_back(body);
        }
        http.answer(answered++, "");
    }
    return appends;
}

} // namespace

TEST(WindowMenus, RedoDrawsTheUndoneStrokeAgainAsAnOrdinaryAppend) {
    ActiveClient window;
    TestClient& client = window.client;
    drawWith(client, 1, 0xFF2060D0u, 20, wave(200, 40));
    drawWith(client, 2, 0xFF206070u, 12, wave(400, 30));
    size_t answered = 0;
    ASSERT_EQ(deliverAll(client.http, answered).size(), 2u);
    const velmo::canvas::Surface drawn = client.canvas().display_bitmap;
    const MWStroke first = client.canvas().strokes_history.begin()->second;
    const MWStroke second = std::next(client.canvas().strokes_history.begin())->second;

    window.key(Qt::Key_Z, Qt::ControlModifier);
    window.key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_TRUE(client.canvas().strokes_history.empty());
    deliverAll(client.http, answered);

    // Ctrl+Shift+Z brings back the last undone, Ctrl+Y the one before; each goes to the server
    // as a new stroke with the same pen, layer and points.
    client.clock.advance(10);
    window.key(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    client.clock.advance(1);
    window.key(Qt::Key_Y, Qt::ControlModifier);
    const std::vector<std::string> again = deliverAll(client.http, answered);
    ASSERT_EQ(again.size(), 2u);
    for (const MWStroke& stroke : {first, second}) {
        bool found = false;
        for (const auto& [key, now] : client.canvas().strokes_history) {
            found = found || (now.points_x == stroke.points_x && now.points_y == stroke.points_y &&
                              now.pen_properties == stroke.pen_properties &&
                              now.layer == stroke.layer && now.client_time > stroke.client_time);
        }
        EXPECT_TRUE(found) << stroke.layer;
    }
    EXPECT_NE(again[0].find("layer:1"), std::string::npos) << again[0];
    EXPECT_NE(again[1].find("layer:2"), std::string::npos) << again[1];
    EXPECT_EQ(client.canvas().display_bitmap, drawn);

    // The toolbar's button does the same; a new stroke leaves nothing to redo.
    QTest::mouseClick(client.ui.undo_button, Qt::LeftButton);
    QTest::mouseClick(client.ui.redo_button, Qt::LeftButton);
    EXPECT_EQ(client.canvas().strokes_history.size(), 2u);
    QTest::mouseClick(client.ui.undo_button, Qt::LeftButton);
    drawWith(client, 0, 0xFF000000u, 4, wave(300, 10));
    window.key(Qt::Key_Y, Qt::ControlModifier);
    EXPECT_EQ(client.canvas().strokes_history.size(), 2u);

    // Nor is anything left to redo on another canvas.
    QTest::mouseClick(client.ui.undo_button, Qt::LeftButton);
    EXPECT_TRUE(client.canvas().canRedo());
    client.canvas().setCanvasID("");
    EXPECT_FALSE(client.canvas().canRedo());
}

TEST(WindowMenus, EveryEntryIsInItsMenuWithItsShortcut) {
    ActiveClient window;
    QMenuBar* bar = window.client.ui.menu_bar;
    ASSERT_NE(bar, nullptr);
    QStringList titles;
    for (QAction* menu : bar->actions()) {
        titles << menu->text().remove('&');
    }
    EXPECT_EQ(titles, (QStringList{"File", "Edit", "View", "Help"}));

    struct Entry {
        const char* menu;
        const char* action;
        QList<QKeySequence> keys;
    };
    using K = QKeySequence;
    const std::vector<Entry> entries = {
        {"file_menu", "new_canvas_action", {K(Qt::CTRL | Qt::Key_N)}},
        {"file_menu", "open_link_action", {K(Qt::CTRL | Qt::Key_O)}},
        {"file_menu",
         "export_action",
         {K(Qt::CTRL | Qt::Key_E), K(Qt::CTRL | Qt::SHIFT | Qt::Key_E)}},
        {"file_menu", "quit_action", {K(Qt::CTRL | Qt::Key_Q)}},
        {"edit_menu", "undo_action", {K(Qt::CTRL | Qt::Key_Z)}},
        {"edit_menu",
         "redo_action",
         {K(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), K(Qt::CTRL | Qt::Key_Y)}},
        {"edit_menu", "copy_picture_action", {K(Qt::CTRL | Qt::SHIFT | Qt::Key_C)}},
        {"view_menu", "zoom_in_action", {K(Qt::CTRL | Qt::Key_Equal), K(Qt::CTRL | Qt::Key_Plus)}},
        {"view_menu", "zoom_out_action", {K(Qt::CTRL | Qt::Key_Minus)}},
        {"view_menu", "zoom_fit_action", {K(Qt::CTRL | Qt::Key_0)}},
        {"view_menu", "zoom_100_action", {K(Qt::CTRL | Qt::Key_1)}},
        {"view_menu", "full_screen_action", {K(Qt::Key_F11)}},
        {"help_menu", "shortcuts_action", {K(QKeySequence::HelpContents)}},
        {"help_menu", "about_action", {}},
    };
    for (const Entry& entry : entries) {
        auto* menu = bar->findChild<QMenu*>(entry.menu);
        ASSERT_NE(menu, nullptr) << entry.menu;
        QAction* action = window.action(entry.action);
        ASSERT_NE(action, nullptr) << entry.action;
        EXPECT_TRUE(menu->actions().contains(action)) << entry.action;
        EXPECT_EQ(action->shortcuts(), entry.keys) << entry.action;
    }
    auto* layers = bar->findChild<QMenu*>("layers_menu");
    ASSERT_NE(layers, nullptr);
    EXPECT_EQ(layers->actions().size(), 3);

    // No key is claimed twice in the window: Qt would then run neither.
    QList<QKeySequence> seen;
    for (QAction* action : window.client.ui.window->actions()) {
        for (const QKeySequence& key : action->shortcuts()) {
            EXPECT_FALSE(seen.contains(key)) << key.toString().toStdString();
            seen << key;
        }
    }

    // Help > Keyboard shortcuts lists them, and the tools' keys.
    window.action("shortcuts_action")->trigger();
    auto* shortcuts = window.client.ui.window->findChild<QDialog*>("shortcuts_dialog");
    ASSERT_NE(shortcuts, nullptr);
    EXPECT_TRUE(shortcuts->isVisible());
    auto* table = shortcuts->findChild<QTableWidget*>("shortcuts_table");
    ASSERT_NE(table, nullptr);
    QStringList rows;
    for (int row = 0; row < table->rowCount(); ++row) {
        rows << table->item(row, 0)->text() + " = " + table->item(row, 1)->text();
    }
    const QString all = rows.join('\n');
    for (const QString& expected :
         {K(Qt::CTRL | Qt::SHIFT | Qt::Key_Z).toString(QKeySequence::NativeText) + ", " +
              K(Qt::CTRL | Qt::Key_Y).toString(QKeySequence::NativeText) + " = Redo",
          QString("F11 = Full screen"), QString("B = Draw"), QString("[ = Thinner pen"),
          QString("] = Wider pen"), QString("Hold Space = Move the view while held")}) {
        EXPECT_TRUE(all.contains(expected)) << expected.toStdString() << "\n" << all.toStdString();
    }
    shortcuts->close();
}

TEST(WindowMenus, KeysChooseTheToolTheZoomAndThePenWidth) {
    ActiveClient window;
    TestClient& client = window.client;
    velmo::dialogs::SegmentedControl& mode = *client.ui.draw_mode_button;
    QLabel& zoom = *client.ui.zoom_label;
    EXPECT_EQ(zoom.text(), "100 %");

    // B, I and H choose the tool as the draw-mode control does; the slider shows to pan.
    const std::vector<std::pair<int, int>> tools = {
        {Qt::Key_H, 2}, {Qt::Key_I, 1}, {Qt::Key_B, 0}, {Qt::Key_H, 2}, {Qt::Key_B, 0}};
    for (const auto& [key, index] : tools) {
        window.key(key);
        EXPECT_EQ(mode.selectedSegmentIndex(), index) << key;
        EXPECT_EQ(client.ui.zoom_slider->isVisible(), index == 2) << key;
    }
    // Holding Space pans until it is let go, with the pen back then.
    QTest::keyPress(client.ui.window.get(), Qt::Key_Space);
    EXPECT_EQ(mode.selectedSegmentIndex(), 2);
    QTest::mousePress(client.view(), Qt::LeftButton, {}, QPoint(100, 300));
    QTest::mouseMove(client.view(), QPoint(130, 320));
    QTest::mouseRelease(client.view(), Qt::LeftButton, {}, QPoint(130, 320));
    EXPECT_NEAR(client.canvas().view.shift_x, 30.0f, 1e-3);
    EXPECT_TRUE(client.canvas().strokes_history.empty());
    QTest::keyRelease(client.ui.window.get(), Qt::Key_Space);
    EXPECT_EQ(mode.selectedSegmentIndex(), 0);

    // The zoom keys about the middle of the window; the percentage follows each.
    window.key(Qt::Key_1, Qt::ControlModifier);
    EXPECT_FLOAT_EQ(client.canvas().view.zoom_scale, 1.0f);
    window.key(Qt::Key_Equal, Qt::ControlModifier);
    EXPECT_NEAR(client.canvas().view.zoom_scale, 1.25f, 1e-5);
    EXPECT_EQ(zoom.text(), "125 %");
    window.key(Qt::Key_Plus, Qt::ControlModifier);
    EXPECT_NEAR(client.canvas().view.zoom_scale, 1.5625f, 1e-5);
    EXPECT_EQ(zoom.text(), "156 %");
    // The middle of the canvas stays where it was.
    const float middle_x = client.canvas().geometry.canvas_width / 2.0f;
    EXPECT_NEAR(client.canvas().transx(middle_x), middle_x - 30.0f, 0.01f);
    window.key(Qt::Key_Minus, Qt::ControlModifier);
    window.key(Qt::Key_Minus, Qt::ControlModifier);
    window.key(Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_NEAR(client.canvas().view.zoom_scale, 0.8f, 1e-5);
    EXPECT_EQ(zoom.text(), "80 %");
    window.key(Qt::Key_1, Qt::ControlModifier);
    EXPECT_NEAR(client.canvas().view.zoom_scale, 1.0f, 1e-5);
    EXPECT_NE(client.canvas().view.shift_x, 0.0f) << "100 % keeps the middle, so the pan stays";
    window.key(Qt::Key_0, Qt::ControlModifier);
    EXPECT_EQ(client.canvas().view, velmo::canvas::ViewTransform{});
    EXPECT_EQ(zoom.text(), "100 %");
    // A pinch shows its percentage as it goes.
    client.canvas().zoomAtViewPoint(3.0f, {10, 10});
    EXPECT_EQ(zoom.text(), "300 %");

    // [ and ] step the width by a pixel, within the pen dialog's 1 to 25.
    auto pixels = [&] {
        return client.canvas().pen_properties.width * client.canvas().geometry.pixel_scale;
    };
    client.canvas().pen_properties.width = client.canvas().geometry.toUnits(5);
    const float five = pixels();
    window.key(Qt::Key_BracketRight);
    EXPECT_NEAR(pixels(), five + 1.0f, 0.01f);
    window.key(Qt::Key_BracketLeft);
    window.key(Qt::Key_BracketLeft);
    EXPECT_NEAR(pixels(), five - 1.0f, 0.01f);
    for (int i = 0; i < 40; ++i) {
        window.key(Qt::Key_BracketLeft);
    }
    EXPECT_NEAR(pixels(), 1.0f, 0.01f);
    for (int i = 0; i < 40; ++i) {
        window.key(Qt::Key_BracketRight);
    }
    EXPECT_NEAR(pixels(), 25.0f, 0.01f);

    // A text field with the focus keeps its letters and brackets.
    client.ui.nickname_button->click();
    QLineEdit* search = client.ui.nickname_view->search_bar;
    search->setFocus();
    QTest::keyClicks(search, "hi[b]");
    EXPECT_EQ(search->text(), "hi[b]");
    EXPECT_EQ(mode.selectedSegmentIndex(), 0);
    EXPECT_NEAR(pixels(), 25.0f, 0.01f);
}

TEST(WindowMenus, FileEntriesOpenCanvasesAndF11GoesFullScreen) {
    ActiveClient window;
    TestClient& client = window.client;
    client.canvas().setCanvasID("anna@20100704123456789");
    window.key(Qt::Key_N, Qt::ControlModifier);
    const std::string fresh = client.canvas().canvas_id;
    EXPECT_NE(fresh, "anna@20100704123456789");
    EXPECT_FALSE(fresh.empty());

    // Open link asks for the link without holding up the window, and opens its canvas.
    window.key(Qt::Key_O, Qt::ControlModifier);
    auto* ask = client.ui.window->findChild<QInputDialog*>("open_link_dialog");
    ASSERT_NE(ask, nullptr);
    EXPECT_TRUE(ask->isVisible());
    ask->setTextValue("  velmorastra://bob@20200101000000000 ");
    ask->accept();
    EXPECT_EQ(client.canvas().canvas_id, "bob@20200101000000000");

    window.key(Qt::Key_F11);
    EXPECT_TRUE(client.ui.window->windowState() & Qt::WindowFullScreen);
    window.key(Qt::Key_F11);
    EXPECT_FALSE(client.ui.window->windowState() & Qt::WindowFullScreen);
}

TEST(WindowMenus, TheLayerControlNamesSwitchesAndHidesLayersHereOnly) {
    ActiveClient window;
    TestClient& client = window.client;
    client.canvas().setCanvasID("anna@20100704123456789");
    QToolButton& layer = *client.ui.layer_button;
    EXPECT_EQ(layer.text(), "Normal");
    drawWith(client, 0, 0xFFD03020u, 28, wave(180, 60));
    drawWith(client, 1, 0xFF2060D0u, 40, {QPoint(240, 60), QPoint(240, 560)});
    drawWith(client, 2, 0xFF206070u, 30, wave(400, 40));
    // drawWith chooses the layer as the pen dialog does: the control and the line follow.
    EXPECT_EQ(layer.text(), "Screen");
    EXPECT_TRUE(client.ui.info_label->text().startsWith("Screen layer · anna@20100704123456789"))
        << client.ui.info_label->text().toStdString();

    QMenu* menu = client.ui.layer_menu;
    ASSERT_NE(menu, nullptr);
    auto* multiply = menu->findChild<QAction*>("draw_on_layer1_action");
    ASSERT_NE(multiply, nullptr);
    multiply->trigger();
    EXPECT_EQ(client.canvas().layer_index, 1u);
    EXPECT_EQ(layer.text(), "Multiply");
    EXPECT_TRUE(client.ui.info_label->text().startsWith("Multiply layer"));
    emit menu->aboutToShow();
    EXPECT_TRUE(multiply->isChecked());
    EXPECT_FALSE(menu->findChild<QAction*>("draw_on_layer0_action")->isChecked());

    // Hiding a layer changes this window's picture only: nothing goes to the server, the
    // layers keep their pixels, and the View menu's entry follows.
    size_t answered = 0;
    deliverAll(client.http, answered);
    const size_t sent = client.http.async_requests.size();
    const velmo::canvas::LayerSurfaces layers = client.canvas().layer_bitmap;
    auto* show_multiply = menu->findChild<QAction*>("layer1_shown_action");
    ASSERT_NE(show_multiply, nullptr);
    EXPECT_TRUE(show_multiply->isChecked());
    show_multiply->trigger();
    EXPECT_FALSE(client.canvas().layerShown(1));
    EXPECT_TRUE(layer.font().strikeOut());
    std::vector<MWStroke> seen;
    for (const auto& [key, stroke] : client.canvas().strokes_history) {
        if (stroke.layer != 1) {
            seen.push_back(stroke);
        }
    }
    EXPECT_EQ(client.canvas().display_bitmap,
              velmo::canvas::renderPicture(seen, client.canvas().geometry));
    EXPECT_EQ(client.canvas().layer_bitmap, layers);
    EXPECT_EQ(client.http.async_requests.size(), sent);
    QMenu* view_layers = client.ui.menu_bar->findChild<QMenu*>("layers_menu");
    emit view_layers->aboutToShow();
    EXPECT_FALSE(view_layers->actions()[1]->isChecked());
    EXPECT_TRUE(view_layers->actions()[0]->isChecked());

    // The View menu shows it again.
    view_layers->actions()[1]->trigger();
    EXPECT_TRUE(client.canvas().layerShown(1));
    EXPECT_FALSE(layer.font().strikeOut());
    EXPECT_EQ(client.canvas().display_bitmap,
              velmo::canvas::renderPicture(
                  [&] {
                      std::vector<MWStroke> all;
                      for (const auto& [key, stroke] : client.canvas().strokes_history) {
                          all.push_back(stroke);
                      }
                      return all;
                  }(),
                  client.canvas().geometry));
}

TEST(WindowMenus, ThePenShowsItsColourOnItsButtonAndItsWidthAtThePointer) {
    ActiveClient window;
    TestClient& client = window.client;
    velmo::app::PenSwatch& swatch = *client.ui.pen_swatch;
    EXPECT_EQ(swatch.shownColor(), 0xFF000000u);
    EXPECT_EQ(swatch.parentWidget(), client.ui.pen_button);
    EXPECT_LE(swatch.geometry().bottom(), client.ui.pen_button->height());

    // A colour chosen in the pen dialog shows once it closes; one the eyedropper picks, when
    // the pick ends.
    QTest::mouseClick(client.ui.pen_button, Qt::LeftButton);
    QTest::mouseClick(client.ui.pen_dialog->pen_color_btns->segment(1), Qt::LeftButton);
    client.ui.pen_dialog->dismissPenPropDialog();
    EXPECT_EQ(swatch.shownColor(), 0xFFFFFFFFu);
    drawWith(client, 0, 0xFFD03020u, 30, {QPoint(100, 300), QPoint(300, 300)});
    window.key(Qt::Key_I);
    client.canvas().pen_properties.color = static_cast<int32_t>(0xFF000000u);
    QTest::mousePress(client.view(), Qt::LeftButton, {}, QPoint(200, 300));
    QTest::mouseRelease(client.view(), Qt::LeftButton, {}, QPoint(200, 300));
    // The stroke's colour as the picture shows it (its density lets some white through).
    EXPECT_EQ(swatch.shownColor(), static_cast<uint32_t>(client.canvas().pen_properties.color));
    EXPECT_NE(swatch.shownColor(), 0xFF000000u);

    // Hovering shows the brush's outline, as wide as the pen draws at this zoom, and draws
    // nothing.
    velmo::app::BrushOutline& outline = *client.ui.brush_outline;
    const size_t strokes = client.canvas().strokes_history.size();
    client.canvas().pen_properties.width = client.canvas().geometry.toUnits(10);
    const double width =
        client.canvas().pen_properties.width * client.canvas().geometry.pixel_scale;
    QTest::mouseMove(client.view(), QPoint(150, 200));
    ASSERT_TRUE(outline.centre().has_value());
    EXPECT_EQ(*outline.centre(), QPointF(150, 200));
    EXPECT_NEAR(outline.diameter(), width, 1e-3);
    window.key(Qt::Key_Equal, Qt::ControlModifier);
    EXPECT_NEAR(outline.diameter(), width * 1.25, 1e-3);
    QTest::mouseMove(client.view(), QPoint(160, 210));
    EXPECT_EQ(*outline.centre(), QPointF(160, 210));
    EXPECT_EQ(client.canvas().strokes_history.size(), strokes);
    // It is drawn there, over the picture.
    const QImage shown = client.ui.window->grab().toImage();
    const QPoint edge = client.view()->mapTo(client.ui.window.get(),
                                             QPoint(160 + static_cast<int>(width * 1.25 / 2), 210));
    EXPECT_NE(shown.pixel(edge), shown.pixel(edge + QPoint(12, 0)));
    // Moving the view or picking shows none; nor does a pointer that left.
    window.key(Qt::Key_H);
    QTest::mouseMove(client.view(), QPoint(170, 220));
    EXPECT_FALSE(outline.centre().has_value());
    window.key(Qt::Key_B);
    QTest::mouseMove(client.view(), QPoint(180, 230));
    EXPECT_TRUE(outline.centre().has_value());
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(client.view(), &leave);
    EXPECT_FALSE(outline.centre().has_value());
}
