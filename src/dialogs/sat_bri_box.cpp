#include "dialogs/sat_bri_box.h"

#include "dialogs/color_box.h"
#include "dialogs/hsb_color.h"
#include "dialogs/value_slider.h"

#include <QMouseEvent>
#include <QPainter>

namespace velmo::dialogs {

SatBriBox::SatBriBox(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

float SatBriBox::hue() const {
    return hue_slider != nullptr ? hue_slider->value() : 0.0f;
}

void SatBriBox::paintEvent(QPaintEvent*) {
    // The whole square every time: a hue change repaints every cell anyway.
    QPainter painter(this);
    const int w = width();
    const int h = height();
    if (w <= 0 || h <= 0) {
        return;
    }
    const CellGrid grid = satBriCells(w, h);
    const double hue_value = hue();
    for (int y = 0; y < h; y += grid.step_y) {
        const double brightness = static_cast<double>(h - y) / h;
        for (int x = 0; x < w; x += grid.step_x) {
            const RgbColor c = hsbToRgb(hue_value, static_cast<double>(x) / w, brightness);
            painter.fillRect(QRect(x, y, grid.step_x, grid.step_y),
                             QColor::fromRgbF(static_cast<float>(c.red),
                                              static_cast<float>(c.green),
                                              static_cast<float>(c.blue)));
        }
    }
}

void SatBriBox::touchAt(QPointF point) {
    if (pencolbox == nullptr || width() <= 0 || height() <= 0) {
        return;
    }
    const double saturation = point.x() / width();
    const double brightness = (height() - point.y()) / height();
    pencolbox->setColor(hsbToRgb(hue(), saturation, brightness));
}

void SatBriBox::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        touchAt(event->position());
    }
}

void SatBriBox::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() & Qt::LeftButton) {
        touchAt(event->position());
    }
}

} // namespace velmo::dialogs
