#include "canvas/rasterizer.h"

#include "canvas/pixel_math.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmo::canvas {
namespace {

// Half the diagonal of a pixel: a pixel whose centre is farther than this from a shape's edge
// is either wholly inside or wholly outside it.
constexpr float HalfDiagonal = 0.70711f;
// Below this radius the round ends are too curved for the straight-edge formula; there the
// end pixels are sampled instead.
constexpr float ThinRadius = 1.0f;
constexpr int SamplesPerAxis = 8;
constexpr int PrefetchRows = 3;

// Rounding to an int, saturating far outside any surface. Written out because without
// SSE4.1 std::floor and std::ceil are library calls, and these run once a row and segment.
int floorToInt(float v) {
    constexpr float limit = 1 << 30;
    if (!(v > -limit)) {
        return -(1 << 30);
    }
    if (v > limit) {
        return 1 << 30;
    }
    const auto i = static_cast<int>(v);
    return static_cast<float>(i) > v ? i - 1 : i;
}

int ceilToInt(float v) {
    return -floorToInt(-v);
}

// The area of a unit pixel on the inner side of a straight edge at signed distance `t` from
// its centre (positive: centre inside), for an edge whose unit normal has the absolute
// components a >= b. The pixel's extent along the normal is the sum of two uniform
// distributions of widths a and b, so the area is their trapezoid's cumulative distribution.
struct EdgeProfile {
    float a, inv_a, inv_2ab, w1, w2;

    EdgeProfile(float a_, float inv_a_, float inv_2ab_, float w1_, float w2_)
        : a(a_), inv_a(inv_a_), inv_2ab(inv_2ab_), w1(w1_), w2(w2_) {}

    EdgeProfile(float nx, float ny) {
        a = std::max(std::fabs(nx), std::fabs(ny));
        float b = std::min(std::fabs(nx), std::fabs(ny));
        if (b < 1e-6f) {
            b = 0.0f;
        }
        inv_a = 1.0f / a;
        inv_2ab = b > 0.0f ? 1.0f / (2.0f * a * b) : 0.0f;
        w1 = (a - b) * 0.5f;
        w2 = (a + b) * 0.5f;
    }

    float area(float t) const {
        if (t <= -w2) {
            return 0.0f;
        }
        if (t >= w2) {
            return 1.0f;
        }
        if (t < -w1) {
            const float u = t + w2;
            return u * u * inv_2ab;
        }
        if (t <= w1) {
            return 0.5f + t * inv_a;
        }
        const float u = w2 - t;
        return 1.0f - u * u * inv_2ab;
    }
};

// EdgeProfile(nx, ny).area(t) for one use: divides only where the branch taken needs it.
float edgeArea(float nx, float ny, float t) {
    const float a = std::max(std::fabs(nx), std::fabs(ny));
    const float b = std::min(std::fabs(nx), std::fabs(ny));
    const float w2 = (a + b) * 0.5f;
    if (t <= -w2) {
        return 0.0f;
    }
    if (t >= w2) {
        return 1.0f;
    }
    const float w1 = (a - b) * 0.5f;
    if (t < -w1) {
        const float u = t + w2;
        return u * u / (2.0f * a * b);
    }
    if (t <= w1) {
        return 0.5f + t / a;
    }
    const float u = w2 - t;
    return 1.0f - u * u / (2.0f * a * b);
}

uint8_t toByte(float coverage) {
    return static_cast<uint8_t>(std::clamp(coverage, 0.0f, 1.0f) * 255.0f + 0.5f);
}

// Clips the segment to `box` (Liang-Barsky); false when nothing of it is inside. Keeps far-off
// coordinates from costing precision or overflowing integer conversions.
bool clipSegment(double& x0, double& y0, double& x1, double& y1, double left, double top,
                 double right, double bottom) {
    double t0 = 0.0;
    double t1 = 1.0;
    const double dx = x1 - x0;
    const double dy = y1 - y0;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {x0 - left, right - x0, y0 - top, bottom - y0};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0.0) {
            if (q[i] < 0.0) {
                return false;
            }
            continue;
        }
        const double r = q[i] / p[i];
        if (p[i] < 0.0) {
            t0 = std::max(t0, r);
        } else {
            t1 = std::min(t1, r);
        }
        if (t0 > t1) {
            return false;
        }
    }
    const double nx0 = x0 + t0 * dx;
    const double ny0 = y0 + t0 * dy;
    x1 = x0 + t1 * dx;
    y1 = y0 + t1 * dy;
    x0 = nx0;
    y0 = ny0;
    return true;
}

