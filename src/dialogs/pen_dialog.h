#pragma once

#include <QWidget>

#include <QList>

#include <cstdint>
#include <vector>

class QLabel;
class QPushButton;
class QToolButton;

namespace velmo::canvas {
class CanvasEngine;
}
namespace velmo::platform {
class SettingsStore;
}

namespace velmo::dialogs {

class ColorBox;
class DialogPresenter;
class HSBColorPicker;
class SegmentedControl;
class ValueSlider;

// The pen dialog and its colour picker. The controls are filled from the canvas's pen and
// layer each time the dialog opens and read back only on apply; a colour chosen with the
// colour buttons or the picker reaches the pen at once and stays even when the dialog is
// cancelled. Widths are held in canvas units and shown in pixels.
//
// The dialog shows itself through the presenter: in the 320 x 480 popover on a tablet, where
// the picker opens beside it (the popover widens to 600 x 480), or over the whole window on
// a phone, where the picker covers the dialog. The dialog is a hidden child of the main view
// from construction, so the main view's widget tree owns it; the canvas and the presenter
// must outlive it.
class PenDialog : public QWidget {
public:
    PenDialog(canvas::CanvasEngine& canvas, DialogPresenter& presenter, QWidget& main_view);

    // The pen button of the main screen.
    void showPenPropDialog(QWidget* button);
    void applyPenPropDialog();
    void dismissPenPropDialog();
    // A change of the colour buttons: black, white, or the picker for a colour of one's own.
    void penRadioButtonPressed();
    // Paints both swatches in the pen colour (opaque; the alpha byte is ignored).
    void setColorBoxes();
    void setColorButton(int32_t color);

    // The colours the pen had last, newest first, each once: a colour chosen here (black,
    // white, the picker's, a recent one) or the pen's when the dialog opens (as the
    // eyedropper left it). A press on one makes it the pen's colour.
    static constexpr size_t RecentColorCount = 8;
    void rememberColor(int32_t color);
    const std::vector<int32_t>& recentColors() const { return recent_colors; }
    void recentColorPressed(int index);
    // Keeps the recent colours in `store` under RecentColorsKey ("#rrggbb" texts, newest
    // first), and takes those it holds now; entries that are not such a text are skipped.
    // The store must outlive the dialog.
    static constexpr const char* RecentColorsKey = "RecentColors";
    void keepRecentColorsIn(platform::SettingsStore& store);

    void showHSBColorPicker();
    // The preview colour becomes the pen colour, each channel truncated to 8 bits.
    void applyHSBColorPicker();
    void dismissHSBColorPicker();
    bool pickerShown() const;

    // Escape, or a press outside the popover: the picker's or the dialog's Cancel. Return:
    // the Apply of whichever is in front.
    void cancelTopmost();
    void applyTopmost();

    SegmentedControl* pen_color_btns = nullptr;
    ValueSlider* pen_width_slider = nullptr;
    ValueSlider* pen_density_slider = nullptr;
    SegmentedControl* layer_btns = nullptr;
    ColorBox* pendlgcolbox = nullptr;
    QPushButton* apply_button = nullptr;
    QPushButton* cancel_button = nullptr;
    HSBColorPicker* hsbcolorpicker = nullptr;
    // One a recent colour, hidden while it has none.
    QList<QToolButton*> recent_buttons;

private:
    void showSliderValues();
    void showRecentColors();

    canvas::CanvasEngine& canvas;
    DialogPresenter& presenter;
    QWidget& main_view;
    QWidget* panel = nullptr;
    QLabel* width_value = nullptr;
    QLabel* density_value = nullptr;
    std::vector<int32_t> recent_colors;
    platform::SettingsStore* recent_store = nullptr;
};

} // namespace velmo::dialogs
