#pragma once

#include "platform/affine_transform.h"

namespace velmo::canvas {

using platform::AffineTransform;

struct ViewPoint {
    float x = 0.0f;
    float y = 0.0f;
};

// How the display shows the surfaces: surface pixel p appears at the canvas-view point
// zoom_scale * p + shift. Zoom and pan change only this, never pixels.
struct ViewTransform {
    float zoom_scale = 1.0f;
    float shift_x = 0.0f;
    float shift_y = 0.0f;

    // View point to surface pixel position, unrounded.
    float transx(float x) const { return (x - shift_x) / zoom_scale; }
    float transy(float y) const { return (y - shift_y) / zoom_scale; }

    // Zoom `z` about the pivot (px, py): the pivot, read as a surface position, is shown at the
    // view point (px, py). The previous shift is discarded.
    void updateZoomScale(float z, float px, float py);
    // Multiplies the zoom by `factor` (the result held within the zoom slider's range) so that
    // the surface position shown at the view point (px, py) stays there.
    void zoomAbout(float factor, float px, float py);

    // The display transform (applied about the centre of a width x height display) that shows
    // p at zoom_scale * p + shift; exact for even sizes, half a point off per odd axis.
    AffineTransform displayTransform(int width, int height) const;

    bool operator==(const ViewTransform&) const = default;
};

// The zoom slider is logarithmic: zoom = e^(value / 40), its value from -120 to 120.
inline constexpr float MinZoomSliderValue = -120.0f;
inline constexpr float MaxZoomSliderValue = 120.0f;
float zoomForSliderValue(float value);
float sliderValueForZoom(float zoom);

// A two-finger gesture step: fingers started at a1, a2 and are now at b1, b2.
struct GestureStep {
    enum class Kind { Ignored, Pan, Zoom };
    Kind kind = Kind::Ignored;
    float ratio = 1.0f; // finger distance now / at the start (zoom)
    float dx = 0.0f;    // movement of the fingers' midpoint (pan)
    float dy = 0.0f;
};

// A distance ratio strictly between 0.8 and 1.2 is a pan, anything else a zoom. Start points
// that coincide give no ratio, and a ratio of zero would collapse the picture: both are
// ignored rather than stored.
GestureStep classifyGesture(ViewPoint a1, ViewPoint a2, ViewPoint b1, ViewPoint b2);

// The display transform that shows a gesture live, from the transform t0 at its start.
AffineTransform liveGestureTransform(const AffineTransform& t0, const GestureStep& step,
                                     ViewPoint a1, float zoom_scale, int width, int height);

} // namespace velmo::canvas
