#include "app/velmorastra_view_controller.h"

#include "canvas/canvas_geometry.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QNativeGestureEvent>
#include <QTouchEvent>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace velmo::app {

VelmorastraViewController::VelmorastraViewController(CanvasTouchTarget& canvas_,
                                                     platform::CanvasOutlets& outlets_)
    : canvas(&canvas_), outlets(outlets_) {}

int VelmorastraViewController::truncated(double v) {
    return canvas::truncateToInt(static_cast<float>(v));
}

canvas::ViewPoint VelmorastraViewController::locationOf(int id) const {
    const auto it = locations.find(id);
    if (it == locations.end()) {
        return {};
    }
    return {static_cast<float>(it->second.x()), static_cast<float>(it->second.y())};
}

void VelmorastraViewController::remember(const std::vector<Touch>& touches) {
    for (const Touch& touch : touches) {
        locations[touch.id] = touch.location;
    }
}

void VelmorastraViewController::touchesBegan(const std::vector<Touch>& touches) {
    remember(touches);
    if (!canvas->hasDisplayBitmap()) {
        return;
    }
    for (const Touch& touch : touches) {
        if (!touch_1st) {
            if (!touch_2nd) {
                touch_1st = touch.id;
                canvas->touchPressedAtX(truncated(touch.location.x()),
                                        truncated(touch.location.y()));
            }
        } else if (!touch_2nd && touch.id != *touch_1st) {
            touch_2nd = touch.id;
            startpt_1st = locationOf(*touch_1st);
            startpt_2nd = locationOf(*touch_2nd);
            display_trans = outlets.displayTransform();
            canvas->cancelStroke();
        }
    }
}

void VelmorastraViewController::touchesMoved(const std::vector<Touch>& touches) {
    remember(touches);
    if (!canvas->hasDisplayBitmap() || !touch_1st) {
        return;
    }
    const canvas::ViewPoint first = locationOf(*touch_1st);
    if (!touch_2nd) {
        canvas->touchDraggedAtX(truncated(first.x), truncated(first.y));
        return;
    }
    canvas->changeTransform(display_trans, startpt_1st, startpt_2nd, first, locationOf(*touch_2nd),
                            false);
}

void VelmorastraViewController::touchesEnded(const std::vector<Touch>& touches,
                                             int touches_on_view) {
    remember(touches);
    if (!canvas->hasDisplayBitmap()) {
        return;
    }
    const auto contains = [&](int id) {
        return std::any_of(touches.begin(), touches.end(),
                           [id](const Touch& t) { return t.id == id; });
    };
    if (touch_1st) {
        const canvas::ViewPoint first = locationOf(*touch_1st);
        if (!touch_2nd) {
            canvas->touchReleasedAtX(truncated(first.x), truncated(first.y));
            touch_1st.reset();
        } else if (contains(*touch_1st) || contains(*touch_2nd)) {
            canvas->changeTransform(display_trans, startpt_1st, startpt_2nd, first,
                                    locationOf(*touch_2nd), true);
            touch_1st.reset();
        }
    }
    if (static_cast<int>(touches.size()) == touches_on_view) {
        touch_1st.reset();
        touch_2nd.reset();
    }
}

void VelmorastraViewController::touchesCancelled() {
    std::vector<Touch> tracked;
    for (const auto& id : {touch_1st, touch_2nd}) {
        if (id) {
            tracked.push_back({*id, locations.count(*id) ? locations.at(*id) : QPointF()});
        }
    }
    if (canvas->hasDisplayBitmap() && !tracked.empty()) {
        touchesEnded(tracked, static_cast<int>(tracked.size()));
    }
    touch_1st.reset();
    touch_2nd.reset();
    locations.clear();
}

