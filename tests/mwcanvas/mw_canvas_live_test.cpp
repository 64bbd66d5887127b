#include "mwcanvas/mw_canvas.h"

#include "canvas/stroke_replay.h"

#include "support/counting_random.h"
#include "support/fake_clock.h"
#include "support/manual_scheduler.h"
#include "support/memory_settings.h"
#include "support/recording_outlets.h"
#include "support/scripted_event_stream.h"
#include "support/scripted_http.h"
#include "wire/command_text.h"
#include "wire/stroke_progress.h"

#include <gtest/gtest.h>

#include <string>

namespace velmo::canvas {
namespace {

using mwcanvas::MWCanvas;

const char* const ServerURL = "http://127.0.0.1:8640/";
const char* const CanvasA = "anna@20101201095959123";
const char* const CanvasB = "bob@20101201095959123";
constexpr double Start = 1291201234.567;

// The canvas with its live stream, every edge faked.
class MWCanvasLiveTest : public ::testing::Test {
protected:
    MWCanvasLiveTest() {
        canvas.setScreenSize(320, 480);
        canvas.clear_canvas();
        open(CanvasA);
    }

    // Opens the canvas; its strokes: none yet. The fetch is the newest request.
    void open(const char* id) {
        canvas.setCanvasID(id);
        http.answer(http.async_requests.size() - 1, "", {404, std::nullopt}); // no picture
        http.answer(http.async_requests.size() - 1, "");
        while (scheduler.runIdle() > 0) {
        }
    }

    std::string othersLine(const char* canvas_id, int64_t server_time) const {
        MWStroke s;
        s.server_time = server_time;
        s.client_time = server_time - 1000;
        s.user_name = "bob@20101201000000000";
        s.pen_properties = defaultPen(canvas.geometry.pixel_scale);
        s.points_x = {1000, 2000};
        s.points_y = {1000, 2000};
        return wire::appendCommand(canvas_id, s);
    }

    // Polls sent so far: appends without points.
    int polls() const {
        int count = 0;
        for (const auto& pending : http.async_requests) {
            count += pending.request.body.ends_with("points:");
        }
        return count;
    }

    // The stream names the canvas and the user who draws there.
    std::string streamURL(const char* id) {
        return wire::presenceStreamURL(ServerURL, id, canvas.userID());
    }

