#include "dialogs/dialog_presenter.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QCoreApplication>
#include <QEvent>
#include <QFrame>
#include <QKeyEvent>

#include <algorithm>
#include <utility>

namespace velmo::dialogs {

class DialogPresenter::ResizeWatcher : public QObject {
public:
    explicit ResizeWatcher(DialogPresenter& presenter_) : presenter(presenter_) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Resize) {
            presenter.mainViewResized();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    DialogPresenter& presenter;
};

// Watches the whole application while a dialog is shown: the presses and keys meant for the
// dialog reach the widgets of the main view's window, wherever the focus or the pointer is.
class DialogPresenter::OutsideWatcher : public QObject {
public:
    explicit OutsideWatcher(DialogPresenter& presenter_) : presenter(presenter_) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // Events reach the native window before its widgets; only the widgets are judged.
        if (!watched->isWidgetType()) {
            return false;
        }
        auto* widget = static_cast<QWidget*>(watched);
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::TouchBegin:
            if (!presenter.outsidePopover(*widget)) {
                return false;
            }
            return presenter.pressedOutside(*widget, *event);
        case QEvent::KeyPress:
            return presenter.inMainWindow(*widget) &&
                   presenter.keyPressed(*static_cast<QKeyEvent*>(event));
        default:
            return false;
        }
    }

private:
    DialogPresenter& presenter;
};

DialogPresenter::DialogPresenter(QWidget& main_view_, Idiom idiom)
    : main_view(main_view_), main_view_alive(&main_view_), device_idiom(idiom),
      resize_watcher(std::make_unique<ResizeWatcher>(*this)),
      outside_watcher(std::make_unique<OutsideWatcher>(*this)) {
    main_view.installEventFilter(resize_watcher.get());
}

DialogPresenter::~DialogPresenter() {
    watchOutside(false);
    // The main view may be gone already when the window is torn down first.
    if (main_view_alive) {
        main_view.removeEventFilter(resize_watcher.get());
    }
}

void DialogPresenter::mainViewResized() {
    if (!presented) {
        return;
    }
    if (popoverController != nullptr) {
        placePopover(popover_size);
    } else if (modal_frame) {
        modal_frame->setGeometry(main_view.rect());
        presented->setGeometry(modal_frame->rect());
    }
}

void DialogPresenter::watchOutside(bool on) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || on == watching) {
        return;
    }
    watching = on;
    if (on) {
        app->installEventFilter(outside_watcher.get());
    } else {
        app->removeEventFilter(outside_watcher.get());
    }
}

bool DialogPresenter::isControl(const QWidget& widget) {
    for (const QWidget* w = &widget; w != nullptr && !w->isWindow(); w = w->parentWidget()) {
        if (qobject_cast<const QAbstractButton*>(w) != nullptr ||
            qobject_cast<const QAbstractSlider*>(w) != nullptr) {
            return true;
        }
    }
    return false;
}

bool DialogPresenter::inMainWindow(const QWidget& widget) const {
    return main_view_alive && widget.window() == main_view.window();
}

bool DialogPresenter::outsidePopover(const QWidget& widget) const {
    if (popoverController == nullptr || !presented || !inMainWindow(widget)) {
        return false;
    }
    return &widget != popover_frame && !popover_frame->isAncestorOf(&widget);
}

bool DialogPresenter::pressedOutside(QWidget& widget, QEvent& press) {
    // Read before the cancel, which forgets the anchor.
    const bool on_anchor =
        anchor_button && (anchor_button == &widget || anchor_button->isAncestorOf(&widget));
    cancelPresented();
    // A press on another control goes on to it (the pen button swaps one popover for the
    // other). Anywhere else, the canvas above all, the press only closes: its moves and
    // release find no press to continue, so nothing is drawn, not even a dot.
    if (!on_anchor && isControl(widget)) {
        return false;
    }
    press.accept();
    return true;
}

