#pragma once

#include "app/canvas_touch_target.h"
#include "app/command_line.h"
#include "platform/canvas_outlets.h"

#include <QPointF>

#include <map>
#include <optional>
#include <vector>

class QKeyEvent;
class QMouseEvent;
class QNativeGestureEvent;
class QTouchEvent;
class QWheelEvent;

namespace velmo::app {

// The main view controller: it turns the canvas view's touches into canvas input. One
// finger draws (or picks a colour, or pans, by draw mode); a second finger cancels the
// stroke and the two pan or zoom the view until one of them lifts, when the result is fixed.
// Further fingers are ignored, and after a gesture nothing happens until every finger is up.
//
// Touches are told apart by their point IDs; the mouse's left button is one more finger.
// A cancelled touch sequence ends like a release of every tracked finger. The event adapters
// take the events' view points times `view_scale` (the canvas's device pixels a view point
// holds) as locations, which are passed on truncated toward zero.
class VelmorastraViewController {
public:
    // The id the mouse uses as a finger; touch point ids are never negative.
    static constexpr int MouseTouchID = -1;
    // One wheel notch (120 eighths of a degree) pans this many view points, or zooms by
    // this factor with Ctrl.
    static constexpr double WheelNotchPan = 40.0;
    static constexpr double WheelNotchZoom = 1.25;

    struct Touch {
        int id = 0;
        QPointF location;
    };

    // `outlets` gives the display's transform; both must outlive the controller.
    VelmorastraViewController(CanvasTouchTarget& canvas, platform::CanvasOutlets& outlets);

    // Event adapters; each returns whether it took the event.
    bool touchEvent(QTouchEvent* event);
    bool mouseEvent(QMouseEvent* event);
    // Ctrl+wheel zooms about the pointer, a wheel pans (vertically; horizontally with Shift
    // or a sideways wheel); a touchpad pinch zooms about the pointer.
    bool wheelEvent(QWheelEvent* event);
    bool nativeGestureEvent(QNativeGestureEvent* event);
    // Escape while the mouse draws ends the stroke as a cancelled touch does.
    bool keyEvent(QKeyEvent* event);

    // The routing, with touches already told apart; each takes the touches' locations as
    // their current ones. `touches_on_view` is the number of fingers the event has on the
    // canvas view, the ending ones included.
    void touchesBegan(const std::vector<Touch>& touches);
    void touchesMoved(const std::vector<Touch>& touches);
    void touchesEnded(const std::vector<Touch>& touches, int touches_on_view);
    void touchesCancelled();

    void setTouchTarget(CanvasTouchTarget& target) { canvas = &target; }

    // Ends a stroke the mouse is drawing as a cancelled touch; false when it draws none.
    bool cancelMouseStroke();

    // Canvas pixels per view point: the display's device scale over its preview scale.
    double view_scale = 1.0;

    // How dialogs are presented: popovers on a tablet, else over the whole window.
    Idiom idiom = Idiom::Tablet;

    std::optional<int> touch_1st;
    std::optional<int> touch_2nd;
    canvas::ViewPoint startpt_1st;
    canvas::ViewPoint startpt_2nd;
    platform::AffineTransform display_trans;

private:
    void remember(const std::vector<Touch>& touches);
    canvas::ViewPoint locationOf(int id) const;
    static int truncated(double v);

    CanvasTouchTarget* canvas;
    platform::CanvasOutlets& outlets;
    // The last known location of every finger on the view, so a tracked finger's position
    // is known even in an event that does not list it.
    std::map<int, QPointF> locations;
};

} // namespace velmo::app