// A segment made ready for a surface: clipped to the surface grown by the stroke's reach, so
// the cut ends (and their caps) fall outside what is painted.
std::optional<CapsuleCoverage> prepareSegment(const Surface& target, float x0, float y0, float x1,
                                              float y1, float line_width, bool round_start) {
    if (!(line_width > 0.0f) || !std::isfinite(line_width) || !std::isfinite(x0) ||
        !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1)) {
        return std::nullopt;
    }
    const double margin = line_width * 0.5 + 2.0;
    double cx0 = x0, cy0 = y0, cx1 = x1, cy1 = y1;
    if (!clipSegment(cx0, cy0, cx1, cy1, -margin, -margin, target.width() + margin,
                     target.height() + margin)) {
        return std::nullopt;
    }
    return CapsuleCoverage(static_cast<float>(cx0), static_cast<float>(cy0),
                           static_cast<float>(cx1), static_cast<float>(cy1), line_width,
                           round_start);
}

// Calls `paint(px, coverage)` for the columns first..last of row `py` whose coverage is not
// zero. The wholly covered middle of the row is not computed pixel by pixel, and neither is a
// pixel for which `done(px)` says nothing more can be added.
template <typename Done, typename Paint>
void forEachCoverage(const CapsuleCoverage& segment, int py, int first, int last, int full_first,
                     int full_last, Done&& done, Paint&& paint) {
    full_first = std::max(full_first, first);
    full_last = std::min(full_last, last);
    if (full_first > full_last) {
        full_first = last + 1;
        full_last = last;
    }
    auto edge = [&](int px) {
        if (done(px)) {
            return;
        }
        if (const uint8_t m = segment.at(px, py); m != 0) {
            paint(px, m);
        }
    };
    for (int px = first; px < full_first; ++px) {
        edge(px);
    }
    for (int px = full_first; px <= full_last; ++px) {
        paint(px, uint8_t{255});
    }
    for (int px = full_last + 1; px <= last; ++px) {
        edge(px);
    }
}

void blendRowScalar(Pixel* row, uint8_t* coverage, int count, Pixel color) {
    for (int i = 0; i < count; ++i) {
        if (coverage[i] != 0) {
            row[i] = blendOverWithCoverage(row[i], color, coverage[i]);
            coverage[i] = 0;
        }
    }
}

void blendRow(Pixel* row, uint8_t* coverage, int count, Pixel color) {
    int i = 0;
#if defined(__SSE2__)
    // Four pixels at a time in 16-bit lanes, the same arithmetic as blendOverWithCoverage:
    // a coverage of 0 leaves the pixel as it is, so no lane needs a branch.
    const __m128i zero = _mm_setzero_si128();
    const __m128i bias = _mm_set1_epi16(128);
    const __m128i full = _mm_set1_epi16(255);
    const __m128i source = _mm_unpacklo_epi8(_mm_set1_epi32(static_cast<int>(color)), zero);
    auto mul255 = [&](__m128i x, __m128i y) {
        const __m128i t = _mm_add_epi16(_mm_mullo_epi16(x, y), bias);
        return _mm_srli_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), 8);
    };
    auto blendTwo = [&](__m128i dst, __m128i m) {
        const __m128i src = mul255(source, m);
        // Alpha is the first byte of each pixel: lanes 0 and 4.
        const __m128i alpha = _mm_shufflehi_epi16(_mm_shufflelo_epi16(src, 0), 0);
        return _mm_adds_epu16(src, mul255(dst, _mm_sub_epi16(full, alpha)));
    };
    for (; i + 4 <= count; i += 4) {
        uint32_t m4 = 0;
        std::memcpy(&m4, coverage + i, 4);
        if (m4 == 0) {
            continue;
        }
        const __m128i m = _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(m4)), zero);
        const __m128i pairs = _mm_unpacklo_epi16(m, m);
        const __m128i m01 = _mm_unpacklo_epi32(pairs, pairs);
        const __m128i m23 = _mm_unpackhi_epi32(pairs, pairs);
        auto* at = reinterpret_cast<__m128i*>(row + i);
        const __m128i pixels = _mm_loadu_si128(at);
        const __m128i lo = blendTwo(_mm_unpacklo_epi8(pixels, zero), m01);
        const __m128i hi = blendTwo(_mm_unpackhi_epi8(pixels, zero), m23);
        _mm_storeu_si128(at, _mm_packus_epi16(lo, hi));
        std::memset(coverage + i, 0, 4);
    }
