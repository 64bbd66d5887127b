#include "dialogs/pen_dialog.h"

#include "canvas/canvas_engine.h"
#include "dialogs/color_box.h"
#include "dialogs/dialog_presenter.h"
#include "dialogs/hsb_color.h"
#include "dialogs/hsb_color_picker.h"
#include "dialogs/sat_bri_box.h"
#include "dialogs/segmented_control.h"
#include "dialogs/value_slider.h"
#include "platform/settings_store.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace velmo::dialogs {

namespace {

constexpr uint32_t Black = 0xFF000000u;
constexpr uint32_t White = 0xFFFFFFFFu;

} // namespace

PenDialog::PenDialog(canvas::CanvasEngine& canvas_, DialogPresenter& presenter_,
                     QWidget& main_view_)
    : QWidget(&main_view_), canvas(canvas_), presenter(presenter_), main_view(main_view_) {
    hide();
    setObjectName("penpropviewcontroller");
    setAutoFillBackground(true);
    resize(DialogPresenter::PopoverWidth, DialogPresenter::PopoverHeight);

    // The dialog's own controls keep to a 320-point column, so the picker can stand beside it.
    panel = new QWidget(this);
    panel->setGeometry(0, 0, DialogPresenter::PopoverWidth, DialogPresenter::PopoverHeight);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(10);

    auto* title = new QLabel(tr("Pen"), panel);
    title->setAlignment(Qt::AlignCenter);
    column->addWidget(title);

    column->addWidget(new QLabel(tr("Colour"), panel));
    auto* color_row = new QHBoxLayout();
    pen_color_btns = new SegmentedControl({tr("Black"), tr("White"), tr("Colour")},
                                          SegmentedControl::Place::Dialog, panel);
    pendlgcolbox = new ColorBox(panel);
    pendlgcolbox->setFixedSize(40, 32);
    color_row->addWidget(pen_color_btns, 1);
    color_row->addWidget(pendlgcolbox);
    column->addLayout(color_row);
    auto* recent_row = new QHBoxLayout();
    recent_row->setSpacing(4);
    recent_row->addWidget(new QLabel(tr("Recent"), panel));
    for (size_t i = 0; i < RecentColorCount; ++i) {
        auto* recent = new QToolButton(panel);
        recent->setObjectName(QStringLiteral("recent_color%1").arg(i));
        recent->setFixedSize(24, 24);
        recent->hide();
        const int index = static_cast<int>(i);
        connect(recent, &QToolButton::clicked, this, [this, index] { recentColorPressed(index); });
        recent_buttons.append(recent);
        recent_row->addWidget(recent);
    }
    recent_row->addStretch();
    column->addLayout(recent_row);

    auto* grid = new QGridLayout();
    grid->addWidget(new QLabel(tr("Width"), panel), 0, 0);
    pen_width_slider = new ValueSlider(panel);
    grid->addWidget(pen_width_slider, 0, 1);
    width_value = new QLabel(panel);
    width_value->setMinimumWidth(48);
    grid->addWidget(width_value, 0, 2);
    grid->addWidget(new QLabel(tr("Density"), panel), 1, 0);
    pen_density_slider = new ValueSlider(panel);
    grid->addWidget(pen_density_slider, 1, 1);
    density_value = new QLabel(panel);
    grid->addWidget(density_value, 1, 2);
    column->addLayout(grid);

    column->addWidget(new QLabel(tr("Layer"), panel));
    layer_btns = new SegmentedControl({tr("Normal"), tr("Multiply"), tr("Screen")},
                                      SegmentedControl::Place::Dialog, panel);
    column->addWidget(layer_btns);
    column->addStretch();

    auto* buttons = new QHBoxLayout();
    cancel_button = new QPushButton(tr("Cancel"), panel);
    apply_button = new QPushButton(tr("Apply"), panel);
    apply_button->setDefault(true);
    buttons->addWidget(cancel_button);
    buttons->addStretch();
    buttons->addWidget(apply_button);
    column->addLayout(buttons);

    hsbcolorpicker = new HSBColorPicker(this);
    hsbcolorpicker->hide();

    pen_width_slider->setAction([this] { showSliderValues(); });
    pen_density_slider->setAction([this] { showSliderValues(); });
    pen_color_btns->setAction([this] { penRadioButtonPressed(); });
    connect(apply_button, &QPushButton::clicked, this, [this] { applyPenPropDialog(); });
    connect(cancel_button, &QPushButton::clicked, this, [this] { dismissPenPropDialog(); });
    connect(hsbcolorpicker->apply_button, &QPushButton::clicked, this,
            [this] { applyHSBColorPicker(); });
    connect(hsbcolorpicker->cancel_button, &QPushButton::clicked, this,
            [this] { dismissHSBColorPicker(); });
}

