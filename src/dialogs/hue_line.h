#pragma once

#include <QWidget>

namespace velmo::dialogs {

class SatBriBox;
class ValueSlider;

// The hue strip: every column shows the hue of its position at full saturation and
// brightness. Where a press starts sets the hue slider and redraws the square; moving along
// the strip changes nothing.
class HueLine : public QWidget {
public:
    explicit HueLine(QWidget* parent = nullptr);

    // Not owned; both set before the strip is used.
    ValueSlider* hue_slider = nullptr;
    SatBriBox* satbribox = nullptr;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
};

} // namespace velmo::dialogs
