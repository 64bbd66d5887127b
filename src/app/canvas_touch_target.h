#pragma once

#include "canvas/canvas_engine.h"
#include "canvas/view_transform.h"

namespace velmo::app {

// What the touch routing drives: the canvas's touch operations. Tests put a recorder in
// front of the real canvas.
class CanvasTouchTarget {
public:
    virtual ~CanvasTouchTarget() = default;
    // False before the canvas reset has made the surfaces.
    virtual bool hasDisplayBitmap() const = 0;
    virtual void touchPressedAtX(int x, int y) = 0;
    virtual void touchDraggedAtX(int x, int y) = 0;
    virtual void touchReleasedAtX(int x, int y) = 0;
    virtual void cancelStroke() = 0;
    virtual void changeTransform(const platform::AffineTransform& t0, canvas::ViewPoint a1,
                                 canvas::ViewPoint a2, canvas::ViewPoint b1, canvas::ViewPoint b2,
                                 bool fix) = 0;
    // Wheel, touchpad pinch and scroll: zoom about a view point, move the view (view points).
    virtual void zoomAtViewPoint(float factor, canvas::ViewPoint at) = 0;
    virtual void panView(float dx, float dy) = 0;
};

// The canvas engine as the target.
class EngineTouchTarget : public CanvasTouchTarget {
public:
    explicit EngineTouchTarget(canvas::CanvasEngine& engine_) : engine(engine_) {}
    bool hasDisplayBitmap() const override { return !engine.display_bitmap.empty(); }
    void touchPressedAtX(int x, int y) override { engine.touchPressedAtX(x, y); }
    void touchDraggedAtX(int x, int y) override { engine.touchDraggedAtX(x, y); }
    void touchReleasedAtX(int x, int y) override { engine.touchReleasedAtX(x, y); }
    void cancelStroke() override { engine.cancelStroke(); }
    void changeTransform(const platform::AffineTransform& t0, canvas::ViewPoint a1,
                         canvas::ViewPoint a2, canvas::ViewPoint b1, canvas::ViewPoint b2,
                         bool fix) override {
        engine.changeTransform(t0, a1, a2, b1, b2, fix);
    }
    void zoomAtViewPoint(float factor, canvas::ViewPoint at) override {
        engine.zoomAtViewPoint(factor, at);
    }
    void panView(float dx, float dy) override { engine.panView(dx, dy); }

private:
    canvas::CanvasEngine& engine;
};

} // namespace velmo::app