#endif
    blendRowScalar(row + i, coverage + i, count - i, color);
}

} // namespace

Argb premultipliedSource(float red, float green, float blue, float alpha) {
    // Clamp, premultiply in double, widen to 16 bits rounding to nearest, keep the top byte.
    auto channel = [](double v) {
        v = std::clamp(v, 0.0, 1.0);
        return static_cast<uint8_t>(static_cast<uint32_t>(v * 65535.0 + 0.5) >> 8);
    };
    const double a = std::isnan(alpha) ? 0.0 : std::clamp<double>(alpha, 0.0, 1.0);
    return {channel(a), channel(red * a), channel(green * a), channel(blue * a)};
}

Argb premultipliedSource(uint32_t color, float alpha) {
    auto component = [](uint32_t byte) { return static_cast<float>(byte / 255.0); };
    return premultipliedSource(component((color >> 16) & 0xFF), component((color >> 8) & 0xFF),
                               component(color & 0xFF), alpha);
}

CapsuleCoverage::CapsuleCoverage(float x0, float y0, float x1, float y1, float line_width,
                                 bool round_start)
    : x0_(x0), y0_(y0), ux_(1.0f), uy_(0.0f), length_(0.0f), radius_(line_width * 0.5f) {
    const float dx = x1 - x0;
    const float dy = y1 - y0;
    const float length = std::sqrt(dx * dx + dy * dy);
    if (length > 1e-4f) {
        length_ = length;
        ux_ = dx / length;
        uy_ = dy / length;
    }
    // A dot is its round end.
    round_start_ = round_start || length_ == 0.0f;
    const EdgeProfile profile(ux_, uy_);
    a_ = profile.a;
    b_ = std::min(std::fabs(ux_), std::fabs(uy_));
    inv_a_ = profile.inv_a;
    inv_2ab_ = profile.inv_2ab;
    w1_ = profile.w1;
    w2_ = profile.w2;
    // A pixel lies wholly between the two end lines when its centre is this far inside them.
    body_margin_ = w2_;
    reach_ = radius_ + HalfDiagonal;
    x1_ = x0_ + ux_ * length_;
    y1_ = y0_ + uy_ * length_;
    has_inv_ux_ = std::fabs(ux_) > 1e-7f;
    has_inv_uy_ = std::fabs(uy_) > 1e-7f;
    inv_ux_ = has_inv_ux_ ? 1.0f / ux_ : 0.0f;
    inv_uy_ = has_inv_uy_ ? 1.0f / uy_ : 0.0f;
    curvature_shift_ = radius_ > 0.0f ? 1.0f / (24.0f * radius_) : 0.0f;
    first_row_ = floorToInt(std::min(y0, y1) - reach_);
    last_row_ = ceilToInt(std::max(y0, y1) + reach_);
}

bool CapsuleCoverage::coversSurface(int width, int height) const {
    if (width <= 0 || height <= 0) {
        return false;
    }
    // The coverage is worked out in single precision: keep clear of the edge by more than its
    // rounding at these magnitudes.
    const double magnitude =
        std::max({std::fabs(x0_), std::fabs(y0_), std::fabs(x1_), std::fabs(y1_), radius_,
                  static_cast<float>(width), static_cast<float>(height)});
    const double slack = 1.0 + magnitude * 1e-5;
    const double limit = static_cast<double>(radius_) - HalfDiagonal - slack;
    if (!(limit > 0.0)) {
        return false;
    }
    const double corners[4][2] = {
        {0.5, 0.5}, {width - 0.5, 0.5}, {0.5, height - 0.5}, {width - 0.5, height - 0.5}};
    // Each of the regions below is convex and wholly painted at 255 by at(), so holding the
    // four corner pixel centres means holding every pixel centre between them.
    auto all = [&](auto&& inside) {
        return std::all_of(std::begin(corners), std::end(corners),
                           [&](const double(&c)[2]) { return inside(c[0], c[1]); });
    };
    auto along = [&](double cx, double cy) { return (cx - x0_) * ux_ + (cy - y0_) * uy_; };
    auto nearSegment = [&](double cx, double cy) {
        const double t = std::clamp(along(cx, cy), 0.0, static_cast<double>(length_));
        const double ex = cx - (x0_ + t * ux_);
        const double ey = cy - (y0_ + t * uy_);
        return ex * ex + ey * ey <= limit * limit;
    };
    auto nearEnd = [&](double cx, double cy) {
        const double ex = cx - x1_;
        const double ey = cy - y1_;
        return ex * ex + ey * ey <= limit * limit;
    };
    if (round_start_) {
        return all(nearSegment);
    }
    return all(nearEnd) || all([&](double cx, double cy) {
               return along(cx, cy) >= HalfDiagonal + slack && nearSegment(cx, cy);
           });
}

