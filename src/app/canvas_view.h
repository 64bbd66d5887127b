#pragma once

#include <QWidget>

namespace velmo::app {

class VelmorastraViewController;

// The canvas's root view: the display lies beneath, the controls on top, and every touch or
// click that no control takes arrives here and goes to the view controller.
class CanvasView : public QWidget {
public:
    explicit CanvasView(QWidget* parent = nullptr);
    // None until the interface is connected; events before that are dropped.
    void setViewController(VelmorastraViewController* controller) { view_controller = controller; }

protected:
    bool event(QEvent* event) override;

private:
    VelmorastraViewController* view_controller = nullptr;
};

} // namespace velmo::app
