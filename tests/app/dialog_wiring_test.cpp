// The dialogs in the real window: opened by a mouse click on their toolbar buttons, in a
// popover on a tablet-sized window and over the whole window on a phone-sized one.
#include "test_client.h"

#include "app/present_users_label.h"

#include "dialogs/color_box.h"
#include "dialogs/dialog_presenter.h"
#include "dialogs/hsb_color.h"
#include "dialogs/hsb_color_picker.h"
#include "dialogs/nickname_view.h"
#include "dialogs/pen_dialog.h"
#include "dialogs/sat_bri_box.h"
#include "dialogs/segmented_control.h"
#include "dialogs/value_slider.h"
#include "wire/date_id.h"

#include <QAction>
#include <QClipboard>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPointingDevice>
#include <QPushButton>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>

using velmo::testing::TestClient;

namespace {

const QSize TabletSize(768, 1024);
const QSize PhoneSize(320, 480);

// The idiom the program itself picks for a window of this size.
velmo::app::Idiom idiomOf(QSize size) {
    return velmo::app::idiomFor(velmo::app::ClientOptions{}, size);
}

std::unique_ptr<TestClient> launched(QSize size) {
    auto client = std::make_unique<TestClient>(size, idiomOf(size));
    client->launch();
    return client;
}

QPointingDevice* touchscreen() {
    static QPointingDevice* device = QTest::createTouchDevice();
    return device;
}

// `widget`'s rectangle in the canvas view's coordinates.
QRect inView(const TestClient& client, const QWidget* widget) {
    return QRect(widget->mapTo(client.view(), QPoint(0, 0)), widget->size());
}

bool isPartOf(const QWidget* widget, const QWidget* dialog) {
    return widget != nullptr && (widget == dialog || dialog->isAncestorOf(widget));
}

// `dialog` is the one shown, where the window's idiom puts it, and on top of the canvas.
void expectPresented(const TestClient& client, QWidget* dialog, const QWidget* button) {
    const auto& presenter = *client.ui.presenter;
    EXPECT_EQ(presenter.presentedDialog(), dialog);
    EXPECT_TRUE(dialog->isVisible());
    if (client.ui.viewController->idiom == velmo::app::Idiom::Tablet) {
        ASSERT_NE(presenter.popoverController, nullptr);
        const QRect popover = inView(client, presenter.popoverController);
        const QRect anchor = inView(client, button);
        EXPECT_EQ(popover.size(), QSize(320, 480));
        // Just below its button, moved left only as far as the view needs.
        EXPECT_EQ(popover.topLeft(),
                  QPoint(std::min(anchor.left(), client.view()->width() - popover.width()),
                         anchor.bottom() + 1));
        EXPECT_EQ(inView(client, dialog), popover);
        EXPECT_TRUE(isPartOf(client.view()->childAt(popover.center()), dialog));
        // The rest of the canvas stays in sight.
        EXPECT_FALSE(isPartOf(client.view()->childAt(QPoint(10, 300)), dialog));
    } else {
        EXPECT_EQ(presenter.popoverController, nullptr);
        EXPECT_EQ(inView(client, dialog), client.view()->rect());
        // It covers the toolbar too: where the button was, the dialog is now.
        EXPECT_TRUE(isPartOf(client.view()->childAt(inView(client, button).center()), dialog));
    }
}

void drawLine(TestClient& client, int y) {
    QTest::mousePress(client.view(), Qt::LeftButton, {}, QPoint(100, y));
    QTest::mouseMove(client.view(), QPoint(200, y));
    QTest::mouseRelease(client.view(), Qt::LeftButton, {}, QPoint(200, y));
    client.clock.advance(1);
}

} // namespace

TEST(DialogWiring, TheTestSizesAreATabletAndAPhone) {
    EXPECT_EQ(idiomOf(TabletSize), velmo::app::Idiom::Tablet);
    EXPECT_EQ(idiomOf(PhoneSize), velmo::app::Idiom::Phone);
}