bool VelmorastraViewController::touchEvent(QTouchEvent* event) {
    if (event->type() == QEvent::TouchCancel) {
        touchesCancelled();
        return true;
    }
    std::vector<Touch> pressed;
    std::vector<Touch> moved;
    std::vector<Touch> released;
    // A stationary finger stays where it was last seen.
    for (const QEventPoint& point : event->points()) {
        switch (point.state()) {
        case QEventPoint::Pressed:
            pressed.push_back({point.id(), point.position() * view_scale});
            break;
        case QEventPoint::Updated:
            moved.push_back({point.id(), point.position() * view_scale});
            break;
        case QEventPoint::Released:
            released.push_back({point.id(), point.position() * view_scale});
            break;
        default:
            break;
        }
    }
    // Every finger's place is known before any of the three steps looks at one.
    remember(pressed);
    remember(moved);
    remember(released);
    if (!pressed.empty()) {
        touchesBegan(pressed);
    }
    if (!moved.empty()) {
        touchesMoved(moved);
    }
    if (!released.empty()) {
        touchesEnded(released, static_cast<int>(event->points().size()));
        for (const Touch& touch : released) {
            locations.erase(touch.id);
        }
    }
    return true;
}

bool VelmorastraViewController::mouseEvent(QMouseEvent* event) {
    // Mouse events that Qt made up from touches were handled as touches already.
    if (event->source() != Qt::MouseEventNotSynthesized) {
        return false;
    }
    const Touch mouse{MouseTouchID, event->position() * view_scale};
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        if (event->button() != Qt::LeftButton || locations.count(MouseTouchID)) {
            return false;
        }
        touchesBegan({mouse});
        return true;
    case QEvent::MouseMove:
        if (!(event->buttons() & Qt::LeftButton) || !locations.count(MouseTouchID)) {
            return false;
        }
        touchesMoved({mouse});
        return true;
    case QEvent::MouseButtonRelease:
        if (event->button() != Qt::LeftButton || !locations.count(MouseTouchID)) {
            return false;
        }
        touchesEnded({mouse}, 1);
        locations.erase(MouseTouchID);
        return true;
    default:
        return false;
    }
}

bool VelmorastraViewController::wheelEvent(QWheelEvent* event) {
    if (!canvas->hasDisplayBitmap()) {
        return false;
    }
    const QPoint angle = event->angleDelta();
    const QPointF at = event->position() * view_scale;
    if (event->modifiers() & Qt::ControlModifier) {
        const int notches_eighths = angle.y() != 0 ? angle.y() : angle.x();
        if (notches_eighths == 0) {
            return false;
        }
        const double factor = std::pow(WheelNotchZoom, notches_eighths / 120.0);
        canvas->zoomAtViewPoint(static_cast<float>(factor),
                                {static_cast<float>(at.x()), static_cast<float>(at.y())});
        return true;
    }
    // A touchpad tells its movement in points; a wheel in notches.
    QPointF delta = event->pixelDelta();
    if (delta.isNull()) {
        delta = QPointF(angle) * (WheelNotchPan / 120.0);
    }
    // Shift turns the wheel sideways, unless the system has done so already.
    if ((event->modifiers() & Qt::ShiftModifier) && delta.x() == 0.0) {
        delta = QPointF(delta.y(), 0.0);
    }
    if (delta.isNull()) {
        return false;
    }
    delta *= view_scale;
    canvas->panView(static_cast<float>(delta.x()), static_cast<float>(delta.y()));
    return true;
}

bool VelmorastraViewController::nativeGestureEvent(QNativeGestureEvent* event) {
    if (event->gestureType() != Qt::ZoomNativeGesture || !canvas->hasDisplayBitmap()) {
        return false;
    }
    // The value is the change of scale since the last event: 0.1 is ten per cent larger.
    const QPointF at = event->position() * view_scale;
    canvas->zoomAtViewPoint(static_cast<float>(1.0 + event->value()),
                            {static_cast<float>(at.x()), static_cast<float>(at.y())});
    return true;
}

bool VelmorastraViewController::keyEvent(QKeyEvent* event) {
    return event->key() == Qt::Key_Escape && cancelMouseStroke();
}

bool VelmorastraViewController::cancelMouseStroke() {
    if (!locations.count(MouseTouchID)) {
        return false;
    }
    touchesCancelled();
    return true;
}

} // namespace velmo::app
