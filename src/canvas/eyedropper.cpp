#include "canvas/eyedropper.h"

#include <cmath>

namespace velmo::canvas {

std::optional<uint32_t> sampleColor(const Surface& display, float px, float py) {
    // Compare before truncating: -0.5 truncates to column 0 but lies outside the picture.
    if (!(px >= 0.0f && py >= 0.0f && px < static_cast<float>(display.width()) &&
          py < static_cast<float>(display.height()))) {
        return std::nullopt;
    }
    const Argb p = unpackPixel(display.at(static_cast<int>(px), static_cast<int>(py)));
    // The display is opaque, so its colour bytes are the plain colour; its alpha is ignored.
    return 0xFF000000u | uint32_t{p.r} << 16 | uint32_t{p.g} << 8 | uint32_t{p.b};
}

} // namespace velmo::canvas
