#include "faked_canvas.h"
#include "mwcanvas/mw_canvas.h"

#include "canvas/stroke_replay.h"
#include "png/layers_png.h"
#include "support/random_strokes.h"
#include "wire/command_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmo::canvas {
namespace {

const char* const CanvasA = "anna@20101201095959123";
const char* const CanvasB = "bob@20101201095959123";

// A canvas of 320 x 480 opening canvases of hand-drawn strokes.
class MWCanvasLoadTest : public ::testing::Test, protected testing::FakedCanvas {
protected:
    MWCanvasLoadTest() : FakedCanvas(1291201234.567) {
        canvas.setScreenSize(320, 480);
        canvas.clear_canvas();
    }

    // `count` strokes of others, stamped from `first_stamp` on.
    std::vector<MWStroke> strokesOf(int count, int64_t first_stamp, uint32_t seed) {
        testing::HandStrokes hand(seed);
        std::vector<MWStroke> strokes;
        for (int i = 0; i < count; ++i) {
            strokes.push_back(hand.next());
            strokes.back().server_time = first_stamp + i;
            strokes.back().client_time = first_stamp + i;
        }
        return strokes;
    }
    static std::string reply(const char* id, const std::vector<MWStroke>& strokes) {
        std::string body;
        for (const MWStroke& s : strokes) {
            body += (body.empty() ? "" : "\n") + wire::appendCommand(id, s);
        }
        return body;
    }
    // The server's picture of these strokes at this size.
    std::string pictureOf(const std::vector<MWStroke>& strokes) const {
        LayerSurfaces layers{Surface(320, 480), Surface(320, 480), Surface(320, 480)};
        resetLayers(layers);
        StrokePainter painter;
        replayStrokes(painter, layers, canvas.geometry, strokes);
        return *png::encodeLayersPng(layers, strokes.empty() ? 0 : strokes.back().server_time,
                                     static_cast<int64_t>(strokes.size()));
    }
    // The layers shown are exactly those of a replay of the history from the start.
    void expectReplayed() {
        const LayerSurfaces shown = canvas.layer_bitmap;
        const Surface display = canvas.display_bitmap;
        canvas.redrawStrokes();
        EXPECT_EQ(shown, canvas.layer_bitmap);
        EXPECT_EQ(display, canvas.display_bitmap);
    }
    size_t pictureIndex() const { return *http.newest(""); }
};

TEST_F(MWCanvasLoadTest, AnOpenStartsFromTheServersPictureAndPaintsOnlyWhatCameAfter) {
    const std::vector<MWStroke> old = strokesOf(300, 1000, 1);
    const std::vector<MWStroke> later = strokesOf(5, 5000, 2);
    canvas.setCanvasID(CanvasA);
    ASSERT_EQ(http.async_requests.back().request.method, "GET");
    http.answer(pictureIndex(), pictureOf(old));
    EXPECT_TRUE(canvas.adopting());
    EXPECT_EQ(canvas.display_bitmap, renderPicture(old, canvas.geometry))
        << "the picture shows before any stroke came";
    EXPECT_EQ(outlets.info_text,
              std::string("Normal layer · ") + CanvasA + " (loading: 0 of 300 strokes)");
    const int full_repaints = outlets.full_invalidations;
    std::vector<MWStroke> all = old;
    all.insert(all.end(), later.begin(), later.end());
    answerFetch(reply(CanvasA, all));
    EXPECT_FALSE(canvas.adopting());
    EXPECT_EQ(canvas.strokes_history.size(), 305u);
    EXPECT_EQ(outlets.full_invalidations, full_repaints) << "no repaint of everything";
    EXPECT_EQ(outlets.info_text, std::string("Normal layer · ") + CanvasA);
    expectReplayed();
    // Strokes arriving now are painted over the save points the picture became.
    scheduler.tick();
    http.answer(http.async_requests.size() - 1, reply(CanvasA, strokesOf(40, 6000, 7)));
    settle();
    EXPECT_EQ(canvas.strokes_history.size(), 345u);
    expectReplayed();
}

TEST_F(MWCanvasLoadTest, APictureOfAStrokeDeletedSinceIsPaintedAgainFromTheStrokes) {
    std::vector<MWStroke> strokes = strokesOf(80, 1000, 3);
    canvas.setCanvasID(CanvasA);
    http.answer(pictureIndex(), pictureOf(strokes));
    strokes.erase(strokes.begin() + 40); // deleted between the picture and the fetch
    answerFetch(reply(CanvasA, strokes));
    EXPECT_FALSE(canvas.adopting());
    EXPECT_EQ(canvas.display_bitmap, renderPicture(strokes, canvas.geometry));
    // A picture of another size, or none that can be read, is not used.
    for (const std::string& bad : {std::string("not a png"), pictureOf({}).substr(0, 60)}) {
        canvas.setCanvasID(CanvasB);
        http.answer(pictureIndex(), bad);
        EXPECT_FALSE(canvas.adopting());
        answerFetch(reply(CanvasB, strokes));
        EXPECT_EQ(canvas.display_bitmap, renderPicture(strokes, canvas.geometry));
    }
}

TEST_F(MWCanvasLoadTest, PastTheWaitStrokesArePaintedHereUntilALatePictureSavesTheRest) {
    const std::vector<MWStroke> strokes = strokesOf(600, 1000, 4);
    canvas.setCanvasID(CanvasA);
    const size_t picture = pictureIndex();
    // What replies bring meanwhile waits for the picture, which may hold it.
    for (auto& [id, timer] : scheduler.timers) {
        if (timer.interval == mwcanvas::MWCanvas::PollingInterval) {
            timer.action();
        }
    }
    http.answer(http.async_requests.size() - 1,
                reply(CanvasA, {strokes.begin(), strokes.begin() + 30}));
    settle();
    EXPECT_EQ(canvas.strokes_history.size(), 0u);
    EXPECT_EQ(outlets.info_text,
              std::string("Normal layer · ") + CanvasA + " (loading: 30 strokes)");
    EXPECT_EQ(fetchIndex(), -1);
    scheduler.tick(); // the wait is over
    settle();
    ASSERT_NE(fetchIndex(), -1);
    const auto fetch = static_cast<size_t>(fetchIndex());
    EXPECT_FALSE(http.cancelled(picture)) << "still worth having";
    http.deliver(fetch, reply(CanvasA, {strokes.begin(), strokes.begin() + 200}) + "\n");
    settle();
    EXPECT_EQ(canvas.strokes_history.size(), 200u);
    EXPECT_FALSE(canvas.adopting());
    http.answer(picture, pictureOf(strokes));
    EXPECT_TRUE(canvas.adopting());
    EXPECT_EQ(canvas.display_bitmap, renderPicture(strokes, canvas.geometry))
        << "all of it shows before the rest of the strokes came";
    EXPECT_EQ(outlets.info_text,
              std::string("Normal layer · ") + CanvasA + " (loading: 200 of 600 strokes)");
    http.deliver(fetch, reply(CanvasA, {strokes.begin() + 200, strokes.end()}));
    http.finish(fetch);
    settle();
    EXPECT_FALSE(canvas.isLoading());
    EXPECT_EQ(canvas.strokes_history.size(), 600u);
    expectReplayed();

    // Painted without a picture: one declined past the wait, or one not come when every
    // stroke is painted, which is then no longer waited for.
    const std::vector<MWStroke> other = strokesOf(50, 1000, 5);
    for (const char* id : {CanvasB, CanvasA}) {
        const bool declined = id == CanvasA;
        canvas.setCanvasID(id);
        const size_t late = *http.open("/layers/");
        scheduler.tick();
        settle();
        if (declined) {
            declinePicture();
        }
        http.answer(static_cast<size_t>(fetchIndex()), reply(id, other));
        settle();
        EXPECT_FALSE(canvas.isLoading());
        EXPECT_TRUE(declined || http.cancelled(late));
        EXPECT_EQ(canvas.display_bitmap, renderPicture(other, canvas.geometry));
        EXPECT_EQ(outlets.info_text, std::string("Normal layer · ") + id);
    }
}

TEST_F(MWCanvasLoadTest, RepliesAheadOfTheFetchWaitUntilItHasComeThatFar) {
    // A new user is owed the whole canvas by replies too: they may outrun the fetch.
    std::vector<MWStroke> all = strokesOf(600, 1000, 8);
    const std::vector<MWStroke> fresh = strokesOf(1, 5000, 9);
    canvas.setCanvasID(CanvasA);
    declinePicture();
    const size_t fetch = static_cast<size_t>(fetchIndex());
    http.deliver(fetch, reply(CanvasA, {all.begin(), all.begin() + 100}) + "\n");
    scheduler.runIdle();
    scheduler.tick();
    std::vector<MWStroke> page(all.begin(), all.begin() + 400);
    page.push_back(fresh[0]);
    http.answer(http.async_requests.size() - 1, reply(CanvasA, page));
    scheduler.runIdle();
    EXPECT_LE(canvas.strokes_history.size(), 100u) << "nothing past what the fetch brought";
    EXPECT_FALSE(canvas.strokes_history.contains({5000, 5000}));
    http.deliver(fetch, reply(CanvasA, {all.begin() + 100, all.end()}));
    http.finish(fetch);
    settle();
    EXPECT_FALSE(canvas.isLoading());
    EXPECT_EQ(canvas.strokes_history.size(), 601u);
    all.push_back(fresh[0]);
    EXPECT_EQ(canvas.display_bitmap, renderPicture(all, canvas.geometry));
}

TEST_F(MWCanvasLoadTest, ASwitchInTheMiddleLeavesOnlyTheNewCanvas) {
    const std::vector<MWStroke> a = strokesOf(2000, 1000, 5);
    const std::vector<MWStroke> b = strokesOf(30, 9000, 6);
    canvas.setCanvasID(CanvasA);
    declinePicture();
    const size_t fetch_a = static_cast<size_t>(fetchIndex());
    // Most of A comes, and is painted a slice at a time while the window goes on.
    http.deliver(fetch_a, reply(CanvasA, {a.begin(), a.begin() + 1600}) + "\n");
    EXPECT_TRUE(canvas.isLoading());
    scheduler.runIdle();
    EXPECT_GT(canvas.strokes_history.size(), 0u);
    EXPECT_LT(canvas.strokes_history.size(), 1600u) << "one slice a turn";
    EXPECT_NE(outlets.info_text.find("(loading: "), std::string::npos);

    canvas.setCanvasID(CanvasB);
    EXPECT_TRUE(http.cancelled(fetch_a));
    http.deliver(fetch_a, reply(CanvasA, {a.begin() + 1600, a.end()}));
    http.finish(fetch_a);
    answerFetch(reply(CanvasB, b));
    EXPECT_EQ(canvas.strokes_history.size(), 30u);
    EXPECT_FALSE(canvas.isLoading());
    EXPECT_EQ(canvas.display_bitmap, renderPicture(b, canvas.geometry));
}

} // namespace
} // namespace velmo::canvas
