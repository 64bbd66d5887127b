#include "app/canvas_view.h"

#include "app/velmorastra_view_controller.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QNativeGestureEvent>
#include <QTouchEvent>
#include <QWheelEvent>

namespace velmo::app {

CanvasView::CanvasView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_AcceptTouchEvents);
    // A click on the canvas takes the keyboard, so Escape reaches a stroke being drawn.
    setFocusPolicy(Qt::ClickFocus);
}

bool CanvasView::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
        if (view_controller != nullptr) {
            view_controller->touchEvent(static_cast<QTouchEvent*>(event));
        }
        // Taken even when dropped, so Qt makes up no mouse events from these touches.
        event->accept();
        return true;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::MouseButtonRelease:
        if (view_controller != nullptr &&
            view_controller->mouseEvent(static_cast<QMouseEvent*>(event))) {
            event->accept();
            return true;
        }
        return QWidget::event(event);
    case QEvent::Wheel:
        if (view_controller != nullptr &&
            view_controller->wheelEvent(static_cast<QWheelEvent*>(event))) {
            event->accept();
            return true;
        }
        return QWidget::event(event);
    case QEvent::NativeGesture:
        if (view_controller != nullptr &&
            view_controller->nativeGestureEvent(static_cast<QNativeGestureEvent*>(event))) {
            event->accept();
            return true;
        }
        return QWidget::event(event);
    case QEvent::KeyPress:
        if (view_controller != nullptr &&
            view_controller->keyEvent(static_cast<QKeyEvent*>(event))) {
            event->accept();
            return true;
        }
        return QWidget::event(event);
    default:
        return QWidget::event(event);
    }
}

} // namespace velmo::app
