#include "canvas/rasterizer.h"
#include "canvas/surface.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace velmo::canvas {
namespace {

int countDifferent(const Surface& a, const Surface& b) {
    int n = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            n += a.at(x, y) != b.at(x, y) ? 1 : 0;
        }
    }
    return n;
}

TEST(Rasterizer, FastPolylineEqualsThePerPixelReferenceOnRandomStrokes) {
    std::mt19937 rng(1234);
    std::uniform_real_distribution<float> coord(-20.0f, 100.0f);
    std::uniform_real_distribution<float> width(0.3f, 30.0f);
    std::uniform_int_distribution<int> points(2, 8);
    std::uniform_int_distribution<uint32_t> color(0, 0xFFFFFFFFu);
    std::uniform_real_distribution<float> alpha(0.0f, 1.0f);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<float> xs, ys;
        const int n = points(rng);
        for (int i = 0; i < n; ++i) {
            xs.push_back(coord(rng));
            ys.push_back(coord(rng));
            if (trial % 7 == 0 && i == 1) {
                // A repeated point: a zero-length segment inside the polyline.
                xs.push_back(xs.back());
                ys.push_back(ys.back());
            }
        }
        const float w = trial % 5 == 0 ? 1.0f : width(rng);
        const Argb c = premultipliedSource(color(rng), alpha(rng));
        Surface fast(80, 72, makePixel(255, 200, 100, 50));
        Surface slow = fast;
        StrokeRasterizer rasterizer;
        rasterizer.drawPolyline(fast, xs, ys, w, c);
        reference::drawPolyline(slow, xs, ys, w, c);
        ASSERT_EQ(countDifferent(fast, slow), 0) << "trial " << trial << " width " << w;
    }
}

TEST(Rasterizer, SegmentPaintsRoundCapsAndStaysInsideItsClip) {
    StrokeRasterizer rasterizer;
    const Argb black = premultipliedSource(0xFF000000u, 1.0f);
    Surface s(40, 40, OpaqueWhite);
    // Coincident ends paint a disc of the line width.
    const PixelRect dot = rasterizer.drawSegment(s, 20, 20, 20, 20, 10, black, s.bounds());
    EXPECT_EQ(s.at(20, 20), OpaqueBlack);
    EXPECT_EQ(s.at(16, 20), OpaqueBlack);
    EXPECT_EQ(s.at(20, 23), OpaqueBlack);
    EXPECT_EQ(s.at(24, 24), OpaqueWhite); // beyond the radius on the diagonal
    EXPECT_FALSE(dot.empty());
    // Nothing is painted outside the clip rectangle.
    Surface c(40, 40, OpaqueWhite);
    rasterizer.drawSegment(c, 5, 20, 35, 20, 9, black, {10, 0, 10, 40});
    for (int y = 0; y < 40; ++y) {
        for (int x = 0; x < 40; ++x) {
            if (x < 10 || x >= 20) {
                ASSERT_EQ(c.at(x, y), OpaqueWhite) << x << "," << y;
            }
        }
    }
    EXPECT_EQ(c.at(15, 20), OpaqueBlack);
    // The same segment as a two-point polyline paints the same pixels when not clipped.
    Surface seg(40, 40, OpaqueWhite);
    Surface line(40, 40, OpaqueWhite);
    rasterizer.drawSegment(seg, 3.5f, 7.25f, 31.0f, 22.0f, 6.5f, black, seg.bounds());
    const float xs[] = {3.5f, 31.0f};
    const float ys[] = {7.25f, 22.0f};
    rasterizer.drawPolyline(line, xs, ys, 6.5f, black);
    EXPECT_EQ(countDifferent(seg, line), 0);
}

TEST(Rasterizer, PolylineIsPaintedOncePerPixel) {
    // A stroke that doubles back over itself at half opacity is no darker where it overlaps.
    StrokeRasterizer rasterizer;
    const Argb half = premultipliedSource(0xFF000000u, 128 / 255.0f);
    Surface once(60, 20, OpaqueWhite);
    Surface back(60, 20, OpaqueWhite);
    const float xs1[] = {5, 55};
    const float ys1[] = {10, 10};
    const float xs2[] = {5, 55, 6};
    const float ys2[] = {10, 10, 10};
    rasterizer.drawPolyline(once, xs1, ys1, 6, half);
    rasterizer.drawPolyline(back, xs2, ys2, 6, half);
    EXPECT_EQ(countDifferent(once, back), 0);
    EXPECT_EQ(unpackPixel(once.at(30, 10)), (Argb{255, 127, 127, 127}));
}

