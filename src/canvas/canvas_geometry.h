#pragma once

namespace velmo::canvas {

// Truncation toward zero, as a cast does, but saturating at +-2^30 where a cast would be
// undefined or later sums would overflow: a view zoomed far out or a stroke from outside can
// carry any float, and no surface comes near that size.
constexpr int truncateToInt(float v) {
    constexpr float limit = 1073741824.0f;
    if (v != v) {
        return 0;
    }
    if (v >= limit) {
        return 1 << 30;
    }
    if (v <= -limit) {
        return -(1 << 30);
    }
    return static_cast<int>(v);
}

// The pixel grid of the canvas and its scale to canvas units. Every device draws into the
// same logical 320000 x 480000 unit canvas; `pixel_scale` is pixels per unit, the larger of
// the two axis ratios, so the whole width (or, on screens narrower than 2:3, the whole height)
// maps onto the logical canvas.
struct CanvasGeometry {
    static constexpr float LogicalWidth = 320000.0f;
    static constexpr float LogicalHeight = 480000.0f;

    // The values before the screen size is known.
    int canvas_width = 32;
    int canvas_height = 48;
    float pixel_scale = 0.1f;

    // Fixes the grid from a screen size in points. Fractions are truncated for the grid, but
    // the scale uses the unrounded size.
    void setScreenSize(float width, float height);

    // Pixel to unit, truncated toward zero, in single precision (100 px at 0.001 is 99999).
    int toUnits(float pixels) const { return truncateToInt(pixels / pixel_scale); }
    float toPixels(int units) const { return static_cast<float>(units) * pixel_scale; }

    bool operator==(const CanvasGeometry&) const = default;
};

} // namespace velmo::canvas
