#pragma once

#include <QPointF>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>

namespace velmo::canvas {
class CanvasEngine;
}

namespace velmo::app {

class MWCanvasDisplay;

// A strip of the pen's colour along the bottom of the pen button, so the colour the next
// stroke takes is always in sight. It follows the button's size; refresh after the pen's
// colour may have changed. The button owns it; the canvas must outlive it.
class PenSwatch : public QWidget {
public:
    static constexpr int StripHeight = 4;

    PenSwatch(QWidget& button, const canvas::CanvasEngine& canvas);
    void refresh();
    // Refreshes whenever `dialog` (which chooses the pen's colour) closes.
    void refreshWhenHidden(QWidget& dialog);
    // The colour shown, 0xAARRGGBB with the alpha byte opaque.
    uint32_t shownColor() const { return shown; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void place();

    const canvas::CanvasEngine& canvas;
    uint32_t shown = 0xFF000000u;
};

// The outline of the brush at the pointer over the canvas: a circle as wide as the pen draws
// at the current zoom, while drawing is the mode. It covers the canvas view, takes no mouse
// event, and follows the view's size; the view, the display and the canvas must outlive it.
class BrushOutline : public QWidget {
public:
    BrushOutline(QWidget& view, const MWCanvasDisplay& display, const canvas::CanvasEngine& canvas,
                 std::function<bool()> drawing);

    // Where the circle is centred (view points), none while the pointer is away; and its
    // diameter in view points.
    std::optional<QPointF> centre() const { return at; }
    double diameter() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void moveTo(std::optional<QPointF> point);
    QRectF circleAt(QPointF point) const;

    const MWCanvasDisplay& display;
    const canvas::CanvasEngine& canvas;
    std::function<bool()> drawing;
    std::optional<QPointF> at;
};

} // namespace velmo::app