void PenDialog::showPenPropDialog(QWidget* button) {
    if (pickerShown()) {
        dismissHSBColorPicker();
    }
    setColorButton(canvas.pen_properties.color);
    rememberColor(canvas.pen_properties.color);
    pen_width_slider->setMinimumValue(1.0f);
    pen_width_slider->setMaximumValue(25.0f);
    pen_width_slider->setValue(static_cast<float>(canvas.pen_properties.width) *
                               canvas.geometry.pixel_scale);
    pen_density_slider->setMinimumValue(0.0f);
    pen_density_slider->setMaximumValue(255.0f);
    pen_density_slider->setValue(static_cast<float>(canvas.pen_properties.density));
    layer_btns->setSelectedSegmentIndex(static_cast<int>(canvas.layer_index));
    showSliderValues();
    presenter.displayViewController(this, button, &main_view,
                                    {[this] { cancelTopmost(); }, [this] { applyTopmost(); }});
}

void PenDialog::cancelTopmost() {
    // On a phone the picker is a view of its own over the dialog: it alone goes back. A
    // popover closes whole, the picker beside the dialog with it.
    const bool picker_on_top = pickerShown();
    if (picker_on_top) {
        dismissHSBColorPicker();
        if (presenter.idiom() == Idiom::Phone) {
            return;
        }
    }
    dismissPenPropDialog();
}

void PenDialog::applyTopmost() {
    if (pickerShown()) {
        applyHSBColorPicker();
    } else {
        applyPenPropDialog();
    }
}

void PenDialog::applyPenPropDialog() {
    canvas.pen_properties.width =
        canvas::truncateToInt(pen_width_slider->value() / canvas.geometry.pixel_scale);
    canvas.pen_properties.density = canvas::truncateToInt(pen_density_slider->value());
    // Also for the current layer: it re-takes the layer's snapshot and refreshes the info line.
    const int layer = layer_btns->selectedSegmentIndex();
    if (layer >= 0) {
        canvas.setLayerIndex(static_cast<unsigned>(layer));
    }
    presenter.dismissCurrentModalViewControllerFrom(&main_view);
}

void PenDialog::dismissPenPropDialog() {
    presenter.dismissCurrentModalViewControllerFrom(&main_view);
}

void PenDialog::penRadioButtonPressed() {
    switch (pen_color_btns->selectedSegmentIndex()) {
    case 0:
        canvas.pen_properties.color = static_cast<int32_t>(Black);
        setColorBoxes();
        rememberColor(canvas.pen_properties.color);
        break;
    case 1:
        canvas.pen_properties.color = static_cast<int32_t>(White);
        setColorBoxes();
        rememberColor(canvas.pen_properties.color);
        break;
    case 2:
        showHSBColorPicker();
        break;
    default:
        break;
    }
}

void PenDialog::setColorBoxes() {
    const RgbColor color = rgbOfPenColor(canvas.pen_properties.color);
    pendlgcolbox->setColor(color);
    hsbcolorpicker->penhsbcolbox->setColor(color);
}

void PenDialog::setColorButton(int32_t color) {
    const auto bits = static_cast<uint32_t>(color);
    pen_color_btns->setSelectedSegmentIndex(bits == Black ? 0 : bits == White ? 1 : 2);
    setColorBoxes();
}

