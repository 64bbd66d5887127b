#pragma once

#include "platform/canvas_outlets.h"

#include <string>
#include <vector>

namespace velmo::testing {

// Canvas outlets that remember what the canvas asked of them.
class RecordingOutlets : public platform::CanvasOutlets {
public:
    struct Rect {
        int x, y, width, height;
        bool operator==(const Rect&) const = default;
    };

    int drawMode() const override { return draw_mode; }
    void selectDrawMode(int index) override { draw_mode = index; }
    void setInfoText(const std::string& text) override { info_text = text; }
    void showCanvasID(const std::string& id) override { shown_canvas_id = id; }
    void showMessage(const std::string& text) override { messages.push_back(text); }
    void showSwatch(float r, float g, float b, float x, float y) override {
        swatch_visible = true;
        swatch_color[0] = r;
        swatch_color[1] = g;
        swatch_color[2] = b;
        swatch_center_x = x;
        swatch_center_y = y;
    }
    void hideSwatch() override { swatch_visible = false; }
    float swatchHeight() const override { return swatch_height; }
    void setZoomSliderValue(float value) override { zoom_slider_value = value; }
    void setZoomSliderVisible(bool visible) override { zoom_slider_visible = visible; }
    void setSearchText(const std::string& text) override { search_text = text; }
    void invalidateDisplayRect(int x, int y, int width, int height) override {
        invalidated_rects.push_back({x, y, width, height});
    }
    void invalidateDisplay() override { ++full_invalidations; }
    void setDisplayTransform(const platform::AffineTransform& t) override { transform = t; }
    platform::AffineTransform displayTransform() const override { return transform; }
    void showPresentUsers(const std::vector<std::string>& nicknames) override {
        present_users.push_back(nicknames);
    }
    void showPenMarkers(const std::vector<PenMarker>& markers) override {
        pen_markers.push_back(markers);
    }

    int draw_mode = 0;
    std::string info_text;
    std::string shown_canvas_id;
    std::vector<std::string> messages;
    bool swatch_visible = false;
    float swatch_color[3] = {0, 0, 0};
    float swatch_center_x = 0;
    float swatch_center_y = 0;
    float swatch_height = 40;
    float zoom_slider_value = 0;
    bool zoom_slider_visible = false;
    std::string search_text;
    std::vector<Rect> invalidated_rects;
    int full_invalidations = 0;
    // Every request to repaint the display, whole or in part.
    size_t repaints() const {
        return invalidated_rects.size() + static_cast<size_t>(full_invalidations);
    }
    platform::AffineTransform transform;
    // Every list shown, in turn.
    std::vector<std::vector<std::string>> present_users;
    std::vector<std::vector<PenMarker>> pen_markers;
};

} // namespace velmo::testing
