#pragma once

#include "canvas/surface.h"

#include <optional>
#include <string>

namespace velmo::png {

// The surface as a PNG file: 8-bit RGBA, colours un-premultiplied (alpha kept), and no
// colour-space chunk: the pixels are device RGB, and the file claims nothing more. Decoding
// and premultiplying again gives the surface's bytes exactly. Nothing for an empty surface or
// when libpng fails. Thread-safe: no state is shared between calls.
std::optional<std::string> encodePng(const canvas::Surface& surface);

} // namespace velmo::png