    testing::RecordingOutlets outlets;
    testing::FakeClock clock{Start};
    testing::ScriptedHttp http;
    testing::ManualScheduler scheduler;
    testing::MemorySettings settings;
    testing::CountingRandom random;
    testing::ScriptedEventStream events;
    MWCanvas canvas{outlets,
                    {clock, http, scheduler, settings, random, &events},
                    ServerURL,
                    std::string(ServerURL) + "upload.cgi"};
};

TEST_F(MWCanvasLiveTest, AnEventPollsAtOnceAndABurstDuringTheRequestMakesOnePollAfterIt) {
    ASSERT_EQ(events.opened, std::vector<std::string>{streamURL(CanvasA)});
    // Opening tells the newest stamp; the canvas has it all.
    events.event("ready", "0");
    EXPECT_EQ(polls(), 0);

    events.event("append", "1291201300000");
    ASSERT_EQ(polls(), 1);
    EXPECT_NE(http.lastBody().find("user_name:" + canvas.userID() + " "), std::string::npos);
    events.event("append", "1291201300001");
    events.event("delete");
    events.event("append", "1291201300002");
    EXPECT_EQ(polls(), 1) << "one request in flight";

    http.answer(2, othersLine(CanvasA, 1291201300000));
    EXPECT_EQ(polls(), 2) << "the news that came meanwhile";
    http.answer(3, othersLine(CanvasA, 1291201300001) + "\n" + othersLine(CanvasA, 1291201300002));
    EXPECT_EQ(polls(), 2);
    scheduler.runIdle();
    EXPECT_EQ(canvas.strokes_history.size(), 3u);

    // The timer still polls, stream or not.
    scheduler.tick();
    EXPECT_EQ(polls(), 3);
}

TEST_F(MWCanvasLiveTest, AFailedStreamLeavesTheTimerPollingAndReconnectsSoon) {
    canvas.news_feed->setJitter([] { return 1.0; });
    events.event("ready", "0");
    // A stream that worked comes back at once; one that breaks again, after a wait of about a
    // second that doubles up to a minute. The timer polls meanwhile.
    events.fail();
    EXPECT_TRUE(events.is_open);
    for (const double wait : {2.0, 4.0, 8.0, 16.0, 32.0, 60.0, 60.0}) {
        events.fail();
        EXPECT_DOUBLE_EQ(canvas.news_feed->reopenWait(), wait);
        const int before = polls();
        scheduler.tick();
        EXPECT_EQ(polls(), before + 1) << "every tick polls";
        http.answer(http.async_requests.size() - 1, "");
        EXPECT_TRUE(events.is_open);
    }
    for (const std::string& url : events.opened) {
        EXPECT_EQ(url, streamURL(CanvasA));
    }
    // Back, it tells of a stroke stored while it was away.
    const int before = polls();
    events.event("ready", "1291201300000");
    EXPECT_EQ(polls(), before + 1);
    http.answer(http.async_requests.size() - 1, "");
    events.fail();
    EXPECT_TRUE(events.is_open) << "it worked again: at once";
}

// The stream and the agent tell each other that the server is back: a stream event sends the
// waiting head at once, and an answer to the agent opens a waiting stream at once.
TEST_F(MWCanvasLiveTest, TheServerSeenByTheStreamOrTheAgentEndsTheOthersWait) {
    canvas.sync_agent.setJitter([] { return 1.0; });
    scheduler.tick();
    const size_t sent = http.async_requests.size();
    http.fail(sent - 1); // the poll got no answer
    EXPECT_TRUE(canvas.sync_agent.offline());
    events.event("ready", "0");
    ASSERT_EQ(http.async_requests.size(), sent + 1);
    EXPECT_EQ(http.lastBody(), http.async_requests[sent - 1].request.body);
    http.answer(sent, "");
    EXPECT_FALSE(canvas.sync_agent.offline());

    events.fail(); // it had worked: at once, and then it fails again
    events.fail();
    EXPECT_FALSE(events.is_open);
    scheduler.tick();
    const size_t polled = http.async_requests.size();
    http.fail(polled - 1);
    events.fail();
    EXPECT_FALSE(events.is_open);
    clock.advance(1.5);
    canvas.sync_agent.resumeQueue();
    ASSERT_EQ(http.async_requests.size(), polled + 1);
    http.answer(polled, "");
    EXPECT_TRUE(events.is_open);
}

TEST_F(MWCanvasLiveTest, SwitchingCanvasMovesTheStream) {
    canvas.setCanvasID(CanvasA); // the same canvas keeps its stream
    EXPECT_EQ(events.opened.size(), 1u);
    open(CanvasB);
    EXPECT_EQ(events.closes, 1);
    EXPECT_EQ(events.opened, (std::vector<std::string>{streamURL(CanvasA), streamURL(CanvasB)}));
    // News of the new canvas is polled for it.
    events.event("append", "1291201300000");
    ASSERT_EQ(polls(), 1);
    EXPECT_EQ(wire::commandCanvasID(http.lastBody()), CanvasB);

    // A new canvas, named at once, gets its stream too; a restored one at loading.
    open("");
    EXPECT_EQ(events.url(), streamURL(canvas.canvas_id.c_str()));
    settings.setString("CanvasID", CanvasA);
    canvas.loadDefaults();
    EXPECT_EQ(events.url(), streamURL(CanvasA));
    EXPECT_TRUE(events.is_open);
}

TEST_F(MWCanvasLiveTest, TheStrokeBeingDrawnGoesOutBesideTheQueueUntilTheServerRefusesIt) {
    ASSERT_EQ(events.opened_headers.back().size(), 1u);
    EXPECT_EQ(events.opened_headers.back()[0].second, *canvas.keyHeader(canvas.userID()));
    // Not before the stream is heard: a server without one would not know the command.
    canvas.touchPressedAtX(10, 10);
    canvas.touchDraggedAtX(20, 20);
    canvas.touchReleasedAtX(20, 20);
    const auto progressRequests = [&] {
        std::vector<size_t> found;
        for (size_t i = 0; i < http.async_requests.size(); ++i) {
            if (http.async_requests[i].request.body.find(wire::ProgressAfterID) !=
                std::string::npos) {
                found.push_back(i);
            }
        }
        return found;
    };
    EXPECT_TRUE(progressRequests().empty());
    http.answer(http.async_requests.size() - 1, "");
    scheduler.runIdle();

    events.event("ready", "0");
    clock.advance(1.0);
    const int64_t press = static_cast<int64_t>(clock.now() * 1000.0);
    canvas.touchPressedAtX(30, 40);
    ASSERT_EQ(progressRequests().size(), 1u);
    const size_t first = progressRequests()[0];
    const platform::HttpRequest& request = http.async_requests[first].request;
    EXPECT_EQ(request.url, ServerURL);
    const std::string prefix = std::string(CanvasA) + std::string(wire::ProgressAfterID);
    ASSERT_EQ(request.body.rfind(prefix, 0), 0u) << request.body;
    const auto sent =
        wire::parseProgress(request.body.substr(prefix.size()), canvas.geometry.pixel_scale);
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->user_name, canvas.userID());
    EXPECT_EQ(sent->stroke, press);
    EXPECT_EQ(sent->points_x, std::vector<int32_t>{canvas.x_array[0]});
    ASSERT_EQ(request.headers.size(), 1u);
    EXPECT_EQ(request.headers[0].second, *canvas.keyHeader(canvas.userID()));
    for (int i = 1; i <= 5; ++i) {
        clock.advance(0.016);
        canvas.touchDraggedAtX(30 + 10 * i, 40);
    }
    EXPECT_EQ(progressRequests().size(), 1u) << "one in flight";
    http.answer(first, "", {204, {}});
    ASSERT_EQ(progressRequests().size(), 2u);
    // An older server: no more progress on this canvas, while the stroke still goes as ever.
    http.answer(progressRequests()[1], "unknown command", {400, {}});
    clock.advance(0.1);
    canvas.touchDraggedAtX(200, 40);
    canvas.touchReleasedAtX(200, 40);
    EXPECT_EQ(progressRequests().size(), 2u);
    EXPECT_TRUE(outlets.messages.empty()) << "progress refused is no refused change";
    ASSERT_FALSE(canvas.sync_agent.queued_commands.empty());
    for (const std::string& command : canvas.sync_agent.queued_commands) {
        EXPECT_EQ(command.find(wire::ProgressAfterID), std::string::npos);
    }
    clock.advance(1.0);
    canvas.touchPressedAtX(30, 40);
    canvas.cancelStroke();
    EXPECT_EQ(progressRequests().size(), 2u);
    EXPECT_TRUE(canvas.progress_sender.refused());
    // Opened again, it is tried again.
    open(CanvasA);
    EXPECT_FALSE(canvas.progress_sender.refused());
}

TEST_F(MWCanvasLiveTest, OthersStrokesInProgressArePaintedUntilTheirFinishedStrokeArrives) {
    events.event("ready", "0");
    const std::string ann = "ann@20101201000000000";
    events.event("join", canvas.userID());
    events.event("join", ann);
    events.event("join", "bob@20101201000000001");
    EXPECT_EQ(outlets.present_users.back(), (std::vector<std::string>{"ann", "bob"}));

    const Surface blank = canvas.display_bitmap;
    const LayerSurfaces layers = canvas.layer_bitmap;
    wire::StrokeProgress progress;
    progress.user_name = ann;
    progress.stroke = 1291201230000;
    progress.at = progress.stroke + 50;
    progress.pen = defaultPen(canvas.geometry.pixel_scale);
    progress.pen.color = static_cast<int32_t>(0xFF3060C0u);
    progress.pen.width = canvas.geometry.toUnits(10);
    progress.layer = 0;
    for (int i = 0; i < 20; ++i) {
        progress.points_x.push_back(canvas.geometry.toUnits(20.0f + 10.0f * static_cast<float>(i)));
        progress.points_y.push_back(canvas.geometry.toUnits(100.0f + 5.0f * static_cast<float>(i)));
    }
    events.event("progress", wire::progressText(progress));
    EXPECT_EQ(canvas.strokesInProgress(), 1u);
    EXPECT_NE(canvas.display_bitmap, blank);
    EXPECT_EQ(canvas.layer_bitmap, layers);
    EXPECT_TRUE(canvas.strokes_history.empty());
    ASSERT_FALSE(outlets.pen_markers.empty());
    ASSERT_EQ(outlets.pen_markers.back().size(), 1u);
    EXPECT_EQ(outlets.pen_markers.back()[0].nickname, "ann");
    EXPECT_EQ(outlets.pen_markers.back()[0].color, 0xFF3060C0u);
    const Surface in_progress = canvas.display_bitmap;
    // A published picture is the canvas's, without them.
    http.scriptSync("http://i.example/a.png");
    canvas.hideStrokesInProgress();
    canvas.generateThumbnail();
    events.event("progress", wire::progressText(progress)); // from the start again
    EXPECT_EQ(canvas.display_bitmap, in_progress);
    http.scriptSync("http://i.example/b.png");
    canvas.generateThumbnail();
    ASSERT_EQ(http.sync_requests.size(), 2u);
    EXPECT_EQ(http.sync_requests[0].body, http.sync_requests[1].body);
    while (scheduler.runIdle() > 0) {
    }

    // Its finished stroke comes in a poll reply: painted in its place, the same pixels.
    MWStroke finished;
    finished.user_name = ann;
    finished.client_time = progress.stroke + 900;
    finished.server_time = 1291201300000;
    finished.pen_properties = progress.pen;
    finished.layer = 0;
    finished.points_x = progress.points_x;
    finished.points_y = progress.points_y;
    events.event("append", "1291201300000");
    http.answer(http.async_requests.size() - 1, wire::appendCommand(CanvasA, finished));
    while (scheduler.runIdle() > 0) {
    }
    ASSERT_EQ(canvas.strokes_history.size(), 1u);
    EXPECT_EQ(canvas.strokesInProgress(), 0u);
    EXPECT_EQ(canvas.display_bitmap, in_progress);
    EXPECT_EQ(canvas.display_bitmap, renderPicture({finished}, canvas.geometry));
    EXPECT_TRUE(outlets.pen_markers.back().empty());

    // A leave takes its drawer's strokes and name away; another canvas, everything.
    progress.stroke += 5000;
    events.event("progress", wire::progressText(progress));
    EXPECT_EQ(canvas.strokesInProgress(), 1u);
    events.event("leave", ann);
    EXPECT_EQ(canvas.strokesInProgress(), 0u);
    EXPECT_EQ(outlets.present_users.back(), std::vector<std::string>{"bob"});
    progress.user_name = "bob@20101201000000001";
    events.event("progress", wire::progressText(progress));
    EXPECT_EQ(canvas.strokesInProgress(), 1u);
    open(CanvasB);
    EXPECT_EQ(canvas.strokesInProgress(), 0u);
    EXPECT_TRUE(outlets.present_users.back().empty());
    EXPECT_TRUE(outlets.pen_markers.back().empty());
    EXPECT_EQ(canvas.display_bitmap, blank);
}

TEST(MWCanvasLive, WithoutAnEventStreamOnlyTheTimerPolls) {
    testing::RecordingOutlets outlets;
    testing::FakeClock clock{Start};
    testing::ScriptedHttp http;
    testing::ManualScheduler scheduler;
    testing::MemorySettings settings;
    testing::CountingRandom random;
    testing::ScriptedEventStream unused;
    {
        MWCanvas canvas(outlets, {clock, http, scheduler, settings, random}, ServerURL, "");
        EXPECT_EQ(canvas.news_feed, nullptr);
        canvas.setCanvasID(CanvasA);
        scheduler.tick();
        ASSERT_EQ(http.async_requests.size(), 2u); // the canvas's strokes, then the poll
        EXPECT_TRUE(http.lastBody().ends_with("points:"));
    }
    {
        MWCanvas canvas(outlets, {clock, http, scheduler, settings, random, &unused}, ServerURL,
                        "");
        canvas.setCanvasID(CanvasA);
        EXPECT_TRUE(unused.is_open);
    }
    EXPECT_FALSE(unused.is_open) << "a canvas that goes closes its stream";
}

} // namespace
} // namespace velmo::canvas