TEST(DialogWiring, EveryToolbarButtonIsWithinReach) {
    for (const QSize size : {TabletSize, PhoneSize}) {
        SCOPED_TRACE(size.width());
        const auto client = launched(size);
        const auto& ui = client->ui;
        std::vector<QRect> taken;
        const QWidgetList controls = {ui.draw_mode_button, ui.undo_button, ui.pen_button,
                                      ui.nickname_button, ui.canvas_id_button};
        for (QWidget* control : controls) {
            SCOPED_TRACE(control->objectName().toStdString());
            EXPECT_TRUE(control->isVisible());
            EXPECT_TRUE(control->isEnabled());
            const QRect place = inView(*client, control);
            EXPECT_TRUE(client->view()->rect().contains(place)) << place.x() << "," << place.y();
            // Wide enough for its title, and clear of the others.
            EXPECT_GE(place.width(), control->minimumSizeHint().width());
            for (const QRect& other : taken) {
                EXPECT_FALSE(place.intersects(other));
            }
            taken.push_back(place);
        }
    }
}

TEST(DialogWiring, ThePenButtonOpensThePenDialog) {
    for (const QSize size : {TabletSize, PhoneSize}) {
        SCOPED_TRACE(size.width());
        const auto client = launched(size);
        const auto& ui = client->ui;
        EXPECT_FALSE(ui.pen_dialog->isVisible());
        QTest::mouseClick(ui.pen_button, Qt::LeftButton);
        expectPresented(*client, ui.pen_dialog, ui.pen_button);
        EXPECT_TRUE(client->canvas().strokes_history.empty());
    }
}

TEST(DialogWiring, TheNicknameButtonOpensTheNicknameView) {
    for (const QSize size : {TabletSize, PhoneSize}) {
        SCOPED_TRACE(size.width());
        const auto client = launched(size);
        const auto& ui = client->ui;
        client->canvas().user_nickname = "hanako";
        EXPECT_FALSE(ui.nickname_view->isVisible());
        QTest::mouseClick(ui.nickname_button, Qt::LeftButton);
        expectPresented(*client, ui.nickname_view, ui.nickname_button);
        EXPECT_EQ(ui.nickname_view->nickname_field->text(), "hanako");

        // One dialog at a time: the pen button swaps it for the pen dialog on a tablet; on
        // a phone "Done" closes the view first.
        if (ui.viewController->idiom == velmo::app::Idiom::Tablet) {
            QTest::mouseClick(ui.pen_button, Qt::LeftButton);
            expectPresented(*client, ui.pen_dialog, ui.pen_button);
            EXPECT_FALSE(ui.nickname_view->isVisible());
        } else {
            QTest::mouseClick(ui.nickname_view->done_button, Qt::LeftButton);
            EXPECT_EQ(ui.presenter->presentedDialog(), nullptr);
            EXPECT_FALSE(ui.nickname_view->isVisible());
            QTest::mouseClick(ui.pen_button, Qt::LeftButton);
            expectPresented(*client, ui.pen_dialog, ui.pen_button);
        }
    }
}

