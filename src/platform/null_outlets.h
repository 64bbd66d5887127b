#pragma once

#include "platform/canvas_outlets.h"

#include <string>

namespace velmo::platform {

// Outlets for a canvas with no controls around it (the bot, benchmarks): everything shown is
// dropped. The draw mode and the display transform are remembered, because the canvas reads
// back what it set.
class NullOutlets : public CanvasOutlets {
public:
    int drawMode() const override { return draw_mode; }
    void selectDrawMode(int index) override { draw_mode = index; }
    void setInfoText(const std::string&) override {}
    void showCanvasID(const std::string&) override {}
    void showMessage(const std::string&) override {}
    void showSwatch(float, float, float, float, float) override {}
    void hideSwatch() override {}
    float swatchHeight() const override { return 40.0f; }
    void setZoomSliderValue(float) override {}
    void setZoomSliderVisible(bool) override {}
    void setSearchText(const std::string&) override {}
    void invalidateDisplayRect(int, int, int, int) override {}
    void invalidateDisplay() override {}
    void setDisplayTransform(const AffineTransform& t) override { transform = t; }
    AffineTransform displayTransform() const override { return transform; }

private:
    int draw_mode = 0;
    AffineTransform transform;
};

} // namespace velmo::platform
