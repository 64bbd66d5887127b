#include "canvas/rasterizer.h"

#include "canvas/pixel_math.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace velmo::canvas {
namespace {

// Half the diagonal of a pixel: a pixel whose centre is farther than this from a shape's edge
// is either wholly inside or wholly outside it.
constexpr float HalfDiagonal = 0.70711f;
// Below this radius the round ends are too curved for the straight-edge formula; there the
// end pixels are sampled instead.
constexpr float ThinRadius = 1.0f;
constexpr int SamplesPerAxis = 8;

int clampToInt(double v) {
    constexpr double limit = 1 << 30;
    if (!(v > -limit)) {
        return -(1 << 30);
    }
    if (v > limit) {
        return 1 << 30;
    }
    return static_cast<int>(v);
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
                                              float y1, float line_width) {
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
                           static_cast<float>(cx1), static_cast<float>(cy1), line_width);
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

CapsuleCoverage::CapsuleCoverage(float x0, float y0, float x1, float y1, float line_width)
    : x0_(x0), y0_(y0), ux_(1.0f), uy_(0.0f), length_(0.0f), radius_(line_width * 0.5f) {
    const float dx = x1 - x0;
    const float dy = y1 - y0;
    const float length = std::sqrt(dx * dx + dy * dy);
    if (length > 1e-4f) {
        length_ = length;
        ux_ = dx / length;
        uy_ = dy / length;
    }
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
    first_row_ = clampToInt(std::floor(std::min(y0, y1) - reach_));
    last_row_ = clampToInt(std::ceil(std::max(y0, y1) + reach_));
}

void CapsuleCoverage::rowSpan(int py, int& first, int& last) const {
    const float yc = static_cast<float>(py) + 0.5f;
    float lo = std::numeric_limits<float>::infinity();
    float hi = -lo;
    const float r2 = reach_ * reach_;
    auto disc = [&](float cx, float cy) {
        const float dy = yc - cy;
        if (dy * dy < r2) {
            const float half = std::sqrt(r2 - dy * dy);
            lo = std::min(lo, cx - half);
            hi = std::max(hi, cx + half);
        }
    };
    disc(x0_, y0_);
    if (length_ > 0.0f) {
        disc(x0_ + ux_ * length_, y0_ + uy_ * length_);
        // The band between the end lines: along the segment 0 <= t <= length, across it
        // |s| <= reach; both are linear in x on this row.
        const float ey = yc - y0_;
        float from = -std::numeric_limits<float>::infinity();
        float to = -from;
        bool inside = true;
        if (std::fabs(ux_) > 1e-7f) {
            float p = (0.0f - ey * uy_) / ux_;
            float q = (length_ - ey * uy_) / ux_;
            from = std::max(from, std::min(p, q));
            to = std::min(to, std::max(p, q));
        } else if (ey * uy_ < 0.0f || ey * uy_ > length_) {
            inside = false;
        }
        if (std::fabs(uy_) > 1e-7f) {
            float p = (-reach_ - ey * ux_) / -uy_;
            float q = (reach_ - ey * ux_) / -uy_;
            from = std::max(from, std::min(p, q));
            to = std::min(to, std::max(p, q));
        } else if (std::fabs(ey * ux_) > reach_) {
            inside = false;
        }
        if (inside && from <= to) {
            lo = std::min(lo, x0_ + from);
            hi = std::max(hi, x0_ + to);
        }
    }
    if (lo > hi) {
        first = 1;
        last = 0;
        return;
    }
    first = clampToInt(std::ceil(lo - 0.5f));
    last = clampToInt(std::floor(hi - 0.5f));
}

uint8_t CapsuleCoverage::at(int px, int py) const {
    const float cx = static_cast<float>(px) + 0.5f;
    const float cy = static_cast<float>(py) + 0.5f;
    const float wx = cx - x0_;
    const float wy = cy - y0_;
    const float t = wx * ux_ + wy * uy_;
    if (length_ > 0.0f && t >= body_margin_ && t <= length_ - body_margin_) {
        // Between the end lines the shape is a strip, and a pixel's area in it is exact.
        const float s = std::fabs(wy * ux_ - wx * uy_);
        if (s >= radius_ + w2_) {
            return 0;
        }
        if (s <= radius_ - w2_) {
            return 255;
        }
        const EdgeProfile profile(a_, inv_a_, inv_2ab_, w1_, w2_);
        return toByte(profile.area(radius_ - s) - profile.area(-radius_ - s));
    }
    return capCoverage(cx, cy, t);
}

uint8_t CapsuleCoverage::capCoverage(float cx, float cy, float t) const {
    if (radius_ < ThinRadius) {
        int inside = 0;
        const float r2 = radius_ * radius_;
        constexpr float step = 1.0f / SamplesPerAxis;
        for (int j = 0; j < SamplesPerAxis; ++j) {
            const float sy = cy - 0.5f + (static_cast<float>(j) + 0.5f) * step - y0_;
            for (int i = 0; i < SamplesPerAxis; ++i) {
                const float sx = cx - 0.5f + (static_cast<float>(i) + 0.5f) * step - x0_;
                const float along = std::clamp(sx * ux_ + sy * uy_, 0.0f, length_);
                const float ex = sx - along * ux_;
                const float ey = sy - along * uy_;
                inside += ex * ex + ey * ey <= r2 ? 1 : 0;
            }
        }
        constexpr int total = SamplesPerAxis * SamplesPerAxis;
        return static_cast<uint8_t>((inside * 255 + total / 2) / total);
    }
    // Near an end: treat the boundary as straight across the pixel, at right angles to the
    // direction from the nearest point of the segment.
    const float along = std::clamp(t, 0.0f, length_);
    const float dx = cx - (x0_ + along * ux_);
    const float dy = cy - (y0_ + along * uy_);
    const float d2 = dx * dx + dy * dy;
    const float outer = radius_ + HalfDiagonal;
    if (d2 >= outer * outer) {
        return 0;
    }
    const float inner = radius_ - HalfDiagonal;
    if (d2 <= inner * inner) {
        return 255;
    }
    const float d = std::sqrt(d2);
    const EdgeProfile profile(dx / d, dy / d);
    return toByte(profile.area(radius_ - d));
}

Pixel blendOverWithCoverage(Pixel dst, Pixel color, uint8_t coverage) {
    const Pixel source = coverage == 255 ? color : mulChannels(color, coverage);
    return over(source, dst);
}

PixelRect StrokeRasterizer::drawSegment(Surface& target, float x0, float y0, float x1, float y1,
                                        float line_width, Argb color, PixelRect clip) {
    const auto segment = prepareSegment(target, x0, y0, x1, y1, line_width);
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
        segment->rowSpan(py, first, last);
        first = std::max(first, clip.x);
        last = std::min(last, clip.right() - 1);
        if (first > last) {
            continue;
        }
        Pixel* row = target.row(py);
        for (int px = first; px <= last; ++px) {
            const uint8_t m = segment->at(px, py);
            if (m != 0) {
                row[px] = blendOverWithCoverage(row[px], source, m);
            }
        }
        touched = touched.united({first, py, last - first + 1, 1});
    }
    return touched;
}

