#pragma once

#include <cstdint>

namespace velmo::canvas {

// The pen of a stroke. `color` is 0xAARRGGBB taken as 32 raw bits; the opacity a stroke is
// painted with comes from `density` (0..255), not from the colour's alpha byte.
struct PenProperties {
    int32_t color = static_cast<int32_t>(0xFF000000u);
    // Canvas units. This member default is the one of the set-up geometry (pixel_scale 0.1);
    // code that knows the current geometry builds pens with defaultPen().
    int32_t width = 30;
    int32_t density = 128;

    bool operator==(const PenProperties&) const = default;
};

// The default pen for a geometry: opaque black, 3 pixels wide, half density. The width is
// 3 / pixel_scale in single precision, truncated (2999 at pixel_scale 0.001, not 3000).
PenProperties defaultPen(float pixel_scale);

} // namespace velmo::canvas
