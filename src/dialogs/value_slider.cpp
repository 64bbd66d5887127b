#include "dialogs/value_slider.h"

#include <algorithm>
#include <cmath>

namespace velmo::dialogs {

ValueSlider::ValueSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    setRange(0, Steps);
    connect(this, &QSlider::valueChanged, this, [this](int position) {
        if (programmatic) {
            return;
        }
        current = min_value + (max_value - min_value) * static_cast<float>(position) / Steps;
        if (on_change) {
            on_change();
        }
    });
}

void ValueSlider::setMinimumValue(float v) {
    min_value = v;
    max_value = std::max(max_value, v);
    setValue(current);
}

void ValueSlider::setMaximumValue(float v) {
    max_value = v;
    min_value = std::min(min_value, v);
    setValue(current);
}

void ValueSlider::setValue(float v) {
    current = std::isnan(v) ? min_value : std::clamp(v, min_value, max_value);
    showValue();
}

void ValueSlider::showValue() {
    const float span = max_value - min_value;
    const int position =
        span > 0.0f ? static_cast<int>(std::lround((current - min_value) / span * Steps)) : 0;
    programmatic = true;
    QSlider::setValue(position);
    programmatic = false;
}

} // namespace velmo::dialogs
