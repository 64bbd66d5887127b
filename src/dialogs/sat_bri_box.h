#pragma once

#include <QWidget>

namespace velmo::dialogs {

class ColorBox;
class ValueSlider;

// The saturation/brightness square for the hue of `hue_slider`: saturation grows to the
// right, brightness to the top, in at most 50 cells each way. A press or a drag (the mouse
// counts as a finger) picks the colour under it into `pencolbox`; positions beyond the box
// are not clamped here, the colour model takes them to the nearer end.
class SatBriBox : public QWidget {
public:
    explicit SatBriBox(QWidget* parent = nullptr);

    // Picks the colour at (x, y), in the box's points.
    void touchAt(QPointF point);
    // The hue slider moved: the square is drawn anew; the preview stays.
    void hueChanged() { update(); }

    // Not owned; both set before the box is used.
    ValueSlider* hue_slider = nullptr;
    ColorBox* pencolbox = nullptr;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    float hue() const;
};

} // namespace velmo::dialogs
