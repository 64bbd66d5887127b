#include "dialogs/hsb_color_picker.h"

#include "dialogs/color_box.h"
#include "dialogs/hue_line.h"
#include "dialogs/sat_bri_box.h"
#include "dialogs/value_slider.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace velmo::dialogs {

HSBColorPicker::HSBColorPicker(QWidget* parent) : QWidget(parent) {
    setObjectName("hsbcolorpicker");
    setAutoFillBackground(true);
    resize(Width, Height);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 8, 0, 8);
    column->setSpacing(8);

    auto* title = new QLabel(tr("Colour"), this);
    title->setAlignment(Qt::AlignCenter);
    column->addWidget(title);

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
}

} // namespace velmo::dialogs
