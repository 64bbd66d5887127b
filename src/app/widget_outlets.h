#pragma once

#include "platform/canvas_outlets.h"

#include <functional>

class QLabel;
class QString;
class QLineEdit;
class QSlider;
class QWidget;

namespace velmo::dialogs {
class SegmentedControl;
}

namespace velmo::app {

class MWCanvasDisplay;
class PresentUsersLabel;

// The canvas outlets as widgets. The widgets belong to the window and must outlive this.
class WidgetOutlets : public platform::CanvasOutlets {
public:
    // The zoom slider holds ten steps per unit of the slider value (zoom = e^(value / 40)).
    static constexpr int ZoomSliderSteps = 10;

    struct Widgets {
        dialogs::SegmentedControl* draw_mode_button;
        QLabel* info_label;
        QWidget* spuit_view;
        QSlider* zoom_slider;
        MWCanvasDisplay* display;
        PresentUsersLabel* present_users;
    };
    explicit WidgetOutlets(const Widgets& widgets) : w(widgets) {}

    // The search field lives in the nickname view, which needs the canvas these outlets are
    // made for; so it comes later, before the canvas loads its saved search text.
    void setSearchBar(QLineEdit* field) { search_bar = field; }

    int drawMode() const override;
    void selectDrawMode(int index) override;
    void setInfoText(const std::string& text) override;
    // The window's title: the canvas ID and the program's name.
    void showCanvasID(const std::string& canvas_id) override;
    static QString windowTitle(const std::string& canvas_id);
    // Shown on the info line for `message_milliseconds`, then the info text is back.
    void showMessage(const std::string& text) override;
    void showSwatch(float red, float green, float blue, float center_x, float center_y) override;
    void hideSwatch() override;
    float swatchHeight() const override;
    void setZoomSliderValue(float value) override;
    void setZoomSliderVisible(bool visible) override;
    void setSearchText(const std::string& text) override;
    void invalidateDisplayRect(int x, int y, int width, int height) override;
    void invalidateDisplay() override;
    void setDisplayTransform(const platform::AffineTransform& transform) override;
    platform::AffineTransform displayTransform() const override;
    // The "here:" line, on the toolbar or just below it.
    void showPresentUsers(const std::vector<std::string>& nicknames) override;
    // Drawn by the display over the picture.
    void showPenMarkers(const std::vector<PenMarker>& markers) override;

    // The slider's value in the canvas's terms.
    float zoomSliderValue() const;
    // Shows the zoom in percent ("250 %") at each change of the display's transform; none
    // until set.
    void setZoomLabel(QLabel* label);
    static QString zoomPercentText(float zoom);

    // Called after each new info text (the canvas sets one at every change of its layer and
    // its canvas), for the controls that show the same.
    std::function<void()> info_shown;

    int message_milliseconds = 5000;

private:
    Widgets w;
    QLineEdit* search_bar = nullptr;
    QLabel* zoom_label = nullptr;
};

} // namespace velmo::app
