#pragma once

#include "canvas/surface.h"

#include <optional>
#include <string>

namespace velmo::server {

// The surface as an 8-bit RGBA PNG file (colours un-premultiplied). Nothing if libpng fails.
std::optional<std::string> encodePng(const canvas::Surface& surface);

} // namespace velmo::server
