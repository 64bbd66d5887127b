#include "faked_canvas.h"
#include "mwcanvas/mw_canvas.h"

#include "canvas/stroke_text.h"
#include "wire/command_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace velmo::canvas {
namespace {

using mwcanvas::MWCanvas;
using mwcanvas::MWCanvasPlatform;

const char* const ServerURL = testing::CanvasServerURL;
const char* const UploadURL = testing::CanvasUploadURL;
const char* const CanvasA = "anna@20101201095959123";
constexpr double Start = 1291201234.567;

// The canvas with every edge faked, at 320 x 480 pixels (pixel_scale 0.001).
class MWCanvasSyncTest : public ::testing::Test, protected testing::FakedCanvas {
protected:
    MWCanvasSyncTest() : FakedCanvas(Start) {
        canvas.setScreenSize(320, 480);
        canvas.clear_canvas();
        canvas.canvas_id = CanvasA;
    }

    // A stroke drawn with the finger across the canvas, as the user does it.
    int64_t drawStroke(int x0, int y0, int x1, int y1) {
        clock.advance(1);
        canvas.touchPressedAtX(x0, y0);
        canvas.touchDraggedAtX((x0 + x1) / 2, (y0 + y1) / 2);
        canvas.touchDraggedAtX(x1, y1);
        canvas.touchReleasedAtX(x1, y1);
        return static_cast<int64_t>(clock.now() * 1000.0);
    }

    std::string line(const MWStroke& stroke) const { return wire::appendCommand(CanvasA, stroke); }

    MWStroke othersStroke(int64_t server_time, int64_t client_time, int x) const {
        MWStroke s;
        s.server_time = server_time;
        s.client_time = client_time;
        s.user_name = "bob@20101201000000000";
        s.pen_properties = defaultPen(canvas.geometry.pixel_scale);
        s.pen_properties.width = 10000; // 10 pixels
        s.points_x = {x, x};
        s.points_y = {100000, 300000};
        return s;
    }

    MWStroke echoOf(const StrokeKey& provisional, int64_t server_time) const {
        MWStroke s = canvas.strokes_history.at(provisional);
        s.server_time = server_time;
        return s;
    }

    bool paintedAt(int x, int y) const { return canvas.display_bitmap.at(x, y) != OpaqueWhite; }

    std::vector<StrokeKey> keys() const {
        std::vector<StrokeKey> k;
        for (const auto& [key, stroke] : canvas.strokes_history) {
            k.push_back(key);
        }
        return k;
    }