TEST(Rasterizer, DegenerateInputPaintsNothingAndNeverReadsOutside) {
    StrokeRasterizer rasterizer;
    const Argb black = premultipliedSource(0xFF000000u, 1.0f);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        std::vector<float> xs, ys;
        float width;
    };
    const Case cases[] = {
        {{10}, {10}, 5},                 // one point: no extent
        {{}, {}, 5},                     // nothing
        {{10, 20}, {10, 20}, 0},         // zero width
        {{10, 20}, {10, 20}, -4},        // negative width
        {{10, 20}, {10, 20}, nan},       // width not a number
        {{nan, 20}, {10, 20}, 4},        // point not a number
        {{10, inf}, {10, 20}, 4},        // infinite point
        {{-500, -100}, {-500, -100}, 8}, // wholly outside
        {{1e30f, 2e30f}, {5, 6}, 8},     // far outside
    };
    for (const Case& c : cases) {
        Surface s(16, 16, OpaqueWhite);
        rasterizer.drawPolyline(s, c.xs, c.ys, c.width, black);
        EXPECT_EQ(countDifferent(s, Surface(16, 16, OpaqueWhite)), 0);
    }
    // A long line from far outside still reaches the surface where it crosses it.
    Surface s(16, 16, OpaqueWhite);
    const float xs[] = {-1e7f, 1e7f};
    const float ys[] = {8, 8};
    rasterizer.drawPolyline(s, xs, ys, 4, black);
    EXPECT_EQ(s.at(0, 8), OpaqueBlack);
    EXPECT_EQ(s.at(15, 7), OpaqueBlack);
    EXPECT_EQ(s.at(15, 2), OpaqueWhite);
    // More xs than ys: only the pairs are used.
    Surface pairs(16, 16, OpaqueWhite);
    const float px[] = {2, 14, 14};
    const float py[] = {2, 2};
    rasterizer.drawPolyline(pairs, std::span<const float>(px, 3), std::span<const float>(py, 2), 2,
                            black);
    EXPECT_EQ(pairs.at(8, 1), OpaqueBlack);
    EXPECT_EQ(pairs.at(13, 10), OpaqueWhite);
}

TEST(Rasterizer, StrokesWiderOrLongerThanTheSurfacePaintAsTheReferenceDoes) {
    // The shortcuts for strokes beyond the surface (one segment covering it all, one covering
    // a row) must leave every pixel as the per-pixel reference has it, including where the
    // wide stroke only partly reaches the surface.
    struct Case {
        const char* what;
        std::vector<float> xs, ys;
        float width;
    };
    const Case cases[] = {
        {"widest pen over the surface", {3, 20, 5}, {4, 9, 17}, 2.1e9f},
        {"wider than the diagonal, centred", {12, 13}, {10, 10}, 40},
        {"wider than the diagonal, at a corner", {0, 1}, {0, 0}, 40},
        {"widest pen from far outside", {-3e9f, -2e9f}, {10, 10}, 4.2e9f},
        {"edge of a huge dot across the surface", {-1e6f, -1e6f}, {10, 10}, 2000024},
        {"covering only after a flat joint", {-150, -150, 60}, {-300, 10, 10}, 300},
        {"many rows covered by one segment", {-30, 50, 10}, {10, 10, 40}, 16},
    };
    const Argb c = premultipliedSource(0xFF3366CCu, 0.7f);
    for (const Case& k : cases) {
        Surface fast(24, 20, makePixel(255, 200, 100, 50));
        Surface slow = fast;
        StrokeRasterizer rasterizer;
        const PixelRect touched = rasterizer.drawPolyline(fast, k.xs, k.ys, k.width, c);
        const PixelRect expected = reference::drawPolyline(slow, k.xs, k.ys, k.width, c);
        EXPECT_EQ(countDifferent(fast, slow), 0) << k.what;
        // The fast one may name a few untouched pixels at a row's ends, never fewer.
        EXPECT_EQ(touched.united(expected), touched) << k.what;
    }
    // Many points at the widest pen: every pixel covered once, as by one segment.
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> coord(-50.0f, 80.0f);
    std::vector<float> xs, ys;
    for (int i = 0; i < 3000; ++i) {
        xs.push_back(coord(rng));
        ys.push_back(coord(rng));
    }
    Surface many(24, 20, OpaqueWhite);
    StrokeRasterizer rasterizer;
    rasterizer.drawPolyline(many, xs, ys, 2.1e9f, premultipliedSource(0xFF000000u, 128 / 255.0f));
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 24; ++x) {
            ASSERT_EQ(unpackPixel(many.at(x, y)), (Argb{255, 127, 127, 127})) << x << "," << y;
        }
    }
}

