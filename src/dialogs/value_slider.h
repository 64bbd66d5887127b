#pragma once

#include <QSlider>

#include <functional>

namespace velmo::dialogs {

// A horizontal slider holding a float value, as the dialogs need: the program may set any
// value within the range exactly (2.999 stays 2.999), while the user moves it in steps of
// 1/1000 of the range. A value outside the range is held at the nearer end. A user's move
// calls the action; a value set by the program does not.
class ValueSlider : public QSlider {
public:
    explicit ValueSlider(QWidget* parent = nullptr);

    void setMinimumValue(float v);
    void setMaximumValue(float v);
    float minimumValue() const { return min_value; }
    float maximumValue() const { return max_value; }
    void setValue(float v);
    float value() const { return current; }
    void setAction(std::function<void()> action) { on_change = std::move(action); }

private:
    static constexpr int Steps = 1000;
    void showValue();

    float min_value = 0.0f;
    float max_value = 1.0f;
    float current = 0.0f;
    bool programmatic = false;
    std::function<void()> on_change;
};

} // namespace velmo::dialogs