bool DialogPresenter::keyPressed(const QKeyEvent& key) {
    if (!presented) {
        return false;
    }
    switch (key.key()) {
    case Qt::Key_Escape:
        return cancelPresented();
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Return stays with the dialog's fields when there is nothing to apply.
        return applyPresented();
    default:
        return false;
    }
}

bool DialogPresenter::cancelPresented() {
    if (!presented) {
        return false;
    }
    if (presented_actions.cancel) {
        // A copy: the action may present another dialog and replace the stored one.
        const auto cancel = presented_actions.cancel;
        cancel();
    } else {
        dismissCurrentModalViewControllerFrom(&main_view);
    }
    return true;
}

bool DialogPresenter::applyPresented() {
    if (!presented || !presented_actions.apply) {
        return false;
    }
    const auto apply = presented_actions.apply;
    apply();
    return true;
}

void DialogPresenter::displayViewController(QWidget* dialog, QWidget* button, QWidget* view,
                                            DialogActions actions) {
    if (dialog == nullptr) {
        return;
    }
    if (presented) {
        dismissCurrentModalViewControllerFrom(&main_view);
    }
    presented_actions = std::move(actions);
    watchOutside(true);
    if (view == nullptr) {
        view = &main_view;
    }
    if (device_idiom == Idiom::Tablet) {
        if (!popover_frame || popover_frame->parentWidget() != view) {
            popover_frame = new QFrame(view);
            popover_frame->setObjectName("popover");
            popover_frame->setFrameShape(QFrame::Box);
            popover_frame->setAutoFillBackground(true);
        }
        anchor_view = view;
        anchor_button = button;
        // Through the screen: the button may lie outside the view, in a row above it.
        anchor = button != nullptr
                     ? QRect(view->mapFromGlobal(button->mapToGlobal(QPoint(0, 0))), button->size())
                     : QRect(0, 0, 0, 0);
        dialog->setParent(popover_frame);
        popoverController = popover_frame;
        presented = dialog;
        placePopover(QSize(PopoverWidth, PopoverHeight));
        dialog->show();
        popover_frame->show();
        popover_frame->raise();
        return;
    }
    popoverController = nullptr;
    if (!modal_frame) {
        modal_frame = new QWidget(&main_view);
        modal_frame->setObjectName("modal");
        modal_frame->setAutoFillBackground(true);
    }
    modal_frame->setGeometry(main_view.rect());
    dialog->setParent(modal_frame);
    dialog->setGeometry(modal_frame->rect());
    presented = dialog;
    dialog->show();
    modal_frame->show();
    modal_frame->raise();
}

void DialogPresenter::dismissCurrentModalViewControllerFrom(QWidget*) {
    if (popoverController != nullptr) {
        popoverController->hide();
        popoverController = nullptr;
    } else if (modal_frame) {
        modal_frame->hide();
    }
    if (presented) {
        presented->hide();
    }
    presented = nullptr;
    presented_actions = {};
    watchOutside(false);
}

void DialogPresenter::setPopoverContentSize(QSize size) {
    if (popoverController == nullptr) {
        return;
    }
    placePopover(size);
}

void DialogPresenter::placePopover(QSize size) {
    popover_size = size;
    QWidget* view = anchor_view ? anchor_view.data() : &main_view;
    // Below the button if it fits, else above it, else beside it; always inside the view
    // as far as the view is large enough.
    QPoint origin(anchor.left(), anchor.bottom() + 1);
    if (origin.y() + size.height() > view->height()) {
        origin.setY(anchor.top() - size.height());
    }
    if (origin.y() < 0) {
        origin = QPoint(anchor.right() + 1, anchor.top());
        if (origin.x() + size.width() > view->width()) {
            origin.setX(anchor.left() - size.width());
        }
    }
    origin.setX(std::clamp(origin.x(), 0, std::max(0, view->width() - size.width())));
    origin.setY(std::clamp(origin.y(), 0, std::max(0, view->height() - size.height())));
    popover_frame->setGeometry(QRect(origin, size));
    if (presented) {
        presented->setGeometry(QRect(QPoint(0, 0), size));
    }
}

} // namespace velmo::dialogs