void CapsuleCoverage::rowSpan(int py, int& first, int& last) const {
    int unused_first = 0;
    int unused_last = 0;
    rowSpans(py, first, last, unused_first, unused_last);
}

void CapsuleCoverage::coveredSpan(int py, int& first, int& last) const {
    int unused_first = 0;
    int unused_last = 0;
    rowSpans(py, unused_first, unused_last, first, last);
}

void CapsuleCoverage::rowSpans(int py, int& first, int& last, int& full_first,
                               int& full_last) const {
    const float yc = static_cast<float>(py) + 0.5f;
    const float ey = yc - y0_;
    const float ey_along = ey * uy_;
    const float ey_across = ey * ux_;
    // Pixel centres within `reach` of the shape: the end discs, and the band across the
    // segment from `band_start` to its end, which is linear in x on this row.
    auto span = [&](float reach, float band_start, int& span_first, int& span_last) {
        span_first = 1;
        span_last = 0;
        if (!(reach > 0.0f)) {
            return;
        }
        float lo = std::numeric_limits<float>::infinity();
        float hi = -lo;
        const float r2 = reach * reach;
        auto disc = [&](float cx, float dy) {
            if (dy * dy < r2) {
                const float half = std::sqrt(r2 - dy * dy);
                lo = std::min(lo, cx - half);
                hi = std::max(hi, cx + half);
            }
        };
        if (round_start_) {
            disc(x0_, ey);
        }
        if (length_ > 0.0f) {
            disc(x1_, yc - y1_);
            float from = -std::numeric_limits<float>::infinity();
            float to = std::numeric_limits<float>::infinity();
            bool inside = true;
            if (has_inv_ux_) {
                const float p = (band_start - ey_along) * inv_ux_;
                const float q = (length_ - ey_along) * inv_ux_;
                from = std::min(p, q);
                to = std::max(p, q);
            } else if (ey_along < band_start || ey_along > length_) {
                inside = false;
            }
            if (has_inv_uy_) {
                const float p = (ey_across + reach) * inv_uy_;
                const float q = (ey_across - reach) * inv_uy_;
                from = std::max(from, std::min(p, q));
                to = std::min(to, std::max(p, q));
            } else if (std::fabs(ey_across) > reach) {
                inside = false;
            }
            if (inside && from <= to) {
                lo = std::min(lo, x0_ + from);
                hi = std::max(hi, x0_ + to);
            }
        }
        if (lo > hi) {
            return;
        }
        span_first = ceilToInt(lo - 0.5f);
        span_last = floorToInt(hi - 0.5f);
    };
    // A flat start cuts the band straight across: pixels whose centres lie up to half a
    // diagonal before it can still be touched, and only those as far after it are covered.
    span(reach_, round_start_ ? 0.0f : -HalfDiagonal, first, last);
    span(radius_ - HalfDiagonal, round_start_ ? 0.0f : HalfDiagonal, full_first, full_last);
}

