// Our rasterizer against Cairo, a trusted anti-aliased rasterizer, on the same shapes.
//
// Tolerance. Pixels that a shape covers wholly (centre at least half a pixel diagonal inside
// its edge) or misses wholly must match exactly: there both renderers apply the same 8-bit
// blend to full or zero coverage. Edge pixels differ by how coverage is estimated: we take the
// exact box-filtered area of straight edges and approximate the round ends; Cairo flattens
// round caps and joins into polygons (within its 0.1-pixel tolerance), and its scan converter
// samples coverage on a grid of 15 rows a pixel, which alone can be 1/30 (8.5 units) off on
// shallow edges. Where two segments of a polyline meet, a pixel that both cover in part is
// painted with the larger of their two coverages, which can fall short of their union by a
// tenth (26 units). An edge pixel may therefore differ from Cairo by up to 32 units of 255.
// Because Cairo's own sampling error is that large, edges are also held to the true covered
// area (counted on a 64 x 64 grid of samples a pixel, 0.4 units of resolution): within 28
// units on every pixel and 2 units on average, so a shifted, thinned or thickened outline,
// which moves every edge pixel the same way, fails even where it stays near Cairo. Single
// segments, where no union is taken, are held to 12 units of the true area.

#include "canvas/rasterizer.h"
#include "canvas/surface.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace velmo::canvas {
namespace {

constexpr int Size = 96;
constexpr int EdgeTolerance = 32;
constexpr int TruthTolerance = 28;
constexpr int SegmentTruthTolerance = 12;
constexpr double MeanTruthTolerance = 2.0;

struct Shape {
    std::string name;
    std::vector<float> xs, ys;
    float width;
    uint32_t color; // 0xAARRGGBB; the alpha byte is ignored, `alpha` is the opacity
    float alpha;
};

Pixel fromCairo(uint32_t v) {
    return makePixel(static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                     static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v));
}

Surface renderWithCairo(const Shape& shape, Pixel background) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, Size, Size);
    cairo_t* cr = cairo_create(surface);
    const Argb bg = unpackPixel(background);
    cairo_set_source_rgba(cr, bg.r / 255.0, bg.g / 255.0, bg.b / 255.0, bg.a / 255.0);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    auto channel = [&](int shift) {
        return static_cast<float>(((shape.color >> shift) & 0xFF) / 255.0);
    };
    cairo_set_source_rgba(cr, channel(16), channel(8), channel(0), shape.alpha);
    cairo_set_line_width(cr, shape.width);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_move_to(cr, shape.xs[0], shape.ys[0]);
    for (size_t i = 1; i < shape.xs.size(); ++i) {
        cairo_line_to(cr, shape.xs[i], shape.ys[i]);
    }
    cairo_stroke(cr);
    cairo_surface_flush(surface);
    Surface out(Size, Size);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < Size; ++y) {
        const auto* row =
            reinterpret_cast<const uint32_t*>(data + static_cast<ptrdiff_t>(y) * stride);
        for (int x = 0; x < Size; ++x) {
            out.at(x, y) = fromCairo(row[x]);
        }
    }
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    return out;
}

double distanceToPolyline(const Shape& shape, double px, double py) {
    double best = 1e30;
    for (size_t i = 0; i + 1 < shape.xs.size(); ++i) {
        const double x0 = shape.xs[i], y0 = shape.ys[i];
        const double dx = shape.xs[i + 1] - x0, dy = shape.ys[i + 1] - y0;
        const double len2 = dx * dx + dy * dy;
        double t = len2 > 0 ? ((px - x0) * dx + (py - y0) * dy) / len2 : 0.0;
        t = std::clamp(t, 0.0, 1.0);
        best = std::min(best, std::hypot(px - (x0 + t * dx), py - (y0 + t * dy)));
    }
    return best;
}

// The share of pixel (x, y) within half the line width of the polyline, by sampling.
double trueCoverage(const Shape& shape, int x, int y) {
    constexpr int n = 64;
    const double r = shape.width / 2.0;
    int inside = 0;
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < n; ++i) {
            inside += distanceToPolyline(shape, x + (i + 0.5) / n, y + (j + 0.5) / n) <= r ? 1 : 0;
        }
    }
    return static_cast<double>(inside) / (n * n);
}

// The pixel that blending the shape's colour at this coverage over `background` gives, in
// floating point.
double idealChannelError(Pixel actual, Pixel background, const Shape& shape, double coverage) {
    const Argb a = unpackPixel(actual);
    const Argb bg = unpackPixel(background);
    const double alpha = shape.alpha * coverage;
    auto channel = [&](int shift, uint8_t b) {
        const double c = ((shape.color >> shift) & 0xFF) / 255.0;
        return (c * alpha + b / 255.0 * (1.0 - alpha)) * 255.0;
    };
    const double ideal_a = (alpha + bg.a / 255.0 * (1.0 - alpha)) * 255.0;
    return std::max({std::fabs(a.a - ideal_a), std::fabs(a.r - channel(16, bg.r)),
                     std::fabs(a.g - channel(8, bg.g)), std::fabs(a.b - channel(0, bg.b))});
}

int channelDifference(Pixel a, Pixel b) {
    const Argb p = unpackPixel(a);
    const Argb q = unpackPixel(b);
    return std::max(
        {std::abs(p.a - q.a), std::abs(p.r - q.r), std::abs(p.g - q.g), std::abs(p.b - q.b)});
}

