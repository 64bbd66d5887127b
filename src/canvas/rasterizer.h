#pragma once

#include "canvas/pixel_math.h"
#include "canvas/pixel_rect.h"
#include "canvas/surface.h"

#include <cstdint>
#include <span>
#include <vector>

namespace velmo::canvas {

// A source colour, premultiplied, 8 bits a channel, rounded the way the reference 2D library
// rounds a floating-point colour (16-bit intermediate, then the top byte), so that fully
// covered pixels come out identical to its output.
Argb premultipliedSource(float red, float green, float blue, float alpha);
// The same from a pen colour 0xAARRGGBB and an opacity: channel bytes / 255, times `alpha`.
Argb premultipliedSource(uint32_t color, float alpha);

// The geometry of one round-capped segment in pixel space (pixel (i, j) covers the square
// (i, j)..(i + 1, j + 1)), and its anti-aliased coverage of any pixel: the exact box-filtered
// area for the straight sides, and a close approximation near the round ends.
class CapsuleCoverage {
public:
    // With `round_start` false the start is cut straight across (a polyline's joint whose
    // round end the previous segment already paints).
    CapsuleCoverage(float x0, float y0, float x1, float y1, float line_width,
                    bool round_start = true);

    // Coverage of pixel (px, py), 0..255.
    uint8_t at(int px, int py) const;
    // Columns of row `py` whose coverage may be non-zero, as [first, last]; first > last when
    // none. Not clipped.
    void rowSpan(int py, int& first, int& last) const;
    // Columns of row `py` that are covered wholly (coverage 255), the same way.
    void coveredSpan(int py, int& first, int& last) const;
    // Both at once.
    void rowSpans(int py, int& first, int& last, int& full_first, int& full_last) const;
    // True only when every pixel of a `width` x `height` surface surely has coverage 255 (the
    // test leaves a margin for rounding, so a shape that barely covers may give false). Lets a
    // stroke far wider than the surface be painted as the full cover it is.
    bool coversSurface(int width, int height) const;
    // Rows that may be touched, [first, last]. Not clipped.
    int firstRow() const { return first_row_; }
    int lastRow() const { return last_row_; }

private:
    uint8_t capCoverage(float cx, float cy, float t) const;
    // Coverage of the pixel centred at (cx, cy) by the round end at distance `end` along the
    // segment, 0..1.
    float discCoverage(float cx, float cy, float end) const;

    float x0_, y0_, x1_, y1_, ux_, uy_, inv_ux_, inv_uy_, length_, radius_, reach_;
    bool has_inv_ux_, has_inv_uy_, round_start_;
    float a_, b_, inv_a_, inv_2ab_, w1_, w2_, body_margin_, curvature_shift_;
    int first_row_, last_row_;
};

// Our anti-aliasing rasterizer for strokes: round caps and joins, coverage-based edges,
// everything clipped to the target. It keeps scratch memory between calls, so one instance
// serves many strokes without allocating; not thread-safe.
class StrokeRasterizer {
public:
    // Paints one segment from (x0, y0) to (x1, y1) (pixel space) over `target` with normal
    // blending, only inside `clip`. Coincident ends paint a disc of the line width. Gives the
    // pixels touched.
    PixelRect drawSegment(Surface& target, float x0, float y0, float x1, float y1, float line_width,
                          Argb color, PixelRect clip);

    // Paints the polyline through the points (pixel space, `xs.size()` of them, which must not
    // exceed `ys.size()`) as one shape: every pixel is painted once, with the largest coverage
    // any of its segments gives it, so overlaps do not darken. Fewer than two points paint
    // nothing. Gives the pixels touched. The work is bounded by the surface, not by the pen: a
    // segment that covers the whole surface ends the stroke's work with one full cover, and a
    // row that one segment covers wholly is not looked at again by the others.
    PixelRect drawPolyline(Surface& target, std::span<const float> xs, std::span<const float> ys,
                           float line_width, Argb color);
    // The same, painting only inside `clip`: every pixel there comes out exactly as the
    // unclipped paint gives it, so a surface may be painted a piece at a time (bands on
    // several threads, each with a rasterizer of its own, or one changed rectangle).
    PixelRect drawPolyline(Surface& target, std::span<const float> xs, std::span<const float> ys,
                           float line_width, Argb color, PixelRect clip);

private:
    // Paints every pixel of `rect` (inside the target) at full coverage.
    PixelRect fillRect(Surface& target, PixelRect rect, Argb color);

    // One segment's columns in the row being painted (see CapsuleCoverage::rowSpans).
    struct RowSpan {
        int first, last, full_first, full_last;
        uint32_t segment;
    };

    std::vector<uint8_t> coverage_;
    std::vector<CapsuleCoverage> segments_;
    std::vector<uint32_t> order_, active_;
    std::vector<RowSpan> spans_;
};

// Blends `color` over `dst` with an 8-bit coverage mask: dst = color * m + dst * (1 - color.a * m),
// in 8-bit arithmetic with exact rounding.
inline Pixel blendOverWithCoverage(Pixel dst, Pixel color, uint8_t coverage) {
    const Pixel source = coverage == 255 ? color : mulChannels(color, coverage);
    return over(source, dst);
}

// The plain per-pixel version of the rasterizer, walking the whole bounding box with the
// same coverage function; tests hold the fast one to it.
namespace reference {
PixelRect drawPolyline(Surface& target, std::span<const float> xs, std::span<const float> ys,
                       float line_width, Argb color);
} // namespace reference

} // namespace velmo::canvas