TEST(DialogWiring, TheCanvasButtonPublishesThePicturesAndOffersTheLink) {
    for (const QSize size : {TabletSize, PhoneSize}) {
        SCOPED_TRACE(size.width());
        const auto client = launched(size);
        const auto& ui = client->ui;
        client->canvas().canvas_id = "anna@20261207120000000";
        // A canvas with nothing drawn is not on the server: the window says to draw first,
        // and nothing is published or offered.
        QTest::mouseClick(ui.canvas_id_button, Qt::LeftButton);
        EXPECT_TRUE(client->http.sync_requests.empty());
        EXPECT_FALSE(ui.nickname_view->sharing.action_sheet);
        EXPECT_EQ(ui.info_label->text(), velmo::dialogs::CanvasSharing::drawFirstMessage());
        // Once a stroke has come back stamped by the server, the canvas has its link.
        velmo::canvas::MWStroke echoed;
        echoed.user_name = "bob@20261207110000000";
        echoed.server_time = 1796643000000;
        echoed.points_x = {100, 200};
        echoed.points_y = {100, 200};
        client->canvas().strokes_history.store({echoed.server_time, 0}, echoed);
        QTest::mouseClick(ui.canvas_id_button, Qt::LeftButton);

        // The full image and the thumbnail go to the image host before the menu shows.
        ASSERT_EQ(client->http.sync_requests.size(), 2u);
        for (const auto& request : client->http.sync_requests) {
            EXPECT_EQ(request.url, "http://127.0.0.1:9/upload.cgi");
        }
        QMenu* menu = ui.nickname_view->sharing.action_sheet;
        ASSERT_NE(menu, nullptr);
        EXPECT_TRUE(menu->isVisible());
        const QRect shown = menu->geometry();
        if (ui.viewController->idiom == velmo::app::Idiom::Tablet) {
            // Hanging from the button (moved left only as far as the screen needs).
            const QPoint corner =
                ui.canvas_id_button->mapToGlobal(QPoint(0, ui.canvas_id_button->height()));
            EXPECT_EQ(shown.top(), corner.y());
            EXPECT_LE(shown.left(), corner.x());
            EXPECT_GE(shown.right(), corner.x());
        } else {
            const QPoint centre = ui.window->mapToGlobal(ui.window->rect().center());
            EXPECT_LE(std::abs(shown.center().x() - centre.x()), 2);
            EXPECT_LE(std::abs(shown.center().y() - centre.y()), 2);
        }

        QGuiApplication::clipboard()->clear();
        QAction* clipboard = nullptr;
        for (QAction* action : menu->actions()) {
            if (action->text() == "Copy link") {
                clipboard = action;
            }
        }
        ASSERT_NE(clipboard, nullptr);
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(clipboard).center());
        const auto date_id = velmo::wire::dateID("anna@20261207120000000");
        ASSERT_TRUE(date_id.has_value());
        const QString link = QString::fromStdString("http://127.0.0.1:9/?v:" + *date_id);
        EXPECT_EQ(QGuiApplication::clipboard()->text(), link);
        // The window says so, with the link.
        EXPECT_EQ(ui.info_label->text(), "Link copied: " + link);
    }
}

TEST(DialogWiring, ApplyingThePenDialogChangesThePen) {
    for (const QSize size : {TabletSize, PhoneSize}) {
        SCOPED_TRACE(size.width());
        const auto client = launched(size);
        const auto& ui = client->ui;
        auto& canvas = client->canvas();
        canvas.canvas_id = "anna@20261207120000000";
        const int32_t width_before = canvas.pen_properties.width;
        QTest::mouseClick(ui.pen_button, Qt::LeftButton);

        velmo::dialogs::PenDialog& pen = *ui.pen_dialog;
        // The colour takes effect at once; width and layer only with "Apply".
        QTest::mouseClick(pen.pen_color_btns->segment(1), Qt::LeftButton);
        EXPECT_EQ(static_cast<uint32_t>(canvas.pen_properties.color), 0xFFFFFFFFu);
        QTest::mouseClick(pen.layer_btns->segment(1), Qt::LeftButton);
        auto* slider = pen.pen_width_slider;
        const float shown_before = slider->value();
        QTest::mouseClick(slider, Qt::LeftButton, {},
                          QPoint(slider->width() - 4, slider->height() / 2));
        const float shown_after = slider->value();
        EXPECT_GT(shown_after, shown_before);
        EXPECT_EQ(canvas.pen_properties.width, width_before);
        EXPECT_EQ(canvas.layer_index, 0u);

        QTest::mouseClick(pen.apply_button, Qt::LeftButton);
        EXPECT_EQ(canvas.pen_properties.width, canvas.geometry.toUnits(shown_after));
        EXPECT_NE(canvas.pen_properties.width, width_before);
        EXPECT_EQ(canvas.layer_index, 1u);
        EXPECT_EQ(ui.info_label->text(), "Multiply layer · anna@20261207120000000");
        EXPECT_EQ(ui.presenter->presentedDialog(), nullptr);
        EXPECT_FALSE(pen.isVisible());

        // With the dialog gone the mouse draws again, with the new pen.
        drawLine(*client, 300);
        ASSERT_EQ(canvas.strokes_history.size(), 1u);
        const auto& stroke = canvas.strokes_history.begin()->second;
        EXPECT_EQ(stroke.pen_properties.width, canvas.pen_properties.width);
        EXPECT_EQ(static_cast<uint32_t>(stroke.pen_properties.color), 0xFFFFFFFFu);
        EXPECT_EQ(stroke.layer, 1);
    }
}