uint8_t CapsuleCoverage::at(int px, int py) const {
    const float cx = static_cast<float>(px) + 0.5f;
    const float cy = static_cast<float>(py) + 0.5f;
    const float wx = cx - x0_;
    const float wy = cy - y0_;
    const float t = wx * ux_ + wy * uy_;
    const float along = std::clamp(t, 0.0f, length_);
    const float ex = wx - along * ux_;
    const float ey = wy - along * uy_;
    const float d2 = ex * ex + ey * ey;
    // A pixel whose centre is half a diagonal inside or outside the outline is wholly so.
    const float inner = radius_ - HalfDiagonal;
    if (inner > 0.0f) {
        const float inner2 = inner * inner;
        if (round_start_) {
            if (d2 <= inner2) {
                return 255;
            }
        } else {
            const float fx = cx - x1_;
            const float fy = cy - y1_;
            if ((t >= HalfDiagonal && d2 <= inner2) || fx * fx + fy * fy <= inner2) {
                return 255;
            }
        }
    }
    // Outside the round-ended shape a flat-started one, which lies within it, misses too.
    if (d2 >= reach_ * reach_) {
        return 0;
    }
    if (length_ > 0.0f && t >= body_margin_ && t <= length_ - body_margin_) {
        // Between the end lines the shape is a strip, and a pixel's area in it is exact.
        const float s = std::fabs(wy * ux_ - wx * uy_);
        const EdgeProfile profile(a_, inv_a_, inv_2ab_, w1_, w2_);
        return toByte(profile.area(radius_ - s) - profile.area(-radius_ - s));
    }
    return capCoverage(cx, cy, t);
}

uint8_t CapsuleCoverage::capCoverage(float cx, float cy, float t) const {
    // Near an end the pixel is split between the strip (the part between the end lines) and
    // the round end beyond it; each part is weighted by the share of the pixel it lies in.
    const EdgeProfile across(a_, inv_a_, inv_2ab_, w1_, w2_);
    float in_body = 0.0f;
    float strip = 0.0f;
    if (length_ > 0.0f) {
        in_body = std::max(0.0f, across.area(t) + across.area(length_ - t) - 1.0f);
        if (in_body > 0.0f) {
            const float s = std::fabs((cy - y0_) * ux_ - (cx - x0_) * uy_);
            strip = across.area(radius_ - s) - across.area(-radius_ - s);
        }
    }
    const bool near_start = t < length_ * 0.5f;
    float disc = 0.0f;
    if (!near_start || round_start_) {
        disc = discCoverage(cx, cy, near_start ? 0.0f : length_);
    }
    if (length_ < 2.0f * reach_ && (near_start || round_start_)) {
        // Both round ends may reach into a pixel of a short segment.
        disc = std::max(disc, discCoverage(cx, cy, near_start ? length_ : 0.0f));
    }
    return toByte(strip * in_body + disc * (1.0f - in_body));
}

float CapsuleCoverage::discCoverage(float cx, float cy, float end) const {
    const float dx = cx - (x0_ + end * ux_);
    const float dy = cy - (y0_ + end * uy_);
    const float d2 = dx * dx + dy * dy;
    const float outer = radius_ + HalfDiagonal;
    const float inner = radius_ - HalfDiagonal;
    if (d2 <= inner * inner) {
        return 1.0f;
    }
    if (d2 >= outer * outer) {
        return 0.0f;
    }
    if (radius_ < ThinRadius) {
        // Too curved for a straight edge: count samples.
        int inside = 0;
        const float r2 = radius_ * radius_;
        constexpr float step = 1.0f / SamplesPerAxis;
        for (int j = 0; j < SamplesPerAxis; ++j) {
            const float sy = dy - 0.5f + (static_cast<float>(j) + 0.5f) * step;
            for (int i = 0; i < SamplesPerAxis; ++i) {
                const float sx = dx - 0.5f + (static_cast<float>(i) + 0.5f) * step;
                inside += sx * sx + sy * sy <= r2 ? 1 : 0;
            }
        }
        return static_cast<float>(inside) / (SamplesPerAxis * SamplesPerAxis);
    }
    const float d = std::sqrt(d2);
    // The arc bends away from its tangent by x^2 / 2r; over a pixel (x^2 averaging 1/12 in
    // any direction) that moves the edge inward by about 1 / 24r.
    return edgeArea(dx / d, dy / d, radius_ - d - curvature_shift_);
}