TEST(Rasterizer, ASegmentCoversTheSurfaceOnlyWhenEveryPixelIsSurelyFull) {
    struct Case {
        float x0, y0, x1, y1, width;
        bool round_start;
        bool covers;
    };
    // A 24 x 20 surface: its diagonal is 31.2 pixels.
    const Case cases[] = {
        {12, 10, 12, 10, 40, true, true},       // a disc around the centre
        {12, 10, 12, 10, 31, true, false},      // too small for the corners
        {0, 0, 0, 0, 60, true, false},          // a corner's disc misses the far corner
        {0, 0, 0, 0, 90, true, true},           // ... unless wide enough
        {-100, 10, 100, 10, 60, true, true},    // a long band over the surface
        {-100, 40, 100, 40, 60, true, false},   // a band beside it
        {-1e9f, 10, 1e9f, 10, 60, true, false}, // too far out to trust single precision
        {-100, 10, 100, 10, 60, false, true},   // the flat start is far away
        {5, 10, 100, 10, 60, false, false},     // the flat start cuts through the surface
        {-100, 10, 12, 10, 60, false, true},    // the round end covers it
        {12, 10, 12, 10, -40, true, false},     // no width
    };
    for (const Case& k : cases) {
        const CapsuleCoverage segment(k.x0, k.y0, k.x1, k.y1, k.width, k.round_start);
        EXPECT_EQ(segment.coversSurface(24, 20), k.covers)
            << k.x0 << "," << k.y0 << " to " << k.x1 << "," << k.y1 << " width " << k.width;
        if (k.covers) {
            for (int y = 0; y < 20; ++y) {
                for (int x = 0; x < 24; ++x) {
                    ASSERT_EQ(segment.at(x, y), 255) << x << "," << y;
                }
            }
        }
    }
    EXPECT_FALSE(CapsuleCoverage(12, 10, 12, 10, 40).coversSurface(0, 0));
}

TEST(Rasterizer, SourceColourRoundingAndBlendArithmetic) {
    // Premultiplied at density 128: 255 * 128/255 through 16 bits gives 128.
    EXPECT_EQ(premultipliedSource(0xFFFFFFFFu, 128 / 255.0f), (Argb{128, 128, 128, 128}));
    EXPECT_EQ(premultipliedSource(0xFF102030u, 1.0f), (Argb{255, 0x10, 0x20, 0x30}));
    EXPECT_EQ(premultipliedSource(0x00FF0000u, 0.0f), (Argb{0, 0, 0, 0}));
    // Out-of-range opacity is clamped.
    EXPECT_EQ(premultipliedSource(0xFF000000u, 7.0f).a, 255);
    EXPECT_EQ(premultipliedSource(0xFF000000u, -1.0f).a, 0);
    // Full coverage of an opaque colour replaces; none leaves; half of black over white is
    // mid grey.
    const Pixel red = makePixel(255, 255, 0, 0);
    EXPECT_EQ(blendOverWithCoverage(OpaqueWhite, red, 255), red);
    EXPECT_EQ(blendOverWithCoverage(OpaqueWhite, red, 0), OpaqueWhite);
    EXPECT_EQ(unpackPixel(blendOverWithCoverage(OpaqueWhite, OpaqueBlack, 128)),
              (Argb{255, 127, 127, 127}));
}

} // namespace
} // namespace velmo::canvas