TEST(DialogWiring, TheColourPickerOpensFromThePenDialogAndSetsThePen) {
    for (const QSize size : {TabletSize, PhoneSize}) {
        SCOPED_TRACE(size.width());
        const auto client = launched(size);
        const auto& ui = client->ui;
        auto& canvas = client->canvas();
        QTest::mouseClick(ui.pen_button, Qt::LeftButton);
        velmo::dialogs::PenDialog& pen = *ui.pen_dialog;
        auto* picker = pen.hsbcolorpicker;
        QTest::mouseClick(pen.pen_color_btns->segment(2), Qt::LeftButton);
        ASSERT_TRUE(picker->isVisible());
        const QRect place = inView(*client, picker);
        if (ui.viewController->idiom == velmo::app::Idiom::Tablet) {
            // Beside the dialog in the widened popover, all of it inside the window.
            const QRect popover = inView(*client, ui.presenter->popoverController);
            EXPECT_EQ(popover.size(), QSize(600, 480));
            EXPECT_TRUE(client->view()->rect().contains(popover));
            EXPECT_EQ(place, QRect(popover.left() + 320, popover.top(), 280, 480));
        } else {
            EXPECT_EQ(place, client->view()->rect());
        }

        // The top right of the square: full saturation and brightness.
        auto* square = picker->satbribox;
        QTest::mouseClick(square, Qt::LeftButton, {}, QPoint(square->width() - 2, 1));
        const velmo::dialogs::RgbColor picked = picker->penhsbcolbox->color();
        EXPECT_GT(std::max({picked.red, picked.green, picked.blue}), 0.95);
        EXPECT_LT(std::min({picked.red, picked.green, picked.blue}), 0.05);
        QTest::mouseClick(picker->apply_button, Qt::LeftButton);
        EXPECT_FALSE(picker->isVisible());
        const velmo::dialogs::RgbColor pen_colour =
            velmo::dialogs::rgbOfPenColor(canvas.pen_properties.color);
        EXPECT_NEAR(pen_colour.red, picked.red, 1.0 / 255);
        EXPECT_NEAR(pen_colour.green, picked.green, 1.0 / 255);
        EXPECT_NEAR(pen_colour.blue, picked.blue, 1.0 / 255);
        // Back to the pen dialog, which is still open.
        EXPECT_EQ(ui.presenter->presentedDialog(), ui.pen_dialog);
        if (ui.viewController->idiom == velmo::app::Idiom::Tablet) {
            EXPECT_EQ(ui.presenter->popoverController->size(), QSize(320, 480));
        }
        QTest::mouseClick(pen.cancel_button, Qt::LeftButton);
        EXPECT_EQ(ui.presenter->presentedDialog(), nullptr);
        EXPECT_EQ(velmo::dialogs::rgbOfPenColor(canvas.pen_properties.color), pen_colour);
    }
}

TEST(DialogWiring, TheNicknameViewsControlsWorkWithTheMouse) {
    for (const QSize size : {TabletSize, PhoneSize}) {
        SCOPED_TRACE(size.width());
        const auto client = launched(size);
        const auto& ui = client->ui;
        auto& canvas = client->canvas();
        canvas.canvas_id = "anna@20261207120000000";
        QTest::mouseClick(ui.nickname_button, Qt::LeftButton);
        velmo::dialogs::NicknameView& view = *ui.nickname_view;

        QTest::mouseClick(view.nickname_field, Qt::LeftButton);
        view.nickname_field->selectAll();
        QTest::keyClicks(view.nickname_field, " ta ro ");
        QTest::keyClick(view.nickname_field, Qt::Key_Return);
        EXPECT_EQ(canvas.user_nickname, "taro");

        QTest::mouseClick(view.about_button, Qt::LeftButton);
        // The box frees itself once closed.
        const QPointer<QMessageBox> about = ui.window->findChild<QMessageBox*>();
        ASSERT_NE(about, nullptr);
        EXPECT_TRUE(about->isVisible());
        EXPECT_EQ(about->windowTitle(), "Velmorastra");
        QTest::mouseClick(about->button(QMessageBox::Ok), Qt::LeftButton);
        EXPECT_TRUE(about.isNull() || !about->isVisible());

        QTest::mouseClick(view.new_canvas_button, Qt::LeftButton);
        EXPECT_EQ(ui.presenter->presentedDialog(), nullptr);
        EXPECT_FALSE(view.isVisible());
        EXPECT_NE(canvas.canvasID(), "anna@20261207120000000");
        EXPECT_EQ(canvas.canvasID().rfind("taro@", 0), 0u) << canvas.canvasID();
    }
}

