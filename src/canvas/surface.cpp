#include "canvas/surface.h"

#include <algorithm>
#include <cassert>

namespace velmo::canvas {

Surface::Surface(int width, int height, Pixel fill)
    : width_(std::max(width, 0)), height_(std::max(height, 0)),
      pixels_(static_cast<size_t>(width_) * static_cast<size_t>(height_), fill) {
    if (pixels_.empty()) {
        width_ = height_ = 0;
    }
}

void Surface::fill(Pixel value) {
    std::fill(pixels_.begin(), pixels_.end(), value);
}

void Surface::copyFrom(const Surface& other) {
    assert(other.width_ == width_ && other.height_ == height_);
    std::copy(other.pixels_.begin(), other.pixels_.end(), pixels_.begin());
}

} // namespace velmo::canvas