PixelRect StrokeRasterizer::drawSegment(Surface& target, float x0, float y0, float x1, float y1,
                                        float line_width, Argb color, PixelRect clip) {
    const auto segment = prepareSegment(target, x0, y0, x1, y1, line_width, true);
    clip = clip.clippedTo(target.width(), target.height());
    if (!segment || clip.empty()) {
        return {};
    }
    const Pixel source = makePixel(color.a, color.r, color.g, color.b);
    const int top = std::max(segment->firstRow(), clip.y);
    const int bottom = std::min(segment->lastRow(), clip.bottom() - 1);
    PixelRect touched;
    for (int py = top; py <= bottom; ++py) {
        int first = 0;
        int last = 0;
        int full_first = 0;
        int full_last = 0;
        segment->rowSpans(py, first, last, full_first, full_last);
        first = std::max(first, clip.x);
        last = std::min(last, clip.right() - 1);
        if (first > last) {
            continue;
        }
        Pixel* row = target.row(py);
        forEachCoverage(
            *segment, py, first, last, full_first, full_last, [](int) { return false; },
            [&](int px, uint8_t m) { row[px] = blendOverWithCoverage(row[px], source, m); });
        touched = touched.united({first, py, last - first + 1, 1});
    }
    return touched;
}

PixelRect StrokeRasterizer::fillRect(Surface& target, PixelRect rect, Argb color) {
    const int width = target.width();
    if (coverage_.size() != static_cast<size_t>(width)) {
        coverage_.assign(static_cast<size_t>(width), 0);
    }
    const Pixel source = makePixel(color.a, color.r, color.g, color.b);
    for (int py = rect.y; py < rect.bottom(); ++py) {
        std::memset(coverage_.data() + rect.x, 255, static_cast<size_t>(rect.width));
        blendRow(target.row(py) + rect.x, coverage_.data() + rect.x, rect.width, source);
    }
    return rect;
}

PixelRect StrokeRasterizer::drawPolyline(Surface& target, std::span<const float> xs,
                                         std::span<const float> ys, float line_width, Argb color) {
    return drawPolyline(target, xs, ys, line_width, color, target.bounds());
}