void writePpm(const Surface& s, const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return;
    }
    std::fprintf(f, "P6\n%d %d\n255\n", s.width(), s.height());
    for (int y = 0; y < s.height(); ++y) {
        for (int x = 0; x < s.width(); ++x) {
            const Argb p = unpackPixel(s.at(x, y));
            const unsigned char rgb[3] = {p.r, p.g, p.b};
            std::fwrite(rgb, 1, 3, f);
        }
    }
    std::fclose(f);
}

void saveForInspection(const Shape& shape, const Surface& ours, const Surface& cairo) {
    const std::filesystem::path dir = VELMO_TEST_OUTPUT_DIR;
    std::filesystem::create_directories(dir);
    writePpm(ours, (dir / ("oracle_" + shape.name + "_ours.ppm")).string());
    writePpm(cairo, (dir / ("oracle_" + shape.name + "_cairo.ppm")).string());
}

std::vector<Shape> shapes() {
    const uint32_t black = 0xFF000000u;
    return {
        {"thin_horizontal", {10.0f, 80.0f}, {20.0f, 20.0f}, 1.0f, black, 1.0f},
        {"thin_diagonal", {5.0f, 90.0f}, {7.0f, 60.0f}, 1.0f, black, 1.0f},
        {"default_pen_short", {40.0f, 43.0f}, {40.0f, 41.0f}, 3.0f, black, 1.0f},
        {"default_pen_long", {3.0f, 93.0f}, {90.0f, 5.0f}, 3.0f, 0xFF2050A0u, 1.0f},
        {"two_pixels_steep", {30.0f, 34.0f}, {5.0f, 90.0f}, 2.0f, black, 1.0f},
        {"thick_diagonal", {15.0f, 75.0f}, {20.0f, 70.0f}, 14.0f, 0xFFC01020u, 1.0f},
        {"thick_half_density", {20.0f, 70.0f}, {60.0f, 30.0f}, 21.0f, 0xFF00FF00u, 128 / 255.0f},
        {"zero_length_dot", {48.0f, 48.0f}, {48.0f, 48.0f}, 12.0f, black, 1.0f},
        {"zero_length_small_dot", {20.0f, 20.0f}, {70.0f, 70.0f}, 3.0f, black, 1.0f},
        {"partly_outside", {-20.0f, 60.0f}, {50.0f, 110.0f}, 9.0f, 0xFF3366CCu, 1.0f},
        {"fractional_points", {10.3f, 50.6f, 80.2f}, {12.7f, 40.1f, 15.9f}, 5.5f, black, 0.7f},
        {"polyline_sharp_turns",
         {10.0f, 80.0f, 15.0f, 85.0f, 20.0f},
         {10.0f, 20.0f, 40.0f, 60.0f, 85.0f},
         11.0f,
         0xFF804020u,
         0.5f},
        {"polyline_thin_zigzag",
         {5.0f, 20.0f, 35.0f, 50.0f, 65.0f, 80.0f},
         {50.0f, 30.0f, 60.0f, 25.0f, 70.0f, 40.0f},
         1.5f,
         black,
         1.0f},
        {"polyline_doubling_back",
         {20.0f, 75.0f, 22.0f, 70.0f},
         {48.0f, 50.0f, 46.0f, 52.0f},
         7.0f,
         black,
         100 / 255.0f},
    };
}

TEST(RasterizerOracle, MatchesCairoExactlyInsideAndOutsideAndCloselyOnEdges) {
    for (Shape shape : shapes()) {
        if (shape.name == "zero_length_small_dot") {
            // A dot in the middle of a polyline: two segments meeting with no length.
            shape.xs = {20.0f, 20.0f};
            shape.ys = {70.0f, 70.0f};
        }
        SCOPED_TRACE(shape.name);
        for (const Pixel background : {OpaqueWhite, Transparent}) {
            Surface ours(Size, Size, background);
            StrokeRasterizer rasterizer;
            rasterizer.drawPolyline(ours, shape.xs, shape.ys, shape.width,
                                    premultipliedSource(shape.color, shape.alpha));
            const Surface cairo = renderWithCairo(shape, background);
            const double r = shape.width / 2.0;
            int worst = 0;
            double truth_worst = 0;
            double truth_sum = 0;
            int edge_count = 0;
            int mismatched_inside = 0;
            for (int y = 0; y < Size; ++y) {
                for (int x = 0; x < Size; ++x) {
                    const double d = distanceToPolyline(shape, x + 0.5, y + 0.5);
                    const int diff = channelDifference(ours.at(x, y), cairo.at(x, y));
                    if (d <= r - 0.7072 || d >= r + 0.7072) {
                        mismatched_inside += diff != 0 ? 1 : 0;
                    } else {
                        worst = std::max(worst, diff);
                        const double error = idealChannelError(ours.at(x, y), background, shape,
                                                               trueCoverage(shape, x, y));
                        truth_worst = std::max(truth_worst, error);
                        truth_sum += error;
                        ++edge_count;
                    }
                }
            }
            const double truth_mean = edge_count > 0 ? truth_sum / edge_count : 0.0;
            EXPECT_EQ(mismatched_inside, 0);
            EXPECT_LE(worst, EdgeTolerance);
            EXPECT_LE(truth_worst, shape.xs.size() == 2 ? SegmentTruthTolerance : TruthTolerance);
            EXPECT_LE(truth_mean, MeanTruthTolerance);
            std::printf("%-24s bg=%s edge pixels %4d: vs Cairo worst %2d; vs true area worst "
                        "%5.2f, mean %4.2f\n",
                        shape.name.c_str(), background == Transparent ? "clear" : "white",
                        edge_count, worst, truth_worst, truth_mean);
            if (::testing::Test::HasFailure()) {
                saveForInspection(shape, ours, cairo);
            }
        }
    }
}

} // namespace
} // namespace velmo::canvas
