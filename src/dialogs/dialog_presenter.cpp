#include "dialogs/dialog_presenter.h"

#include <QEvent>
#include <QFrame>

#include <algorithm>

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

DialogPresenter::DialogPresenter(QWidget& main_view_, Idiom idiom)
    : main_view(main_view_), main_view_alive(&main_view_), device_idiom(idiom),
      resize_watcher(std::make_unique<ResizeWatcher>(*this)) {
    main_view.installEventFilter(resize_watcher.get());
}

DialogPresenter::~DialogPresenter() {
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

void DialogPresenter::displayViewController(QWidget* dialog, QWidget* button, QWidget* view) {
    if (dialog == nullptr) {
        return;
    }
    if (presented) {
        dismissCurrentModalViewControllerFrom(&main_view);
    }
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
        anchor = button != nullptr ? QRect(button->mapTo(view, QPoint(0, 0)), button->size())
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