void PenDialog::showHSBColorPicker() {
    auto* hue_slider = hsbcolorpicker->hue_slider;
    hue_slider->setMinimumValue(0.0f);
    hue_slider->setMaximumValue(1.0f);
    setColorBoxes();
    // Greys have no hue: the slider stays where the user left it.
    if (const auto hue = hueOfPenColor(canvas.pen_properties.color)) {
        hue_slider->setValue(*hue);
    }
    hsbcolorpicker->satbribox->hueChanged();
    if (presenter.idiom() == Idiom::Tablet && presenter.popoverController != nullptr) {
        const int wide = DialogPresenter::PopoverWidth + HSBColorPicker::Width;
        presenter.setPopoverContentSize(QSize(wide, DialogPresenter::PopoverHeight));
        hsbcolorpicker->setGeometry(DialogPresenter::PopoverWidth, 0, HSBColorPicker::Width,
                                    DialogPresenter::PopoverHeight);
    } else {
        // A phone has no room beside the dialog: the picker covers it.
        hsbcolorpicker->setGeometry(rect());
    }
    hsbcolorpicker->show();
    hsbcolorpicker->raise();
}

void PenDialog::applyHSBColorPicker() {
    canvas.pen_properties.color = penColorOfRgb(hsbcolorpicker->penhsbcolbox->color());
    setColorBoxes();
    pen_color_btns->setSelectedSegmentIndex(2);
    rememberColor(canvas.pen_properties.color);
    dismissHSBColorPicker();
}

void PenDialog::rememberColor(int32_t color) {
    // Opaque, as the pen draws it.
    const auto bits = static_cast<int32_t>(static_cast<uint32_t>(color) | 0xFF000000u);
    std::erase(recent_colors, bits);
    recent_colors.insert(recent_colors.begin(), bits);
    if (recent_colors.size() > RecentColorCount) {
        recent_colors.resize(RecentColorCount);
    }
    showRecentColors();
    if (recent_store != nullptr) {
        std::vector<std::string> texts;
        for (const int32_t kept : recent_colors) {
            // From the bits, not through the picker's floating-point channels.
            const uint32_t rgb = static_cast<uint32_t>(kept) & 0xFFFFFFu;
            texts.push_back(QStringLiteral("#%1").arg(rgb, 6, 16, QChar('0')).toStdString());
        }
        recent_store->setStringList(RecentColorsKey, texts);
        recent_store->synchronize();
    }
}

void PenDialog::keepRecentColorsIn(platform::SettingsStore& store) {
    recent_store = &store;
    recent_colors.clear();
    for (const std::string& text :
         store.stringList(RecentColorsKey).value_or(std::vector<std::string>{})) {
        const std::optional<RgbColor> rgb = colorOfHex(QString::fromStdString(text));
        if (!rgb || recent_colors.size() == RecentColorCount) {
            continue;
        }
        const int32_t bits = penColorOfRgb(*rgb);
        if (std::find(recent_colors.begin(), recent_colors.end(), bits) == recent_colors.end()) {
            recent_colors.push_back(bits);
        }
    }
    showRecentColors();
}

void PenDialog::recentColorPressed(int index) {
    if (index < 0 || static_cast<size_t>(index) >= recent_colors.size()) {
        return;
    }
    canvas.pen_properties.color = recent_colors[static_cast<size_t>(index)];
    setColorButton(canvas.pen_properties.color);
    rememberColor(canvas.pen_properties.color);
}

void PenDialog::showRecentColors() {
    for (int i = 0; i < recent_buttons.size(); ++i) {
        QToolButton* button = recent_buttons[i];
        if (static_cast<size_t>(i) >= recent_colors.size()) {
            button->hide();
            continue;
        }
        const QString hex = hexOfColor(rgbOfPenColor(recent_colors[static_cast<size_t>(i)]));
        button->setStyleSheet(
            QStringLiteral("QToolButton { background: %1; border: 1px solid #808080; }").arg(hex));
        button->setToolTip(hex);
        button->show();
    }
}

void PenDialog::dismissHSBColorPicker() {
    hsbcolorpicker->hide();
    if (presenter.popoverController != nullptr) {
        presenter.setPopoverContentSize(
            QSize(DialogPresenter::PopoverWidth, DialogPresenter::PopoverHeight));
    }
}

bool PenDialog::pickerShown() const {
    return !hsbcolorpicker->isHidden();
}

void PenDialog::showSliderValues() {
    width_value->setText(QString::number(pen_width_slider->value(), 'f', 1));
    density_value->setText(QString::number(static_cast<int>(pen_density_slider->value())));
}

} // namespace velmo::dialogs
