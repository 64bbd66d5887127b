#include "dialogs/hue_line.h"

#include "dialogs/hsb_color.h"
#include "dialogs/sat_bri_box.h"
#include "dialogs/value_slider.h"

#include <QMouseEvent>
#include <QPainter>

namespace velmo::dialogs {

HueLine::HueLine(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void HueLine::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const int w = width();
    const int h = height();
    for (int i = 0; i < w; ++i) {
        const RgbColor c = hsbToRgb(static_cast<double>(i) / w, 1.0, 1.0);
        painter.fillRect(QRect(i, 0, 1, h),
                         QColor::fromRgbF(static_cast<float>(c.red), static_cast<float>(c.green),
                                          static_cast<float>(c.blue)));
    }
}

void HueLine::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || hue_slider == nullptr || width() <= 0) {
        return;
    }
    hue_slider->setValue(static_cast<float>(event->position().x() / width()));
    if (satbribox != nullptr) {
        satbribox->hueChanged();
    }
}

} // namespace velmo::dialogs
