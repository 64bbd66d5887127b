#pragma once

#include <algorithm>

namespace velmo::canvas {

// A rectangle of pixels: columns x .. x + width - 1, rows y .. y + height - 1. Empty when
// width or height is not positive.
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool empty() const { return width <= 0 || height <= 0; }
    int right() const { return x + width; }
    int bottom() const { return y + height; }

    // The part that lies inside a width x height surface; empty when nothing does.
    PixelRect clippedTo(int surface_width, int surface_height) const {
        const int left = std::max(x, 0);
        const int top = std::max(y, 0);
        const int r = std::min(right(), surface_width);
        const int b = std::min(bottom(), surface_height);
        if (r <= left || b <= top) {
            return {};
        }
        return {left, top, r - left, b - top};
    }

    // The smallest rectangle holding both; an empty one adds nothing.
    PixelRect united(const PixelRect& other) const {
        if (other.empty()) {
            return *this;
        }
        if (empty()) {
            return other;
        }
        const int left = std::min(x, other.x);
        const int top = std::min(y, other.y);
        return {left, top, std::max(right(), other.right()) - left,
                std::max(bottom(), other.bottom()) - top};
    }

    bool operator==(const PixelRect&) const = default;
};

} // namespace velmo::canvas