PixelRect StrokeRasterizer::drawPolyline(Surface& target, std::span<const float> xs,
                                         std::span<const float> ys, float line_width,
                                         Argb color) {
    const size_t count = std::min(xs.size(), ys.size());
    if (count < 2 || target.empty()) {
        return {};
    }
    const int width = target.width();
    const int height = target.height();
    // The coverage buffer spans the whole surface and is all zero between calls: each stroke
    // clears only the row spans it wrote.
    const size_t needed = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (coverage_.size() != needed) {
        coverage_.assign(needed, 0);
        row_first_.assign(static_cast<size_t>(height), width);
        row_last_.assign(static_cast<size_t>(height), -1);
    }
    int rows_first = height;
    int rows_last = -1;
    for (size_t i = 1; i < count; ++i) {
        const auto segment = prepareSegment(target, xs[i - 1], ys[i - 1], xs[i], ys[i], line_width);
        if (!segment) {
            continue;
        }
        const int top = std::max(segment->firstRow(), 0);
        const int bottom = std::min(segment->lastRow(), height - 1);
        for (int py = top; py <= bottom; ++py) {
            int first = 0;
            int last = 0;
            segment->rowSpan(py, first, last);
            first = std::max(first, 0);
            last = std::min(last, width - 1);
            if (first > last) {
                continue;
            }
            uint8_t* cov = coverage_.data() + static_cast<size_t>(py) * width;
            for (int px = first; px <= last; ++px) {
                const uint8_t m = segment->at(px, py);
                cov[px] = std::max(cov[px], m);
            }
            row_first_[py] = std::min(row_first_[py], first);
            row_last_[py] = std::max(row_last_[py], last);
            rows_first = std::min(rows_first, py);
            rows_last = std::max(rows_last, py);
        }
    }
    const Pixel source = makePixel(color.a, color.r, color.g, color.b);
    PixelRect touched;
    for (int py = rows_first; py <= rows_last; ++py) {
        const int first = row_first_[py];
        const int last = row_last_[py];
        if (first > last) {
            continue;
        }
        uint8_t* cov = coverage_.data() + static_cast<size_t>(py) * width;
        Pixel* row = target.row(py);
        for (int px = first; px <= last; ++px) {
            if (cov[px] != 0) {
                row[px] = blendOverWithCoverage(row[px], source, cov[px]);
                cov[px] = 0;
            }
        }
        touched = touched.united({first, py, last - first + 1, 1});
        row_first_[py] = width;
        row_last_[py] = -1;
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
    for (size_t i = 1; i < count; ++i) {
        const auto segment = prepareSegment(target, xs[i - 1], ys[i - 1], xs[i], ys[i], line_width);
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