PixelRect StrokeRasterizer::drawPolyline(Surface& target, std::span<const float> xs,
                                         std::span<const float> ys, float line_width, Argb color,
                                         PixelRect clip) {
    const size_t count = std::min(xs.size(), ys.size());
    clip = clip.clippedTo(target.width(), target.height());
    if (count < 2 || clip.empty()) {
        return {};
    }
    const int width = target.width();
    const int clip_left = clip.x;
    const int clip_right = clip.right() - 1;
    segments_.clear();
    int top = clip.bottom();
    int bottom = -1;
    // Segments are made ready for the whole surface whatever the clip, so a pixel inside the
    // clip comes out exactly as an unclipped paint gives it.
    // Every segment but the first starts where the one before it ended, whose round end
    // already paints the joint: its own start is left flat, so the joint is worked out once.
    bool joined = false;
    for (size_t i = 1; i < count; ++i) {
        auto segment =
            prepareSegment(target, xs[i - 1], ys[i - 1], xs[i], ys[i], line_width, !joined);
        joined = segment.has_value();
        if (segment) {
            if (segment->coversSurface(width, target.height())) {
                // Every pixel ends at coverage 255 whatever the other segments add.
                segments_.clear();
                return fillRect(target, clip, color);
            }
            const int first_row = std::max(segment->firstRow(), clip.y);
            const int last_row = std::min(segment->lastRow(), clip.bottom() - 1);
            if (first_row > last_row) {
                continue; // wholly above or below the clip
            }
            top = std::min(top, first_row);
            bottom = std::max(bottom, last_row);
            segments_.push_back(*segment);
        }
    }
    // Row by row: every segment adds its coverage of the row to a one-row buffer (the largest
    // wins, so overlaps are painted once), then the row is blended and the buffer cleared.
    // The buffer stays in the first-level cache and each target row is visited once.
    if (coverage_.size() != static_cast<size_t>(width)) {
        coverage_.assign(static_cast<size_t>(width), 0);
    }
    uint8_t* cov = coverage_.data();
    const Pixel source = makePixel(color.a, color.r, color.g, color.b);
    // Segments enter a row's work when the row reaches them and leave it after their last
    // row, so a stroke of many short segments costs what it paints, not rows times segments.
    // The largest coverage wins, so the order they are looked at in changes nothing.
    order_.resize(segments_.size());
    for (size_t i = 0; i < order_.size(); ++i) {
        order_[i] = static_cast<uint32_t>(i);
    }
    std::sort(order_.begin(), order_.end(), [this](uint32_t a, uint32_t b) {
        return segments_[a].firstRow() < segments_[b].firstRow();
    });
    active_.clear();
    size_t next = 0;
    PixelRect touched;
    for (int py = top; py <= bottom; ++py) {
        while (next < order_.size() && segments_[order_[next]].firstRow() <= py) {
            active_.push_back(order_[next++]);
        }
        std::erase_if(active_, [&](uint32_t i) { return segments_[i].lastRow() < py; });
        int row_first = width;
        int row_last = -1;
        // First the wholly covered middles of every segment, then the edges: an edge pixel
        // inside another segment's middle is already full and costs nothing.
        spans_.clear();
        bool row_full = false;
        for (const uint32_t index : active_) {
            const CapsuleCoverage& segment = segments_[index];
            RowSpan span;
            segment.rowSpans(py, span.first, span.last, span.full_first, span.full_last);
            span.first = std::max(span.first, clip_left);
            span.last = std::min(span.last, clip_right);
            if (span.first > span.last) {
                continue;
            }
            span.full_first = std::max(span.full_first, span.first);
            span.full_last = std::min(span.full_last, span.last);
            if (span.full_first <= clip_left && span.full_last >= clip_right) {
                // This segment alone covers the row: no other can add to it.
                std::memset(cov + clip_left, 255, static_cast<size_t>(clip_right - clip_left + 1));
                row_first = clip_left;
                row_last = clip_right;
                row_full = true;
                break;
            }
            if (span.full_first <= span.full_last) {
                std::memset(cov + span.full_first, 255,
                            static_cast<size_t>(span.full_last - span.full_first + 1));
            } else {
                span.full_first = span.last + 1;
                span.full_last = span.last;
            }
            span.segment = index;
            spans_.push_back(span);
            row_first = std::min(row_first, span.first);
            row_last = std::max(row_last, span.last);
        }
        if (!row_full) {
            for (const RowSpan& span : spans_) {
                const CapsuleCoverage& segment = segments_[span.segment];
                auto edge = [&](int px) {
                    if (cov[px] != 255) {
                        cov[px] = std::max(cov[px], segment.at(px, py));
                    }
                };
                for (int px = span.first; px < span.full_first; ++px) {
                    edge(px);
                }
                for (int px = span.full_last + 1; px <= span.last; ++px) {
                    edge(px);
                }
            }
        }
        if (row_first > row_last) {
            continue;
        }
        if (py + PrefetchRows <= bottom) {
            // Strokes land anywhere on a large surface; fetch the rows ahead while this one is
            // blended.
            const Pixel* ahead = target.row(py + PrefetchRows);
            for (int px = row_first; px <= row_last; px += 16) {
                __builtin_prefetch(ahead + px, 1);
            }
        }
        blendRow(target.row(py) + row_first, cov + row_first, row_last - row_first + 1, source);
        touched = touched.united({row_first, py, row_last - row_first + 1, 1});
    }
    return touched;
}

namespace reference {

PixelRect drawPolyline(Surface& target, std::span<const float> xs, std::span<const float> ys,
                       float line_width, Argb color) {
    const size_t count = std::min(xs.size(), ys.size());
    if (count < 2) {
        return {};
    }
    std::vector<uint8_t> coverage(static_cast<size_t>(target.width()) * target.height(), 0);
    bool joined = false;
    for (size_t i = 1; i < count; ++i) {
        const auto segment =
            prepareSegment(target, xs[i - 1], ys[i - 1], xs[i], ys[i], line_width, !joined);
        joined = segment.has_value();
        if (!segment) {
            continue;
        }
        for (int py = 0; py < target.height(); ++py) {
            for (int px = 0; px < target.width(); ++px) {
                uint8_t& c = coverage[static_cast<size_t>(py) * target.width() + px];
                c = std::max(c, segment->at(px, py));
            }
        }
    }
    const Pixel source = makePixel(color.a, color.r, color.g, color.b);
    PixelRect touched;
    for (int py = 0; py < target.height(); ++py) {
        for (int px = 0; px < target.width(); ++px) {
            const uint8_t m = coverage[static_cast<size_t>(py) * target.width() + px];
            if (m != 0) {
                target.at(px, py) = blendOverWithCoverage(target.at(px, py), source, m);
                touched = touched.united({px, py, 1, 1});
            }
        }
    }
    return touched;
}

} // namespace reference

} // namespace velmo::canvas
