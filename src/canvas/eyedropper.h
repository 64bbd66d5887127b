#pragma once

#include "canvas/surface.h"

#include <cstdint>
#include <optional>

namespace velmo::canvas {

// The colour of the display pixel under the surface position (px, py), as an opaque pen
// colour 0xFFRRGGBB. A position outside the surface picks nothing.
std::optional<uint32_t> sampleColor(const Surface& display, float px, float py);

} // namespace velmo::canvas
