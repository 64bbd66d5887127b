#include "canvas/view_transform.h"

#include <algorithm>
#include <cmath>

namespace velmo::canvas {

void ViewTransform::updateZoomScale(float z, float px, float py) {
    shift_x = (1.0f - z) * px;
    shift_y = (1.0f - z) * py;
    zoom_scale = z;
}

void ViewTransform::zoomAbout(float factor, float px, float py) {
    if (!std::isfinite(factor) || factor <= 0.0f) {
        return;
    }
    const float z = std::clamp(zoom_scale * factor, zoomForSliderValue(MinZoomSliderValue),
                               zoomForSliderValue(MaxZoomSliderValue));
    const float qx = transx(px);
    const float qy = transy(py);
    zoom_scale = z;
    shift_x = px - z * qx;
    shift_y = py - z * qy;
}

AffineTransform ViewTransform::displayTransform(int width, int height) const {
    const float z = zoom_scale;
    const auto hw = static_cast<float>(width / 2);
    const auto hh = static_cast<float>(height / 2);
    return {z, 0.0f, 0.0f, z, (z - 1.0f) * hw + shift_x, hh * (z - 1.0f) + shift_y};
}

float zoomForSliderValue(float value) {
    return std::exp(value / 40.0f);
}

float sliderValueForZoom(float zoom) {
    return static_cast<float>(std::log(static_cast<double>(zoom)) * 40.0);
}

GestureStep classifyGesture(ViewPoint a1, ViewPoint a2, ViewPoint b1, ViewPoint b2) {
    const float start = std::sqrt((a2.x - a1.x) * (a2.x - a1.x) + (a2.y - a1.y) * (a2.y - a1.y));
    const float now = std::sqrt((b2.x - b1.x) * (b2.x - b1.x) + (b2.y - b1.y) * (b2.y - b1.y));
    const float ratio = now / start;
    GestureStep step;
    if (!std::isfinite(ratio) || ratio <= 0.0f) {
        return step;
    }
    if (ratio > 0.8f && ratio < 1.2f) {
        step.kind = GestureStep::Kind::Pan;
        step.dx = ((b1.x + b2.x) - (a1.x + a2.x)) / 2.0f;
        step.dy = ((b1.y + b2.y) - (a1.y + a2.y)) / 2.0f;
    } else {
        step.kind = GestureStep::Kind::Zoom;
        step.ratio = ratio;
    }
    return step;
}

AffineTransform liveGestureTransform(const AffineTransform& t0, const GestureStep& step,
                                     ViewPoint a1, float zoom_scale, int width, int height) {
    switch (step.kind) {
    case GestureStep::Kind::Pan:
        // Moved in the display's own coordinates, before t0, so the picture moves by d on
        // screen whatever t0's zoom.
        return AffineTransform::then(
            AffineTransform::translation(step.dx / zoom_scale, step.dy / zoom_scale), t0);
    case GestureStep::Kind::Zoom: {
        const auto hw = static_cast<float>(width / 2);
        const auto hh = static_cast<float>(height / 2);
        const float k = 1.0f - step.ratio;
        AffineTransform m = AffineTransform::translation(hw, hh);
        m = AffineTransform::then(m, AffineTransform::scale(step.ratio));
        m = AffineTransform::then(m, AffineTransform::translation(k * a1.x - hw, k * a1.y - hh));
        return AffineTransform::then(m, t0);
    }
    case GestureStep::Kind::Ignored:
        break;
    }
    return t0;
}

} // namespace velmo::canvas
