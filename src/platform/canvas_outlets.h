#pragma once

#include "platform/affine_transform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velmo::platform {

// The controls and views around the canvas, as the canvas logic sees them. The window shell
// implements it with widgets; tests record the calls. All calls come on the UI thread.
class CanvasOutlets {
public:
    virtual ~CanvasOutlets() = default;

    // The draw-mode control: 0 drawing, 1 eyedropper, 2 pan; other values act as 0.
    virtual int drawMode() const = 0;
    // Selects a segment without firing the control's action.
    virtual void selectDrawMode(int index) = 0;

    virtual void setInfoText(const std::string& text) = 0;
    // The open canvas's ID changed (another canvas opened, or a fresh ID was made); the
    // window's title names it.
    virtual void showCanvasID(const std::string& canvas_id) = 0;
    // A short message for the user, shown for a while without taking the focus (the server
    // refused a change, say).
    virtual void showMessage(const std::string& text) = 0;

    // The eyedropper swatch: colour components 0..1, centre in canvas-view coordinates.
    virtual void showSwatch(float red, float green, float blue, float center_x, float center_y) = 0;
    virtual void hideSwatch() = 0;
    virtual float swatchHeight() const = 0;

    // Sets the slider without firing its action.
    virtual void setZoomSliderValue(float value) = 0;
    virtual void setZoomSliderVisible(bool visible) = 0;

    virtual void setSearchText(const std::string& text) = 0;

    // The display shows the canvas picture one pixel per unit; these ask it to repaint.
    // Rectangles are in canvas pixels and may reach beyond the picture.
    virtual void invalidateDisplayRect(int x, int y, int width, int height) = 0;
    virtual void invalidateDisplay() = 0;
    // The display's transform, applied about its centre.
    virtual void setDisplayTransform(const AffineTransform& transform) = 0;
    virtual AffineTransform displayTransform() const = 0;

    // Who has the canvas open besides this window, by nickname, in the order they came; empty
    // when nobody else is there or the server does not tell.
    virtual void showPresentUsers(const std::vector<std::string>& nicknames) { (void)nicknames; }
    // The pens of the people drawing now: a nickname at a point in canvas pixels, shown over
    // the picture (with the display's transform) until the next call.
    struct PenMarker {
        std::string nickname;
        float x = 0;
        float y = 0;
        uint32_t color = 0xFF000000u; // the pen's colour, 0xAARRGGBB

        bool operator==(const PenMarker&) const = default;
    };
    virtual void showPenMarkers(const std::vector<PenMarker>& markers) { (void)markers; }
};

} // namespace velmo::platform