TEST(DialogWiring, PressesBetweenTheControlsDoNotDraw) {
    for (const QSize size : {TabletSize, PhoneSize}) {
        SCOPED_TRACE(size.width());
        const auto client = launched(size);
        const auto& ui = client->ui;
        // On the toolbar, right of the pen button: nothing, or the list of who is here.
        QWidget* bar = ui.pen_button->parentWidget();
        const QPoint gap(ui.pen_button->geometry().right() + 8,
                         ui.pen_button->geometry().center().y());
        QWidget* under = bar->childAt(gap);
        ASSERT_TRUE(under == nullptr || under == static_cast<QWidget*>(ui.present_users));
        QTest::mouseClick(bar, Qt::LeftButton, {}, gap);
        EXPECT_TRUE(client->recorder.calls.empty());

        // On a dialog: its title, a label, takes no click itself.
        QTest::mouseClick(ui.pen_button, Qt::LeftButton);
        auto* title = ui.pen_dialog->findChild<QLabel*>();
        ASSERT_NE(title, nullptr);
        const QPoint on_title = title->rect().center();
        QTest::mousePress(title, Qt::LeftButton, {}, on_title);
        QTest::mouseMove(title, on_title + QPoint(30, 0));
        QTest::mouseRelease(title, Qt::LeftButton, {}, on_title + QPoint(30, 0));
        EXPECT_TRUE(client->recorder.calls.empty());
        EXPECT_TRUE(client->canvas().strokes_history.empty());
        EXPECT_EQ(ui.presenter->presentedDialog(), ui.pen_dialog);
    }
}

TEST(DialogWiring, TheDialogsButtonsWorkByTouch) {
    for (const QSize size : {TabletSize, PhoneSize}) {
        SCOPED_TRACE(size.width());
        const auto client = launched(size);
        const auto& ui = client->ui;
        QTest::mouseClick(ui.pen_button, Qt::LeftButton);
        QWidget* window = ui.window.get();
        const auto tap = [&](QWidget* target) {
            const QPoint at = target->mapTo(window, target->rect().center());
            QTest::touchEvent(window, touchscreen()).press(0, at, window);
            QTest::touchEvent(window, touchscreen()).release(0, at, window);
            QApplication::processEvents();
        };
        tap(ui.pen_dialog->layer_btns->segment(2));
        EXPECT_EQ(ui.pen_dialog->layer_btns->selectedSegmentIndex(), 2);
        tap(ui.pen_dialog->apply_button);
        EXPECT_EQ(client->canvas().layer_index, 2u);
        EXPECT_EQ(ui.presenter->presentedDialog(), nullptr);
        EXPECT_TRUE(client->recorder.calls.empty()) << client->recorder.calls.front();
        EXPECT_TRUE(client->canvas().strokes_history.empty());
    }
}

TEST(DialogWiring, TheSearchTextIsTheNicknameViewsSearchField) {
    TestClient first(PhoneSize, idiomOf(PhoneSize));
    first.settings.values["SearchNickname"] = std::string("anna");
    first.launch();
    QLineEdit* search_bar = first.ui.nickname_view->search_bar;
    // The one search field of the window.
    EXPECT_EQ(first.ui.window->findChildren<QLineEdit*>("search_bar"),
              QList<QLineEdit*>{search_bar});
    EXPECT_EQ(search_bar->text(), "anna");

    QTest::mouseClick(first.ui.nickname_button, Qt::LeftButton);
    QTest::mouseClick(search_bar, Qt::LeftButton);
    EXPECT_TRUE(search_bar->hasFocus());
    search_bar->selectAll();
    QTest::keyClicks(search_bar, "bob");
    EXPECT_EQ(first.canvas().search_nickname, "bob");
    first.ui.delegate->applicationWillTerminate();
    EXPECT_EQ(first.settings.stringValue("SearchNickname"), "bob");

    TestClient second(TabletSize, idiomOf(TabletSize));
    second.settings.values = first.settings.values;
    second.launch();
    EXPECT_EQ(second.ui.nickname_view->search_bar->text(), "bob");
    EXPECT_EQ(second.canvas().search_nickname, "bob");
}

