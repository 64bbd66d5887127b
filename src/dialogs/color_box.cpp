#include "dialogs/color_box.h"

#include <QPainter>

namespace velmo::dialogs {

ColorBox::ColorBox(QWidget* parent) : QWidget(parent) {
    setMinimumSize(32, 32);
}

void ColorBox::setColor(const RgbColor& c) {
    box_color = c;
    update();
    if (color_set) {
        color_set();
    }
}

void ColorBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor::fromRgbF(static_cast<float>(box_color.red),
                                              static_cast<float>(box_color.green),
                                              static_cast<float>(box_color.blue)));
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

} // namespace velmo::dialogs
