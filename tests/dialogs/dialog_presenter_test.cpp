#include "dialogs/dialog_presenter.h"

#include <QFrame>
#include <QPushButton>

#include <gtest/gtest.h>

#include <memory>

namespace velmo::dialogs {
namespace {

TEST(DialogPresenter, TabletShowsAPopoverBesideTheButtonInsideTheView) {
    QWidget view;
    view.resize(1024, 768);
    auto* button = new QPushButton("pen", &view);
    button->setGeometry(900, 700, 60, 40);
    auto* dialog = new QWidget(&view);
    DialogPresenter presenter(view, Idiom::Tablet);

    presenter.displayViewController(dialog, button, &view);
    ASSERT_NE(presenter.popoverController, nullptr);
    const QRect frame = presenter.popoverController->geometry();
    EXPECT_EQ(frame.size(), QSize(320, 480));
    EXPECT_TRUE(view.rect().contains(frame));
    // No room below the button: the popover stands above it.
    EXPECT_LE(frame.bottom(), 700);
    EXPECT_EQ(dialog->parentWidget(), presenter.popoverController);
    EXPECT_EQ(dialog->geometry(), QRect(0, 0, 320, 480));

    presenter.setPopoverContentSize(QSize(600, 480));
    EXPECT_EQ(presenter.popoverController->size(), QSize(600, 480));
    EXPECT_TRUE(view.rect().contains(presenter.popoverController->geometry()));

    presenter.dismissCurrentModalViewControllerFrom(&view);
    EXPECT_EQ(presenter.popoverController, nullptr);
    EXPECT_EQ(presenter.presentedDialog(), nullptr);
    EXPECT_TRUE(dialog->isHidden());
}

TEST(DialogPresenter, PhoneCoversTheWholeViewAndStoresNoPopover) {
    QWidget view;
    view.resize(320, 480);
    auto* button = new QPushButton("pen", &view);
    auto* dialog = new QWidget(&view);
    DialogPresenter presenter(view, Idiom::Phone);

    presenter.displayViewController(dialog, button, &view);
    EXPECT_EQ(presenter.popoverController, nullptr);
    EXPECT_EQ(presenter.presentedDialog(), dialog);
    EXPECT_EQ(dialog->mapTo(&view, QPoint(0, 0)), QPoint(0, 0));
    EXPECT_EQ(dialog->size(), view.size());

    presenter.dismissCurrentModalViewControllerFrom(&view);
    EXPECT_EQ(presenter.presentedDialog(), nullptr);
    EXPECT_TRUE(dialog->isHidden());
}

TEST(DialogPresenter, ShownDialogKeepsToTheResizedView) {
    QWidget view;
    view.resize(320, 480);
    auto* dialog = new QWidget(&view);
    DialogPresenter phone(view, Idiom::Phone);
    // A hidden widget hears of its new size only when shown.
    view.show();
    phone.displayViewController(dialog, nullptr, &view);
    view.resize(480, 320);
    EXPECT_EQ(dialog->size(), QSize(480, 320));
    phone.dismissCurrentModalViewControllerFrom(&view);

    QWidget wide;
    wide.resize(1024, 768);
    auto* button = new QPushButton("pen", &wide);
    button->setGeometry(900, 20, 60, 40);
    auto* popover_dialog = new QWidget(&wide);
    DialogPresenter tablet(wide, Idiom::Tablet);
    wide.show();
    tablet.displayViewController(popover_dialog, button, &wide);
    tablet.setPopoverContentSize(QSize(600, 480));
    wide.resize(700, 600);
    ASSERT_NE(tablet.popoverController, nullptr);
    EXPECT_EQ(tablet.popoverController->size(), QSize(600, 480));
    EXPECT_TRUE(wide.rect().contains(tablet.popoverController->geometry()));
}

TEST(DialogPresenter, MayOutliveTheMainView) {
    auto view = std::make_unique<QWidget>();
    DialogPresenter presenter(*view, Idiom::Phone);
    presenter.displayViewController(new QWidget(view.get()), nullptr, view.get());
    // The window goes first, as when the application is torn down; under the sanitizers a
    // presenter still reaching it would be reported.
    view.reset();
    EXPECT_EQ(presenter.presentedDialog(), nullptr);
}

TEST(DialogPresenter, ANewDialogReplacesTheOneShown) {
    QWidget view;
    view.resize(1024, 768);
    auto* first = new QWidget(&view);
    auto* second = new QWidget(&view);
    DialogPresenter presenter(view, Idiom::Tablet);
    presenter.displayViewController(first, nullptr, &view);
    presenter.displayViewController(second, nullptr, &view);
    EXPECT_EQ(presenter.presentedDialog(), second);
    EXPECT_TRUE(first->isHidden());
    EXPECT_FALSE(second->isHidden());
}

} // namespace
} // namespace velmo::dialogs
