#pragma once

#include "dialogs/hsb_color.h"

#include <QString>
#include <QWidget>

#include <optional>

class QLineEdit;
class QPushButton;

namespace velmo::dialogs {

class ColorBox;
class HueLine;
class SatBriBox;
class ValueSlider;

// The colour picker's view, 280 x 480 points: the hue strip, the hue slider, the
// saturation/brightness square, the preview box and the apply and cancel buttons. The
// square is drawn anew whenever the hue slider moves, by the user or by a strip tap.
// Its owner connects the two buttons. The hexadecimal field shows the preview colour as
// #RRGGBB and sets it when six hexadecimal digits are typed (the "#" may be left out); other
// text is refused: the field is marked and the preview stays.
class HSBColorPicker : public QWidget {
public:
    static constexpr int Width = 280;
    static constexpr int Height = 480;

    explicit HSBColorPicker(QWidget* parent = nullptr);

    HueLine* hue_line = nullptr;
    ValueSlider* hue_slider = nullptr;
    SatBriBox* satbribox = nullptr;
    ColorBox* penhsbcolbox = nullptr;
    QLineEdit* hex_field = nullptr;
    QPushButton* apply_button = nullptr;
    QPushButton* cancel_button = nullptr;

    // True while the field holds text that is no colour.
    bool hexRefused() const;

private:
    void hexEdited(const QString& text);
    void showHex();
};

// "#RRGGBB" of a colour (each channel truncated to 8 bits, as the pen takes it).
QString hexOfColor(const RgbColor& color);
// The colour of "#RRGGBB" or "RRGGBB" (either case, spaces around ignored); nothing for
// anything else.
std::optional<RgbColor> colorOfHex(const QString& text);

} // namespace velmo::dialogs