TEST(DialogWiring, AFailedSearchAlertsOverTheWindow) {
    TestClient client(TabletSize, idiomOf(TabletSize));
    client.launch();
    QTest::mouseClick(client.ui.nickname_button, Qt::LeftButton);
    QLineEdit* search_bar = client.ui.nickname_view->search_bar;
    QTest::mouseClick(search_bar, Qt::LeftButton);
    QTest::keyClicks(search_bar, "taro");
    // No server answers.
    QTest::keyClick(search_bar, Qt::Key_Return);
    EXPECT_FALSE(client.http.sync_requests.empty());
    auto* alert = client.ui.window->findChild<QMessageBox*>();
    ASSERT_NE(alert, nullptr);
    EXPECT_TRUE(alert->isVisible());
    EXPECT_EQ(alert->windowTitle(), "connection error");
    EXPECT_EQ(client.ui.presenter->presentedDialog(), client.ui.nickname_view);
}

TEST(DialogWiring, APressOutsideAPopoverClosesItAsCancelAndDrawsNothing) {
    const auto client = launched(TabletSize);
    const auto& ui = client->ui;
    QWidget* window = ui.window.get();
    const QPoint outside(700, 900);
    const int width_before = client->canvas().pen_properties.width;

    // By mouse, on the pen dialog with a width not applied: dropped, as Cancel drops it.
    QTest::mouseClick(ui.pen_button, Qt::LeftButton);
    ASSERT_FALSE(isPartOf(client->view()->childAt(outside), ui.pen_dialog));
    ui.pen_dialog->pen_width_slider->setValue(20.0f);
    QTest::mousePress(client->view(), Qt::LeftButton, {}, outside);
    EXPECT_EQ(ui.presenter->presentedDialog(), nullptr);
    EXPECT_FALSE(ui.pen_dialog->isVisible());
    QTest::mouseMove(client->view(), outside + QPoint(40, 0));
    QTest::mouseRelease(client->view(), Qt::LeftButton, {}, outside + QPoint(40, 0));
    EXPECT_EQ(client->canvas().pen_properties.width, width_before);

    // By touch, on the pen dialog with the colour picker beside it: both close, the pen
    // keeps its colour.
    QTest::mouseClick(ui.pen_button, Qt::LeftButton);
    QTest::mouseClick(ui.pen_dialog->pen_color_btns->segment(2), Qt::LeftButton);
    ASSERT_TRUE(ui.pen_dialog->pickerShown());
    const int32_t colour = client->canvas().pen_properties.color;
    QTest::touchEvent(window, touchscreen()).press(0, outside, window);
    QTest::touchEvent(window, touchscreen()).move(0, outside + QPoint(0, 40), window);
    QTest::touchEvent(window, touchscreen()).release(0, outside + QPoint(0, 40), window);
    QApplication::processEvents();
    EXPECT_EQ(ui.presenter->presentedDialog(), nullptr);
    EXPECT_FALSE(ui.pen_dialog->pickerShown());
    EXPECT_EQ(client->canvas().pen_properties.color, colour);

    // The nickname view, by a single click: not even a dot.
    QTest::mouseClick(ui.nickname_button, Qt::LeftButton);
    ASSERT_EQ(ui.presenter->presentedDialog(), ui.nickname_view);
    QTest::mouseClick(client->view(), Qt::LeftButton, {}, outside);
    EXPECT_EQ(ui.presenter->presentedDialog(), nullptr);

    // The button that opened a popover closes it; another button goes on to its own work.
    QTest::mouseClick(ui.pen_button, Qt::LeftButton);
    QTest::mouseClick(ui.pen_button, Qt::LeftButton);
    EXPECT_EQ(ui.presenter->presentedDialog(), nullptr);
    QTest::mouseClick(ui.pen_button, Qt::LeftButton);
    QTest::mouseClick(ui.nickname_button, Qt::LeftButton);
    EXPECT_EQ(ui.presenter->presentedDialog(), ui.nickname_view);
    QTest::mouseClick(client->view(), Qt::LeftButton, {}, outside);
    EXPECT_EQ(ui.presenter->presentedDialog(), nullptr);

    EXPECT_TRUE(client->recorder.calls.empty()) << client->recorder.calls.front();
    EXPECT_TRUE(client->canvas().strokes_history.empty());

    // With the popover closed, the same press draws again.
    QTest::mouseClick(client->view(), Qt::LeftButton, {}, outside);
    EXPECT_EQ(client->canvas().strokes_history.size(), 1u);
}

