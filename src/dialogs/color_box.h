#pragma once

#include "dialogs/hsb_color.h"

#include <QWidget>

#include <functional>

namespace velmo::dialogs {

// A swatch: a box filled with one colour. The colour is kept as given (0..1 per channel), so
// what is read back is what was set, not what an 8-bit display made of it.
class ColorBox : public QWidget {
public:
    explicit ColorBox(QWidget* parent = nullptr);

    void setColor(const RgbColor& c);
    const RgbColor& color() const { return box_color; }
    // Called after each setColor, for what shows the same colour otherwise.
    std::function<void()> color_set;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    RgbColor box_color;
};

} // namespace velmo::dialogs
