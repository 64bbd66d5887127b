#pragma once

#include <QWidget>

class QPushButton;

namespace velmo::dialogs {

class ColorBox;
class HueLine;
class SatBriBox;
class ValueSlider;

// The colour picker's view, 280 x 480 points: the hue strip, the hue slider, the
// saturation/brightness square, the preview box and the apply and cancel buttons. The
// square is drawn anew whenever the hue slider moves, by the user or by a strip tap.
// Its owner connects the two buttons.
class HSBColorPicker : public QWidget {
public:
    static constexpr int Width = 280;
    static constexpr int Height = 480;

    explicit HSBColorPicker(QWidget* parent = nullptr);

    HueLine* hue_line = nullptr;
    ValueSlider* hue_slider = nullptr;
    SatBriBox* satbribox = nullptr;
    ColorBox* penhsbcolbox = nullptr;
    QPushButton* apply_button = nullptr;
    QPushButton* cancel_button = nullptr;
};

} // namespace velmo::dialogs
