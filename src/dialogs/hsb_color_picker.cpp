#include "dialogs/hsb_color_picker.h"

#include "dialogs/color_box.h"
#include "dialogs/hue_line.h"
#include "dialogs/sat_bri_box.h"
#include "dialogs/value_slider.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

#include <algorithm>

namespace velmo::dialogs {

HSBColorPicker::HSBColorPicker(QWidget* parent) : QWidget(parent) {
    setObjectName("hsbcolorpicker");
    setAutoFillBackground(true);
    resize(Width, Height);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 8, 0, 8);
    column->setSpacing(8);

    auto* title_row = new QHBoxLayout();
    title_row->setContentsMargins(8, 0, 8, 0);
    title_row->addWidget(new QLabel(tr("Colour"), this));
    title_row->addStretch();
    title_row->addWidget(new QLabel(tr("Hex"), this));
    hex_field = new QLineEdit(this);
    hex_field->setObjectName("hex_field");
    hex_field->setMaxLength(9);
    hex_field->setFixedWidth(90);
    hex_field->setPlaceholderText(QStringLiteral("#RRGGBB"));
    hex_field->setToolTip(tr("The colour as #RRGGBB, six hexadecimal digits"));
    title_row->addWidget(hex_field);
    column->addLayout(title_row);

    hue_line = new HueLine(this);
    hue_line->setFixedSize(Width, 32);
    column->addWidget(hue_line, 0, Qt::AlignHCenter);

    hue_slider = new ValueSlider(this);
    hue_slider->setMinimumValue(0.0f);
    hue_slider->setMaximumValue(1.0f);
    column->addWidget(hue_slider);

    satbribox = new SatBriBox(this);
    satbribox->setFixedSize(Width, Width);
    column->addWidget(satbribox, 0, Qt::AlignHCenter);

    auto* bottom = new QHBoxLayout();
    bottom->setContentsMargins(8, 0, 8, 0);
    penhsbcolbox = new ColorBox(this);
    penhsbcolbox->setFixedSize(64, 40);
    bottom->addWidget(penhsbcolbox);
    bottom->addStretch();
    cancel_button = new QPushButton(tr("Cancel"), this);
    apply_button = new QPushButton(tr("Apply"), this);
    apply_button->setDefault(true);
    bottom->addWidget(cancel_button);
    bottom->addWidget(apply_button);
    column->addLayout(bottom);
    column->addStretch();

    hue_line->hue_slider = hue_slider;
    hue_line->satbribox = satbribox;
    satbribox->hue_slider = hue_slider;
    satbribox->pencolbox = penhsbcolbox;
    hue_slider->setAction([this] { satbribox->hueChanged(); });
    penhsbcolbox->color_set = [this] { showHex(); };
    connect(hex_field, &QLineEdit::textEdited, this,
            [this](const QString& text) { hexEdited(text); });
    // Leaving the field with text that is no colour brings the preview's back.
    connect(hex_field, &QLineEdit::editingFinished, this, [this] {
        if (hexRefused()) {
            showHex();
        }
    });
}

QString hexOfColor(const RgbColor& color) {
    const auto bits = static_cast<uint32_t>(penColorOfRgb(color)) & 0xFFFFFFu;
    return QStringLiteral("#%1").arg(bits, 6, 16, QChar('0')).toUpper();
}

std::optional<RgbColor> colorOfHex(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral("^#?([0-9A-Fa-f]{6})$"));
    const QRegularExpressionMatch match = pattern.match(text.trimmed());
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const uint32_t bits = match.captured(1).toUInt(nullptr, 16);
    // Half a step above each byte, so the pen, which truncates, takes exactly the bytes typed.
    const auto channel = [bits](int shift) {
        return std::min(1.0, (((bits >> shift) & 0xFFu) + 0.5) / 255.0);
    };
    return RgbColor{channel(16), channel(8), channel(0)};
}

bool HSBColorPicker::hexRefused() const {
    return hex_field->property("refused").toBool();
}

void HSBColorPicker::hexEdited(const QString& text) {
    const std::optional<RgbColor> color = colorOfHex(text);
    // Marked while what is typed is no colour; the preview keeps the last one.
    hex_field->setProperty("refused", !color.has_value());
    hex_field->setStyleSheet(color ? QString()
                                   : QStringLiteral("QLineEdit { border: 2px solid #D02020; }"));
    if (!color) {
        return;
    }
    if (const auto hue = hueOfPenColor(penColorOfRgb(*color))) {
        hue_slider->setValue(*hue);
        satbribox->hueChanged();
    }
    penhsbcolbox->color_set = nullptr;
    penhsbcolbox->setColor(*color);
    penhsbcolbox->color_set = [this] { showHex(); };
}

void HSBColorPicker::showHex() {
    hex_field->setProperty("refused", false);
    hex_field->setStyleSheet(QString());
    hex_field->setText(hexOfColor(penhsbcolbox->color()));
}

} // namespace velmo::dialogs
