#include "canvas/stroke_replay.h"

#include "canvas/stroke_painter.h"
#include "canvas/stroke_text.h"
#include "support/random_strokes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace velmo::canvas {
namespace {

CanvasGeometry geometryOf(float width, float height) {
    CanvasGeometry g;
    g.setScreenSize(width, height);
    return g;
}

LayerSurfaces neutralLayers(const CanvasGeometry& g) {
    const int w = g.canvas_width;
    const int h = g.canvas_height;
    LayerSurfaces layers{Surface(w, h), Surface(w, h), Surface(w, h)};
    resetLayers(layers);
    return layers;
}

// A horizontal stroke at pixel row `y` from x 20 to 200, 8 pixels wide.
MWStroke lineAt(const CanvasGeometry& g, int y, uint32_t color, int32_t density, int32_t layer) {
    MWStroke s;
    s.pen_properties = {static_cast<int32_t>(color), g.toUnits(8), density};
    s.layer = layer;
    s.points_x = {g.toUnits(20), g.toUnits(200)};
    s.points_y = {g.toUnits(static_cast<float>(y)), g.toUnits(static_cast<float>(y))};
    return s;
}

TEST(StrokeReplay, ReplaysStrokesInCanvasUnitsOnTheirLayers) {
    const CanvasGeometry g = geometryOf(320, 480);
    MWStroke s;
    s.pen_properties = {static_cast<int32_t>(0xFFFF0000u), g.toUnits(6), 255};
    s.points_x = {g.toUnits(100), g.toUnits(200)};
    s.points_y = {g.toUnits(50), g.toUnits(50)};
    s.layer = 0;
    MWStroke hidden = s;
    hidden.layer = 3; // never painted
    hidden.points_y = {g.toUnits(300), g.toUnits(300)};
    const Surface picture = renderPicture({s, hidden}, g);
    EXPECT_EQ(unpackPixel(picture.at(150, 50)), (Argb{255, 255, 0, 0}));
    EXPECT_EQ(picture.at(150, 300), OpaqueWhite);
    EXPECT_EQ(picture.at(150, 60), OpaqueWhite);
}

TEST(StrokeReplay, EachStrokeGoesToTheLayerItNamesAndNoOther) {
    const CanvasGeometry g = geometryOf(320, 480);
    const LayerSurfaces neutral = neutralLayers(g);
    const struct {
        int32_t layer;
        int painted; // the layer that changes, or -1 for none
    } cases[] = {
        {0, 0}, {1, 1}, {2, 2}, {-1, -1}, {3, -1}, {std::numeric_limits<int32_t>::min(), -1},
    };
    StrokePainter painter;
    for (const auto& c : cases) {
        const MWStroke stroke = lineAt(g, 100, 0xFF336699u, 200, c.layer);
        LayerSurfaces layers = neutralLayers(g);
        replayStrokes(painter, layers, g, std::vector<MWStroke>{stroke});
        for (int i = 0; i < 3; ++i) {
            if (i != c.painted) {
                EXPECT_EQ(layers[static_cast<size_t>(i)], neutral[static_cast<size_t>(i)])
                    << "layer " << i << " for a stroke on " << c.layer;
                continue;
            }
            // Exactly what the painter paints, at the geometry's scale.
            Surface expected = neutral[static_cast<size_t>(i)];
            painter.drawStroke(expected, stroke, g.pixel_scale);
            EXPECT_NE(expected, neutral[static_cast<size_t>(i)]);
            EXPECT_EQ(layers[static_cast<size_t>(i)], expected) << "layer " << i;
        }
    }
}

TEST(StrokeReplay, LaterStrokesArePaintedOverEarlierOnes) {
    const CanvasGeometry g = geometryOf(320, 480);
    const MWStroke red = lineAt(g, 100, 0xFFFF0000u, 128, 0);
    const MWStroke blue = lineAt(g, 100, 0xFF0000FFu, 128, 0);
    StrokePainter painter;
    LayerSurfaces red_first = neutralLayers(g);
    replayStrokes(painter, red_first, g, std::vector<MWStroke>{red, blue});
    LayerSurfaces blue_first = neutralLayers(g);
    replayStrokes(painter, blue_first, g, std::vector<MWStroke>{blue, red});
    const Argb top_blue = unpackPixel(red_first[0].at(100, 100));
    const Argb top_red = unpackPixel(blue_first[0].at(100, 100));
    EXPECT_GT(top_blue.b, top_blue.r);
    EXPECT_GT(top_red.r, top_red.b);
}

TEST(StrokeReplay, InPiecesFromAMapOrFromStoredTextTheLayersAreTheSame) {
    const CanvasGeometry g = geometryOf(320, 480);
    std::mt19937 random(4242);
    const auto units = [&](int pixels) { return g.toUnits(static_cast<float>(random() % pixels)); };
    std::vector<MWStroke> strokes;
    for (int i = 0; i < 120; ++i) {
        MWStroke s;
        s.client_time = i + 1;
        s.server_time = 1000 + i;
        s.user_name = "you@1";
        s.pen_properties = {static_cast<int32_t>(random()), g.toUnits(1.0f + random() % 24),
                            static_cast<int32_t>(random() % 256)};
        s.layer = static_cast<int32_t>(random() % 5) - 1; // -1 and 3 are skipped
        const int count = 1 + static_cast<int>(random() % 6);
        for (int p = 0; p < count; ++p) {
            s.points_x.push_back(units(340) - g.toUnits(10));
            s.points_y.push_back(units(500) - g.toUnits(10));
        }
        strokes.push_back(s);
    }
    StrokePainter painter;
    LayerSurfaces whole = neutralLayers(g);
    replayStrokes(painter, whole, g, strokes);
    EXPECT_NE(whole, neutralLayers(g));

    // Pieces of random sizes, empty ones among them, as pages of a stored canvas come.
    LayerSurfaces pieces = neutralLayers(g);
    const std::span<const MWStroke> all(strokes);
    for (size_t at = 0; at < all.size();) {
        const size_t size = std::min<size_t>(random() % 9, all.size() - at);
        replayStrokes(painter, pieces, g, all.subspan(at, size));
        at += size;
    }
    EXPECT_EQ(pieces, whole);

    // The history's values, in key order (here the order of the vector).
    std::map<std::pair<int64_t, int64_t>, MWStroke> history;
    for (const MWStroke& s : strokes) {
        history[{s.server_time, s.client_time}] = s;
    }
    LayerSurfaces from_map = neutralLayers(g);
    replayStrokes(painter, from_map, g, history,
                  [](const auto& entry) -> const MWStroke& { return entry.second; });
    EXPECT_EQ(from_map, whole);

    // Stored text, decoded as it is replayed, a few strokes at a time.
    std::vector<std::string> texts;
    for (const MWStroke& s : strokes) {
        texts.push_back(stroke_to_text(s));
    }
    const auto decoded = [&g](const std::string& text) {
        return stroke_from_text(text, g.pixel_scale);
    };
    LayerSurfaces from_text = neutralLayers(g);
    const std::span<const std::string> stored(texts);
    for (size_t at = 0; at < stored.size(); at += 7) {
        const auto page = stored.subspan(at, std::min<size_t>(7, stored.size() - at));
        replayStrokes(painter, from_text, g, page, decoded);
    }
    EXPECT_EQ(from_text, whole);
}

TEST(StrokeReplay, PaintingInBandsOrPiecesGivesTheWholePaintsPixels) {
    const CanvasGeometry g = geometryOf(300, 420);
    testing::HandStrokes hand(77);
    std::vector<MWStroke> strokes = hand.stamped(60);
    // Strokes that reach past the surface, one wider than all of it, and one of a single point.
    strokes[3].points_x[0] = g.toUnits(-500);
    strokes[9].pen_properties.width = g.toUnits(5000);
    strokes[17].points_x.resize(1);
    strokes[17].points_y.resize(1);
    LayerSurfaces whole = neutralLayers(g);
    StrokePainter painter;
    replayStrokes(painter, whole, g, strokes);

    for (const unsigned threads : {1u, 2u, 5u}) {
        LayerSurfaces banded = neutralLayers(g);
        replayInBands(banded, g, strokes, banded[0].bounds(), threads);
        EXPECT_EQ(banded, whole) << threads << " threads";
    }
    // Rectangles of every shape, each stroke clipped to them, add up to the whole.
    std::mt19937 rng(5);
    LayerSurfaces pieces = neutralLayers(g);
    for (int y = 0; y < g.canvas_height;) {
        const int rows = std::uniform_int_distribution<int>(1, 90)(rng);
        for (int x = 0; x < g.canvas_width;) {
            const int columns = std::uniform_int_distribution<int>(1, 120)(rng);
            for (const MWStroke& s : strokes) {
                painter.drawStroke(pieces[static_cast<size_t>(s.layer)], s, g.pixel_scale,
                                   {x, y, columns, rows});
            }
            x += columns;
        }
        y += rows;
    }
    EXPECT_EQ(pieces, whole);

    // A stroke's extent holds every pixel it changes.
    for (const MWStroke& s : strokes) {
        Surface alone(g.canvas_width, g.canvas_height, OpaqueWhite);
        const PixelRect touched = painter.drawStroke(alone, s, g.pixel_scale);
        const PixelRect extent =
            StrokePainter::extentOf(s, g.pixel_scale, g.canvas_width, g.canvas_height);
        EXPECT_TRUE(extent.contains(touched)) << s.client_time;
    }
}

} // namespace
} // namespace velmo::canvas
