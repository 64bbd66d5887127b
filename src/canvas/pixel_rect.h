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

    // The part lying in both; empty when they do not meet.
    PixelRect intersected(const PixelRect& other) const {
        const int left = std::max(x, other.x);
        const int top = std::max(y, other.y);
        const int r = std::min(right(), other.right());
        const int b = std::min(bottom(), other.bottom());
        if (empty() || other.empty() || r <= left || b <= top) {
            return {};
        }
        return {left, top, r - left, b - top};
    }
    bool intersects(const PixelRect& other) const { return !intersected(other).empty(); }
    // True when every pixel of `other` lies in this one; an empty one lies in any.
    bool contains(const PixelRect& other) const {
        return other.empty() || (!empty() && other.x >= x && other.y >= y &&
                                 other.right() <= right() && other.bottom() <= bottom());
    }
    long long area() const { return empty() ? 0 : static_cast<long long>(width) * height; }

    bool operator==(const PixelRect&) const = default;
};

} // namespace velmo::canvas