    const int64_t Init = DefaultInitServerTime;
};

TEST_F(MWCanvasSyncTest, AFinishedStrokeIsQueuedSentEchoedAndMovedWithoutARedraw) {
    const int64_t t = drawStroke(100, 100, 200, 200);
    ASSERT_EQ(keys(), (std::vector<StrokeKey>{{Init, t}}));
    const MWStroke own = canvas.strokes_history.at({Init, t});
    EXPECT_EQ(own.user_name, canvas.userID());
    EXPECT_EQ(own.server_time, 0);
    EXPECT_EQ(own.points_x.size(), 3u);

    ASSERT_EQ(http.async_requests.size(), 1u);
    EXPECT_EQ(http.lastBody(), wire::appendCommand(CanvasA, own));
    EXPECT_EQ(http.async_requests[0].request.url, ServerURL);
    EXPECT_TRUE(paintedAt(150, 150));

    const Surface before = canvas.display_bitmap;
    const size_t repaints = outlets.repaints();
    http.answer(0, line(echoOf({Init, t}, 1291201300000)) + "\n");
    EXPECT_EQ(scheduler.runIdle(), 1);

    EXPECT_EQ(keys(), (std::vector<StrokeKey>{{1291201300000, t}}));
    EXPECT_EQ(canvas.strokes_history.begin()->second.server_time, 1291201300000);
    EXPECT_EQ(outlets.repaints(), repaints);
    EXPECT_EQ(canvas.display_bitmap, before);
    EXPECT_TRUE(canvas.sync_agent.queued_commands.empty());
}

TEST_F(MWCanvasSyncTest, StrokesOfOthersAreMergedWithOneRedraw) {
    const int64_t t = drawStroke(10, 10, 20, 20);
    http.answer(0, "");
    scheduler.runIdle();

    clock.advance(5);
    scheduler.tick(); // the poll
    ASSERT_EQ(http.async_requests.size(), 2u);
    const std::string poll = http.lastBody();
    EXPECT_TRUE(poll.ends_with("points:")) << poll;
    EXPECT_NE(poll.find("user_name:" + canvas.userID() + " "), std::string::npos);
    EXPECT_NE(poll.find("width=2999"), std::string::npos);

    const size_t repaints = outlets.repaints();
    http.answer(1, line(othersStroke(1291201240001, 1, 50000)) + "\n" +
                       line(othersStroke(1291201240002, 2, 150000)) + "\n" +
                       line(echoOf({Init, t}, 1291201240003)) + "\n" +
                       line(othersStroke(1291201240004, 3, 250000)) + "\n");
    scheduler.runIdle();

    EXPECT_EQ(keys(),
              (std::vector<StrokeKey>{
                  {1291201240001, 1}, {1291201240002, 2}, {1291201240003, t}, {1291201240004, 3}}));
    EXPECT_EQ(outlets.repaints(), repaints + 1);
    EXPECT_TRUE(paintedAt(50, 200));
    EXPECT_TRUE(paintedAt(150, 200));
    EXPECT_TRUE(paintedAt(250, 200));
    EXPECT_TRUE(paintedAt(15, 15));
}

TEST_F(MWCanvasSyncTest, TwoLinesWithTheSameKeyKeepTheLaterOne) {
    MWStroke first = othersStroke(500, 1, 50000);
    MWStroke second = othersStroke(500, 1, 150000);
    scheduler.tick();
    http.answer(0, line(first) + "\n" + line(second));
    scheduler.runIdle();
    ASSERT_EQ(canvas.strokes_history.size(), 1u);
    EXPECT_EQ(canvas.strokes_history.begin()->second.points_x[0], 150000);
}

TEST_F(MWCanvasSyncTest, UndoBeforeConfirmationRemovesTheStrokeAndQueuesItsDelete) {
    const int64_t t = drawStroke(100, 100, 200, 200);
    const MWStroke own = canvas.strokes_history.at({Init, t});
    canvas.undoOneStroke();
    EXPECT_TRUE(canvas.strokes_history.empty());
    EXPECT_FALSE(paintedAt(150, 150));
    ASSERT_EQ(canvas.sync_agent.queued_commands.size(), 2u);
    EXPECT_EQ(canvas.sync_agent.queued_commands[1], wire::deleteCommand(CanvasA, own));
    EXPECT_TRUE(canvas.sync_agent.queued_commands[1].ends_with("points:"));

    // The append's reply, carrying the stroke's echo, sends the delete next; the echo does not
    // bring the undone stroke back, and strokes of others in the same reply still come.
    MWStroke echo = own;
    echo.server_time = 1291201300000;
    http.answer(0, line(echo) + "\n" + line(othersStroke(1291201300001, t, 50000)) + "\n");
    EXPECT_EQ(http.lastBody(), wire::deleteCommand(CanvasA, own));
    scheduler.runIdle();
    EXPECT_EQ(keys(), (std::vector<StrokeKey>{{1291201300001, t}}));
    EXPECT_FALSE(paintedAt(150, 150));
}

TEST_F(MWCanvasSyncTest, UndoAfterConfirmationSendsTheStampedStroke) {
    const int64_t t = drawStroke(100, 100, 200, 200);
    http.answer(0, line(echoOf({Init, t}, 1291201300000)));
    scheduler.runIdle();
    scheduler.tick();
    http.answer(1, line(othersStroke(1291201300001, 9, 50000)));
    scheduler.runIdle();

    canvas.undoOneStroke();
    EXPECT_EQ(keys(), (std::vector<StrokeKey>{{1291201300001, 9}}));
    EXPECT_NE(http.lastBody().find(": delete:  client_time:" + std::to_string(t) +
                                   " server_time:1291201300000 "),
              std::string::npos);
    EXPECT_FALSE(paintedAt(150, 150));
    EXPECT_TRUE(paintedAt(50, 200));

    // Strokes of others are never undone.
    canvas.undoOneStroke();
    EXPECT_EQ(canvas.strokes_history.size(), 1u);
    EXPECT_EQ(http.async_requests.size(), 3u);
}

TEST_F(MWCanvasSyncTest, ADeleteNoticeFetchesTheCanvasAgainAndRepaints) {
    // Another user's stroke and one of ours, both confirmed.
    scheduler.tick();
    http.answer(0, line(othersStroke(1000, 1, 50000)));
    scheduler.runIdle();
    const int64_t t = drawStroke(100, 100, 200, 200);
    const MWStroke own = echoOf({Init, t}, 2000);
    http.answer(1, line(own));
    scheduler.runIdle();
    ASSERT_TRUE(paintedAt(50, 200));

    // The other user deleted theirs: only our stroke is left on the server.
    scheduler.tick();
    const size_t repaints = outlets.repaints();
    http.answer(2, std::string(CanvasA) + ": delete: ");
    scheduler.runIdle();
    // The fetch does not hold up the window: until its answer is whole the picture stays.
    ASSERT_EQ(fetchIndex(), 3);
    EXPECT_TRUE(http.sync_requests.empty());
    EXPECT_EQ(http.async_requests[3].request.body, std::string(CanvasA) + ": get_strokes: ");
    EXPECT_TRUE(paintedAt(50, 200));
    http.deliver(3, line(own));
    settle();
    EXPECT_TRUE(paintedAt(50, 200));
    EXPECT_EQ(outlets.repaints(), repaints);
    http.finish(3);
    settle();

    EXPECT_EQ(keys(), (std::vector<StrokeKey>{{2000, t}}));
    EXPECT_EQ(outlets.repaints(), repaints + 1);
    EXPECT_FALSE(paintedAt(50, 200));
    EXPECT_TRUE(paintedAt(150, 150));
    EXPECT_FALSE(canvas.sync_agent.canvas_should_be_refreshed);
    // The notice of the fetch finds nothing left to do.
    scheduler.runIdle();
    EXPECT_EQ(outlets.repaints(), repaints + 1);
}

TEST_F(MWCanvasSyncTest, StrokesThatCameWithTheDeleteNoticeAreMergedWithTheRefetch) {
    scheduler.tick();
    http.answer(0, std::string(CanvasA) + ": delete: \n" + line(othersStroke(1001, 2, 100000)) +
                       "\n" + line(othersStroke(1002, 3, 150000)));
    EXPECT_EQ(canvas.sync_agent.response_status(), 2);
    scheduler.runIdle();
    EXPECT_EQ(keys(), (std::vector<StrokeKey>{{1001, 2}, {1002, 3}}));
    // The answer was read before the two strokes were stored.
    answerFetch(line(othersStroke(1000, 1, 50000)));
    EXPECT_EQ(keys(), (std::vector<StrokeKey>{{1000, 1}, {1001, 2}, {1002, 3}}));
    // Another answer that holds them and one more.
    canvas.sync_agent.canvas_should_be_refreshed = true;
    canvas.get_response();
    answerFetch(line(othersStroke(1000, 1, 50000)) + "\n" + line(othersStroke(1001, 2, 100000)) +
                "\n" + line(othersStroke(1002, 3, 150000)) + "\n" +
                line(othersStroke(1003, 4, 250000)));
    EXPECT_EQ(keys(), (std::vector<StrokeKey>{{1000, 1}, {1001, 2}, {1002, 3}, {1003, 4}}));
    EXPECT_TRUE(paintedAt(100, 200));
    EXPECT_TRUE(paintedAt(250, 200));
}

TEST_F(MWCanvasSyncTest, ARefreshThatFindsTheCanvasEmptyStillRepaints) {
    scheduler.tick();
    http.answer(0, line(othersStroke(1000, 1, 50000)));
    scheduler.runIdle();
    ASSERT_TRUE(paintedAt(50, 200));

    scheduler.tick();
    http.answer(1, std::string(CanvasA) + ": delete: ");
    scheduler.runIdle();
    answerFetch("");
    EXPECT_TRUE(canvas.strokes_history.empty());
    EXPECT_FALSE(paintedAt(50, 200));
}

TEST_F(MWCanvasSyncTest, ARefreshKeepsOwnStrokesTheServerHasNotConfirmed) {
    scheduler.tick();
    http.answer(0, line(othersStroke(1000, 1, 50000)));
    // A delete notice waits to be merged when the user finishes a stroke.
    scheduler.tick();
    http.answer(1, std::string(CanvasA) + ": delete: ");
    const int64_t t = drawStroke(100, 100, 200, 200);
    answerFetch(line(othersStroke(1000, 1, 50000)));

    EXPECT_EQ(keys(), (std::vector<StrokeKey>{{1000, 1}, {Init, t}}));
    EXPECT_TRUE(paintedAt(150, 150));
    EXPECT_TRUE(paintedAt(50, 200));
}

TEST_F(MWCanvasSyncTest, AFailedRefetchKeepsTheHistoryAndStaysOwedUntilAFetchSucceeds) {
    scheduler.tick();
    http.answer(0, line(othersStroke(1000, 1, 50000)) + "\n" + line(othersStroke(1001, 2, 60000)));
    scheduler.runIdle();
    scheduler.tick();
    http.answer(1, std::string(CanvasA) + ": delete: ");
    scheduler.runIdle();
    http.fail(static_cast<size_t>(fetchIndex())); // the fetch gets no answer
    settle();
    EXPECT_EQ(keys(), (std::vector<StrokeKey>{{1000, 1}, {1001, 2}}));
    EXPECT_TRUE(canvas.sync_agent.canvas_should_be_refreshed);

    // The server sends no second notice; each later reply tries the fetch again, whatever
    // way it fails (a part of the answer may have come first), and the strokes those replies
    // bring are shown meanwhile.
    const std::optional<platform::HttpStatus> failures[] = {
        std::nullopt,
        platform::HttpStatus{503, 5.0},
        platform::HttpStatus{302, std::nullopt},
        platform::HttpStatus{429, 1.0},
        platform::HttpStatus{404, std::nullopt},
    };
    int64_t stamp = 1002;
    int fetches = 1;
    for (const auto& failure : failures) {
        scheduler.tick();
        http.answer(http.async_requests.size() - 1, line(othersStroke(stamp, stamp, 200000)));
        scheduler.runIdle();
        const int fetch = fetchIndex();
        ASSERT_EQ(http.async_requests.size(), static_cast<size_t>(fetch + 1));
        ++fetches;
        if (failure) {
            http.answer(static_cast<size_t>(fetch), "error page", *failure);
        } else {
            http.deliver(static_cast<size_t>(fetch), line(othersStroke(1001, 2, 60000)) + "\n");
            http.fail(static_cast<size_t>(fetch));
        }
        settle();
        EXPECT_TRUE(canvas.sync_agent.canvas_should_be_refreshed);
        EXPECT_TRUE(canvas.strokes_history.contains({stamp, stamp}));
        EXPECT_TRUE(canvas.strokes_history.contains({1000, 1}));
        ++stamp;
    }

    // The stroke deleted elsewhere goes once a fetch succeeds; then no more fetches.
    scheduler.tick();
    http.answer(http.async_requests.size() - 1, "");
    scheduler.runIdle();
    answerFetch(line(othersStroke(1001, 2, 60000)) + "\n" + line(othersStroke(1002, 1002, 200000)));
    ++fetches;
    EXPECT_FALSE(canvas.sync_agent.canvas_should_be_refreshed);
    EXPECT_EQ(keys(), (std::vector<StrokeKey>{{1001, 2}, {1002, 1002}}));
    EXPECT_FALSE(paintedAt(50, 200));
    scheduler.tick();
    http.answer(http.async_requests.size() - 1, "");
    scheduler.runIdle();
    int sent = 0;
    for (const auto& request : http.async_requests) {
        sent += request.request.body.ends_with(": get_strokes: ") ? 1 : 0;
    }
    EXPECT_EQ(sent, fetches);
}

TEST_F(MWCanvasSyncTest, OpeningACanvasWhoseFetchFailsOwesTheFetch) {
    canvas.setCanvasID(CanvasA);
    answerFetch(line(othersStroke(1000, 1, 50000)), {500, std::nullopt});
    EXPECT_TRUE(canvas.strokes_history.empty());
    EXPECT_TRUE(canvas.sync_agent.canvas_should_be_refreshed);
    scheduler.tick();
    http.answer(http.async_requests.size() - 1, "");
    scheduler.runIdle();
    answerFetch(line(othersStroke(1000, 1, 50000)));
    EXPECT_EQ(keys(), (std::vector<StrokeKey>{{1000, 1}}));
    EXPECT_FALSE(canvas.sync_agent.canvas_should_be_refreshed);
}

TEST_F(MWCanvasSyncTest, AStrokeTheServerRefusesForGoodIsDroppedWithAMessage) {
    drawStroke(10, 10, 20, 20);
    drawStroke(30, 30, 40, 40);
    const std::string first = http.lastBody();
    http.answer(0, "", {403, std::nullopt});
    ASSERT_EQ(outlets.messages.size(), 1u);
    EXPECT_NE(outlets.messages[0].find("refused"), std::string::npos);
    EXPECT_NE(outlets.messages[0].find("403"), std::string::npos);
    ASSERT_EQ(http.async_requests.size(), 2u);
    EXPECT_NE(http.lastBody(), first);
    http.answer(1, "");
    EXPECT_TRUE(canvas.sync_agent.queued_commands.empty());
    EXPECT_EQ(outlets.messages.size(), 1u);
}

TEST_F(MWCanvasSyncTest, ARefusedKeyOrPictureIsDroppedWithAMessageAndADeferralWaits) {
    // 403: a user name bound to another key, or a picture from a user without a stroke.
    canvas.sync_agent.update_thumbnail("http://i.example/t.png");
    drawStroke(10, 10, 20, 20);
    http.answer(0, "this user name is bound to another key\n", {403, std::nullopt});
    ASSERT_EQ(outlets.messages.size(), 1u);
    EXPECT_NE(outlets.messages[0].find("403"), std::string::npos);
    ASSERT_EQ(http.async_requests.size(), 2u);
    EXPECT_NE(http.lastBody().find(": append: "), std::string::npos);
    // 429: the same command again once the wait is over, and no message.
    http.answer(1, "", {429, 2.0});
    EXPECT_EQ(canvas.sync_agent.queued_commands.size(), 1u);
    EXPECT_EQ(http.async_requests.size(), 2u);
    clock.advance(5);
    scheduler.tick();
    ASSERT_EQ(http.async_requests.size(), 3u);
    EXPECT_EQ(http.async_requests[2].request.body, http.async_requests[1].request.body);
    http.answer(2, "");
    EXPECT_TRUE(canvas.sync_agent.queued_commands.empty());
    EXPECT_EQ(outlets.messages.size(), 1u);
}

TEST_F(MWCanvasSyncTest, AReleaseMergesTheWaitingReplyBeforeItSendsTheStroke) {
    scheduler.tick();
    http.answer(0, line(othersStroke(1000, 1, 50000)));
    // The notice has not been delivered yet when the stroke ends.
    const int64_t t = drawStroke(100, 100, 200, 200);
    EXPECT_EQ(keys(), (std::vector<StrokeKey>{{1000, 1}, {Init, t}}));
    EXPECT_TRUE(paintedAt(50, 200));
    EXPECT_TRUE(paintedAt(150, 150));
    EXPECT_TRUE(canvas.sync_agent.returned_strokes.empty());
}

TEST_F(MWCanvasSyncTest, ThreeStrokesDrainOneRequestAtATime) {
    drawStroke(10, 10, 20, 20);
    drawStroke(30, 30, 40, 40);
    drawStroke(50, 50, 60, 60);
    EXPECT_EQ(http.async_requests.size(), 1u);
    http.answer(0, "");
    EXPECT_EQ(http.async_requests.size(), 2u);
    scheduler.tick(); // a tick with a request in flight sends nothing
    EXPECT_EQ(http.async_requests.size(), 2u);
    http.answer(1, "");
    EXPECT_EQ(http.async_requests.size(), 3u);
    http.answer(2, "");
    EXPECT_EQ(http.async_requests.size(), 3u);
    EXPECT_TRUE(canvas.sync_agent.queued_commands.empty());
}

TEST_F(MWCanvasSyncTest, AFailedRequestGoesAgainAtTheEndOfItsWaitAndTheInfoLineSaysOffline) {
    canvas.sync_agent.setJitter([] { return 1.0; });
    drawStroke(10, 10, 20, 20);
    const std::string append = http.lastBody();
    const std::string online = outlets.info_text;
    EXPECT_EQ(online.find("offline"), std::string::npos);
    // The agent's own timer sends it again at the end of its wait, not the polling timer.
    const auto retryTimerWaits = [&](double wait) {
        scheduler.runIdle();
        for (const auto& [id, timer] : scheduler.timers) {
            if (timer.interval == wait) {
                return true;
            }
        }
        return false;
    };
    http.fail(0);
    EXPECT_EQ(outlets.info_text, online + " · offline: 1 stroke waiting");
    EXPECT_TRUE(retryTimerWaits(1.5));
    drawStroke(30, 30, 40, 40);
    EXPECT_EQ(outlets.info_text, online + " · offline: 2 strokes waiting");
    clock.advance(0.5);
    scheduler.tick();
    ASSERT_EQ(http.async_requests.size(), 2u);
    EXPECT_EQ(http.lastBody(), append);
    // Refusals that mean "not now" count as failures too, with a doubling of their own.
    for (const double wait : {2.5, 5.0, 10.0}) {
        const size_t sent = http.async_requests.size();
        http.answer(sent - 1, "", {503, std::nullopt});
        EXPECT_TRUE(retryTimerWaits(wait)) << wait;
        clock.advance(wait);
        scheduler.tick();
        ASSERT_EQ(http.async_requests.size(), sent + 1);
        EXPECT_EQ(http.lastBody(), append);
    }
    EXPECT_EQ(outlets.info_text, online + " · offline: 2 strokes waiting");
    // Back: the first stroke is in, the second goes at once, and the line says so for a while.
    http.answer(4, "");
    EXPECT_EQ(outlets.info_text, online + " · back online");
    ASSERT_EQ(http.async_requests.size(), 6u);
    http.answer(5, "");
    EXPECT_TRUE(canvas.sync_agent.queued_commands.empty());
    clock.advance(MWCanvas::BackOnlineSeconds);
    scheduler.tick();
    EXPECT_EQ(outlets.info_text, online);
    EXPECT_TRUE(http.lastBody().ends_with("points:")) << "the poll takes over again";
    // A poll that fails while nothing waits: offline all the same.
    http.fail(6);
    EXPECT_EQ(outlets.info_text, online + " · offline");
}

// Any 2xx to another request of the canvas (here the upload of its thumbnail) shows the server
// is there: the waiting head goes at once.
TEST_F(MWCanvasSyncTest, AnyAnswerOfTheServerEndsTheWaitOfTheQueue) {
    canvas.sync_agent.setJitter([] { return 1.0; });
    drawStroke(10, 10, 20, 20);
    http.answer(0, "", {503, std::nullopt});
    http.scriptSyncStatus({503, std::nullopt}, "busy");
    canvas.generateThumbnail();
    EXPECT_EQ(http.async_requests.size(), 1u) << "no 2xx, no news";
    http.scriptSync("http://127.0.0.1:8640/images/0123.png");
    canvas.generateThumbnail();
    ASSERT_EQ(http.async_requests.size(), 2u);
    EXPECT_EQ(http.async_requests[1].request.body, http.async_requests[0].request.body);
}

TEST_F(MWCanvasSyncTest, ARestoredQueueDrainsByItselfOneRequestAtATime) {
    settings.setStringList("QueuedCommands", {"a: get_strokes: ", "b: get_strokes: "});
    canvas.loadDefaults();
    EXPECT_TRUE(http.async_requests.empty());
    scheduler.tick();
    EXPECT_EQ(http.lastBody(), "a: get_strokes: ");
    scheduler.tick();
    EXPECT_EQ(http.async_requests.size(), 1u);
    http.answer(0, "");
    EXPECT_EQ(http.lastBody(), "b: get_strokes: ");
}

TEST_F(MWCanvasSyncTest, AnOwnStrokeRestoredUnconfirmedIsReplacedByItsEcho) {
    const int64_t t = drawStroke(100, 100, 200, 200);
    const MWStroke own = canvas.strokes_history.at({Init, t});
    http.fail(0);
    canvas.saveDefaults();

    // The next run: a new canvas object, a new user ID.
    testing::ManualScheduler scheduler2;
    testing::ScriptedHttp http2;
    MWCanvas next{outlets, {clock, http2, scheduler2, settings, random}, ServerURL, UploadURL};
    next.setScreenSize(320, 480);
    next.clear_canvas();
    next.loadDefaults();
    next.redrawStrokes();
    clock.advance(1);
    ASSERT_EQ(next.strokes_history.count({0, t}), 1u);
    EXPECT_NE(next.userID(), own.user_name);

    scheduler2.tick(); // sends the restored append
    ASSERT_EQ(http2.async_requests.size(), 1u);
    EXPECT_EQ(http2.lastBody(), wire::appendCommand(CanvasA, own));
    MWStroke echo = own;
    echo.server_time = 1291201300000;
    http2.answer(0, line(echo));
    scheduler2.runIdle();
    ASSERT_EQ(next.strokes_history.size(), 1u);
    EXPECT_EQ(next.strokes_history.begin()->first, (StrokeKey{1291201300000, t}));
}

TEST_F(MWCanvasSyncTest, AnEchoAfterANicknameChangeStillReplacesItsProvisionalEntry) {
    const int64_t t = drawStroke(100, 100, 200, 200);
    const MWStroke own = canvas.strokes_history.at({Init, t});
    canvas.setNickname("anna");
    ASSERT_NE(canvas.userID(), own.user_name);
    http.answer(0, line(echoOf({Init, t}, 1291201300000)));
    scheduler.runIdle();
    EXPECT_EQ(keys(), (std::vector<StrokeKey>{{1291201300000, t}}));
}

TEST_F(MWCanvasSyncTest, AStrokeOfAnotherUserWithTheSameClientTimeStaysBesideOurs) {
    const int64_t t = drawStroke(100, 100, 200, 200);
    scheduler.tick();
    http.answer(0, line(othersStroke(1000, t, 50000)));
    scheduler.runIdle();
    EXPECT_EQ(keys(), (std::vector<StrokeKey>{{1000, t}, {Init, t}}));
}

TEST_F(MWCanvasSyncTest, OpeningACanvasFetchesItsStrokesAndIgnoresTheOldOnesReplies) {
    const int64_t t = drawStroke(100, 100, 200, 200);
    const std::string old_user = canvas.userID();
    clock.advance(2);
    canvas.setCanvasID("bob@20101201000000000");

    // First the server's picture of the layers at this size, then the strokes.
    ASSERT_EQ(http.async_requests.size(), 2u);
    EXPECT_EQ(http.async_requests[1].request.url,
              std::string(ServerURL) + "layers/bob@20101201000000000.png?w=320&h=480");
    EXPECT_EQ(http.async_requests[1].request.method, "GET");
    EXPECT_EQ(fetchIndex(), -1);
    declinePicture();
    ASSERT_EQ(fetchIndex(), 2);
    EXPECT_TRUE(http.sync_requests.empty());
    EXPECT_EQ(http.async_requests[2].request.body, "bob@20101201000000000: get_strokes: ");
    EXPECT_TRUE(canvas.strokes_history.empty());
    EXPECT_EQ(outlets.info_text, "Normal layer · bob@20101201000000000 (loading: 0 strokes)");
    EXPECT_TRUE(canvas.user_id.empty());
    EXPECT_FALSE(paintedAt(150, 150));
    answerFetch(line(othersStroke(1000, 1, 50000)));
    EXPECT_EQ(outlets.info_text, "Normal layer · bob@20101201000000000");

    // The old canvas's append is still answered, with the old canvas's strokes.
    MWStroke echo;
    echo.client_time = t;
    echo.server_time = 2000;
    echo.user_name = old_user;
    echo.points_x = {100000};
    echo.points_y = {100000};
    http.answer(0, line(echo));
    scheduler.runIdle();
    EXPECT_EQ(keys(), (std::vector<StrokeKey>{{1000, 1}}));
    EXPECT_TRUE(paintedAt(50, 200));
}

TEST_F(MWCanvasSyncTest, OpeningAnEmptyCanvasIDNamesANewCanvasAtOnce) {
    drawStroke(100, 100, 200, 200);
    clock.set(1278246896.789);
    canvas.setCanvasID("");
    EXPECT_EQ(canvas.canvas_id, "public@20100704123456789");
    declinePicture();
    ASSERT_EQ(fetchIndex(), 2);
    EXPECT_EQ(http.async_requests[2].request.body, "public@20100704123456789: get_strokes: ");
    answerFetch("");
    EXPECT_TRUE(canvas.strokes_history.empty());
    EXPECT_EQ(outlets.info_text, "Normal layer · public@20100704123456789");
    for (int y = 0; y < 480; y += 7) {
        for (int x = 0; x < 320; x += 7) {
            ASSERT_EQ(canvas.display_bitmap.at(x, y), OpaqueWhite);
        }
    }
}

TEST_F(MWCanvasSyncTest, ThePollingTimerRunsEveryFiveSecondsForTheCanvasLifetime) {
    ASSERT_EQ(scheduler.timers.size(), 1u);
    EXPECT_EQ(scheduler.timers.begin()->second.interval, 5.0);
    {
        testing::ScriptedHttp other_http;
        MWCanvas other{
            outlets, {clock, other_http, scheduler, settings, random}, ServerURL, UploadURL};
        EXPECT_EQ(scheduler.timers.size(), 2u);
    }
    EXPECT_EQ(scheduler.timers.size(), 1u);
}

} // namespace
} // namespace velmo::canvas