TEST(DialogWiring, EscapeClosesTheDialogAndReturnApplies) {
    for (const QSize size : {TabletSize, PhoneSize}) {
        SCOPED_TRACE(size.width());
        const auto client = launched(size);
        const auto& ui = client->ui;
        const int width_before = client->canvas().pen_properties.width;

        QTest::mouseClick(ui.pen_button, Qt::LeftButton);
        ui.pen_dialog->pen_width_slider->setValue(20.0f);
        QTest::keyClick(ui.pen_dialog, Qt::Key_Escape);
        EXPECT_EQ(ui.presenter->presentedDialog(), nullptr);
        EXPECT_EQ(client->canvas().pen_properties.width, width_before);

        QTest::mouseClick(ui.pen_button, Qt::LeftButton);
        ui.pen_dialog->pen_width_slider->setValue(20.0f);
        ui.pen_dialog->layer_btns->setSelectedSegmentIndex(1);
        // Wherever the keyboard is in the window.
        QTest::keyClick(client->view(), Qt::Key_Return);
        EXPECT_EQ(ui.presenter->presentedDialog(), nullptr);
        EXPECT_EQ(client->canvas().pen_properties.width, client->canvas().geometry.toUnits(20));
        EXPECT_EQ(client->canvas().layer_index, 1u);

        // The picker in front: Return applies its colour; Escape closes it, and on a phone
        // only it, since it covers the dialog there.
        QTest::mouseClick(ui.pen_button, Qt::LeftButton);
        QTest::mouseClick(ui.pen_dialog->pen_color_btns->segment(2), Qt::LeftButton);
        ui.pen_dialog->hsbcolorpicker->penhsbcolbox->setColor({1.0f, 0.0f, 0.0f});
        QTest::keyClick(ui.pen_dialog->hsbcolorpicker, Qt::Key_Enter);
        EXPECT_FALSE(ui.pen_dialog->pickerShown());
        EXPECT_EQ(ui.presenter->presentedDialog(), ui.pen_dialog);
        EXPECT_EQ(static_cast<uint32_t>(client->canvas().pen_properties.color), 0xFFFF0000u);
        QTest::mouseClick(ui.pen_dialog->pen_color_btns->segment(2), Qt::LeftButton);
        QTest::keyClick(ui.pen_dialog->hsbcolorpicker, Qt::Key_Escape);
        EXPECT_FALSE(ui.pen_dialog->pickerShown());
        if (ui.viewController->idiom == velmo::app::Idiom::Phone) {
            EXPECT_EQ(ui.presenter->presentedDialog(), ui.pen_dialog);
            QTest::keyClick(ui.pen_dialog, Qt::Key_Escape);
        }
        EXPECT_EQ(ui.presenter->presentedDialog(), nullptr);

        // The nickname view has nothing to apply: Return stays with its fields.
        QTest::mouseClick(ui.nickname_button, Qt::LeftButton);
        ui.nickname_view->nickname_field->setFocus();
        ui.nickname_view->nickname_field->setText("ha na");
        QTest::keyClick(ui.nickname_view->nickname_field, Qt::Key_Return);
        EXPECT_EQ(client->canvas().user_nickname, "hana");
        EXPECT_EQ(ui.presenter->presentedDialog(), ui.nickname_view);
        QTest::keyClick(ui.nickname_view->nickname_field, Qt::Key_Escape);
        EXPECT_EQ(ui.presenter->presentedDialog(), nullptr);
        EXPECT_FALSE(ui.nickname_view->isVisible());
        EXPECT_TRUE(client->canvas().strokes_history.empty());
    }
}
