#pragma once

#include "canvas/surface.h"

#include <optional>
#include <string>

namespace velmo::png {

// The surface as a PNG file: 8-bit RGBA, alpha kept (premultiplied values are divided out).
// Nothing for an empty surface or when the encoder fails.
std::optional<std::string> encodePng(const canvas::Surface& surface);

} // namespace velmo::png
