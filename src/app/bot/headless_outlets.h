#pragma once

#include "platform/canvas_outlets.h"

namespace velmo::bot {

// Canvas outlets with no window: the draw mode and the display transform are remembered,
// everything shown is dropped.
class HeadlessOutlets : public platform::CanvasOutlets {
public:
    int drawMode() const override { return draw_mode; }
    void selectDrawMode(int index) override { draw_mode = index; }
    void setInfoText(const std::string&) override {}
    void showSwatch(float, float, float, float, float) override {}
    void hideSwatch() override {}
    float swatchHeight() const override { return 40.0f; }
    void setZoomSliderValue(float) override {}
    void setZoomSliderVisible(bool) override {}
    void setSearchText(const std::string&) override {}
    void invalidateDisplayRect(int, int, int, int) override {}
    void invalidateDisplay() override {}
    void setDisplayTransform(const platform::AffineTransform& t) override { transform = t; }
    platform::AffineTransform displayTransform() const override { return transform; }

private:
    int draw_mode = 0;
    platform::AffineTransform transform;
};

} // namespace velmo::bot
