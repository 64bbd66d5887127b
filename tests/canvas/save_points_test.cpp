#include "canvas/save_points.h"

#include "canvas/stroke_painter.h"
#include "canvas/stroke_replay.h"
#include "support/random_strokes.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

namespace velmo::canvas {
namespace {

constexpr int64_t Init = 315360000000000;
const StrokeKey UnconfirmedFrom{Init, std::numeric_limits<int64_t>::min()};

LayerSurfaces replayOf(const StrokeHistory& history, const CanvasGeometry& g,
                       std::optional<StrokeKey> through = StrokeKey{Init + 1, 0}) {
    LayerSurfaces layers{Surface(g.canvas_width, g.canvas_height),
                         Surface(g.canvas_width, g.canvas_height),
                         Surface(g.canvas_width, g.canvas_height)};
    resetLayers(layers);
    StrokePainter painter;
    for (const auto& [key, stroke] : history) {
        if (!through || *through < key) {
            break;
        }
        replayStroke(painter, layers, g, stroke);
    }
    return layers;
}

// Random histories as a shared canvas sees them: strokes of others arriving (now and then
// one stamped among older ones, and now and then a page of them), own strokes drawn, echoed
// and undone, strokes deleted by a refetch, replaced under their key, and whole refetches.
// After every step the layers are those of a replay from the start, and so is every save
// point at its place.
TEST(SavePoints, LayersAndEveryPointEqualAReplayAfterRandomChanges) {
    CanvasGeometry g;
    g.setScreenSize(160, 240);
    const SavePoints::Spacing spacing{{0, 3, 9, 27}, 2, 12};
    for (const uint32_t seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        testing::HandStrokes hand(seed * 101);
        SavePoints points(seed == 2 ? 3 : 1, spacing);
        StrokeHistory history;
        LayerSurfaces live = replayOf(history, g);
        int64_t stamp = 1000;
        int64_t client = 1;
        std::vector<int64_t> own; // client times of own unconfirmed strokes
        auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
        for (int step = 0; step < 220; ++step) {
            const int op = pick(100);
            if (op < 35) { // another user's stroke, usually the newest
                const int64_t at = pick(10) == 0 ? stamp - pick(30) : (stamp += 1 + pick(3));
                history.store({at, client++}, hand.next());
            } else if (op < 50) { // an own stroke drawn, over the others drawn here
                own.push_back(client);
                MWStroke drawn = hand.next();
                const int32_t dx = 150000 - drawn.points_x[0];
                const int32_t dy = 200000 - drawn.points_y[0];
                for (size_t k = 0; k < drawn.points_x.size(); ++k) {
                    drawn.points_x[k] += dx;
                    drawn.points_y[k] += dy;
                }
                drawn.layer = 1;
                history.store({Init, client++}, drawn);
            } else if (op < 62 && !own.empty()) { // an echo
                const size_t i = static_cast<size_t>(pick(static_cast<int>(own.size())));
                const auto it = history.find({Init, own[i]});
                MWStroke echoed = history.take(it);
                history.store({stamp += 1, own[i]}, echoed);
                own.erase(own.begin() + static_cast<long>(i));
            } else if (op < 72 && !history.empty()) { // an undo or a delete, anywhere
                auto it = history.begin();
                std::advance(it, pick(static_cast<int>(history.size())));
                std::erase(own, it->first.first == Init ? it->first.second : -1);
                history.erase(it);
            } else if (op < 78 && !history.empty()) { // replaced under its key
                auto it = history.begin();
                std::advance(it, pick(static_cast<int>(history.size())));
                history.store(it->first, hand.next());
            } else if (op < 84) { // a page of strokes
                for (int k = 0; k < 5 + pick(20); ++k) {
                    history.store({stamp += 1, client++}, hand.next());
                }
            } else if (op < 90 && !history.empty()) { // a refetch that lost a stroke or two
                StrokeMap fetched = history.map();
                for (int k = 0; k < 1 + pick(2) && !fetched.empty(); ++k) {
                    auto it = fetched.begin();
                    std::advance(it, pick(static_cast<int>(fetched.size())));
                    std::erase(own, it->first.first == Init ? it->first.second : -1);
                    fetched.erase(it);
                }
                history.replaceWith(std::move(fetched));
            } else if (op < 92) { // the whole history anew
                history = StrokeHistory(history.map());
            } else if (op < 93) {
                history.clear();
                own.clear();
            } else { // the same stroke stored again changes nothing
                if (!history.empty()) {
                    history.store(history.begin()->first, history.begin()->second);
                }
            }
            if (pick(3) == 0) {
                continue; // several changes before one repaint
            }
            const LayerRects changed =
                points.update(history, history.takeChanges(), live, g.pixel_scale, UnconfirmedFrom);
            (void)changed;
            ASSERT_EQ(live, replayOf(history, g)) << "seed " << seed << " step " << step;
            for (size_t i = 0; i < SavePoints::Count; ++i) {
                if (const auto place = points.placeOf(i)) {
                    ASSERT_EQ(points.layersOf(i), replayOf(history, g, *place))
                        << "seed " << seed << " step " << step << " point " << i;
                }
            }
            const size_t set = 3u * g.canvas_width * g.canvas_height * sizeof(Pixel);
            ASSERT_LE(points.memoryBytes(), SavePoints::Count * set);
        }
    }
}

// The common cases cost what they paint: an arrival and an echo repaint only their own
// rectangle (the echo nothing at all), an undo deep in the history only the undone stroke's.
TEST(SavePoints, ChangesRepaintOnlyTheirRectangles) {
    CanvasGeometry g;
    g.setScreenSize(600, 800);
    testing::HandStrokes hand(9);
    SavePoints points(1);
    StrokeHistory history;
    for (const MWStroke& s : hand.stamped(3000)) {
        history.store({s.server_time, s.client_time}, s);
    }
    LayerSurfaces live = replayOf(history, g);
    points.rebuild(history, live, g.pixel_scale, UnconfirmedFrom);
    history.takeChanges();
    ASSERT_EQ(points.placeOf(0), std::optional<std::optional<StrokeKey>>(StrokeKey{3000, 3000}));
    ASSERT_EQ(points.placeOf(2), std::optional<std::optional<StrokeKey>>(StrokeKey{952, 952}));
    EXPECT_FALSE(points.placeOf(3).has_value()); // fewer strokes than its distance

    MWStroke arrival = hand.next();
    history.store({5000, 1}, arrival);
    LayerRects rects =
        points.update(history, history.takeChanges(), live, g.pixel_scale, UnconfirmedFrom);
    const PixelRect own_rect = StrokePainter::extentOf(arrival, g.pixel_scale, 600, 800);
    EXPECT_EQ(rects[static_cast<size_t>(arrival.layer)], own_rect);
    EXPECT_EQ(unionOf(rects), own_rect);
    EXPECT_EQ(points.placeOf(0), std::optional<std::optional<StrokeKey>>(StrokeKey{5000, 1}));

    const MWStroke drawn = hand.next();
    history.store({Init, 2}, drawn);
    points.update(history, history.takeChanges(), live, g.pixel_scale, UnconfirmedFrom);
    history.take(history.find({Init, 2}));
    history.store({5001, 2}, drawn);
    rects = points.update(history, history.takeChanges(), live, g.pixel_scale, UnconfirmedFrom);
    EXPECT_TRUE(unionOf(rects).empty()); // the echo repaints nothing
    EXPECT_EQ(points.placeOf(0), std::optional<std::optional<StrokeKey>>(StrokeKey{5001, 2}));

    const MWStroke deep = history.at({1500, 1500});
    history.erase({1500, 1500});
    rects = points.update(history, history.takeChanges(), live, g.pixel_scale, UnconfirmedFrom);
    EXPECT_EQ(unionOf(rects), StrokePainter::extentOf(deep, g.pixel_scale, 600, 800));
    EXPECT_EQ(live, replayOf(history, g));
}

// A canvas coming in page after page: the followers do not paint every page behind it (that
// cost a load three times its painting), yet none falls more than twice its distance behind,
// so an undo far back stays a bounded replay.
TEST(SavePoints, PagesComingInKeepEveryPointWithinTwiceItsDistance) {
    CanvasGeometry g;
    g.setScreenSize(160, 240);
    testing::HandStrokes hand(21);
    const SavePoints::Spacing spacing;
    SavePoints points(1, spacing);
    StrokeHistory history;
    LayerSurfaces live = replayOf(history, g);
    const std::vector<MWStroke> strokes = hand.stamped(40 * 128);
    for (size_t page = 0; page < 40; ++page) {
        for (size_t k = 0; k < 128; ++k) {
            const MWStroke& s = strokes[page * 128 + k];
            history.store({s.server_time, s.client_time}, s);
        }
        points.update(history, history.takeChanges(), live, g.pixel_scale, UnconfirmedFrom);
        for (size_t i = 1; i < SavePoints::Count; ++i) {
            const auto place = points.placeOf(i);
            if (!place || !*place) {
                EXPECT_LE(history.size(), 2 * spacing.lags[i]) << "page " << page;
                continue;
            }
            const auto behind =
                static_cast<size_t>(std::distance(history.upper_bound(**place), history.end()));
            EXPECT_LE(behind, 2 * spacing.lags[i]) << "page " << page << " point " << i;
        }
    }
    EXPECT_EQ(live, replayOf(history, g));
    for (size_t i = 0; i < SavePoints::Count; ++i) {
        if (const auto place = points.placeOf(i)) {
            EXPECT_EQ(points.layersOf(i), replayOf(history, g, *place)) << "point " << i;
        }
    }
}

// A picture made elsewhere stands for strokes the history gets only later: no point may move
// back over them or paint them again meanwhile.
TEST(SavePoints, AnAdoptedPictureHoldsItsStrokesBeforeTheHistoryDoes) {
    CanvasGeometry g;
    g.setScreenSize(200, 300);
    testing::HandStrokes hand(12);
    StrokeHistory full;
    for (const MWStroke& s : hand.stamped(100)) {
        full.store({s.server_time, s.client_time}, s);
    }
    const StrokeKey through{100, std::numeric_limits<int64_t>::max()};
    SavePoints points(1, {{0, 3, 9, 27}, 2, 12});
    LayerSurfaces live = replayOf(full, g);
    points.adopt(live, through, 100);
    StrokeHistory history;
    auto it = full.begin();
    for (const int count : {30, 40, 30}) {
        for (int k = 0; k < count; ++k, ++it) {
            history.store(it->first, it->second);
        }
        history.takeChanges(); // painted already: the picture holds them
        MWStroke own = hand.next();
        history.store({Init, count}, own);
        points.update(history, history.takeChanges(), live, g.pixel_scale, UnconfirmedFrom);
    }
    points.endAdoption();
    for (const MWStroke& s : hand.stamped(8)) {
        history.store({s.server_time + 200, s.client_time}, s);
    }
    points.update(history, history.takeChanges(), live, g.pixel_scale, UnconfirmedFrom);
    EXPECT_EQ(live, replayOf(history, g));
    for (size_t i = 0; i < SavePoints::Count; ++i) {
        ASSERT_TRUE(points.placeOf(i).has_value());
        EXPECT_EQ(points.layersOf(i), replayOf(history, g, *points.placeOf(i))) << i;
    }
}

} // namespace
} // namespace velmo::canvas
