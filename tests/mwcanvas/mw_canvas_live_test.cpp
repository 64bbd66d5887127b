#include "mwcanvas/mw_canvas.h"

#include "support/counting_random.h"
#include "support/fake_clock.h"
#include "support/manual_scheduler.h"
#include "support/memory_settings.h"
#include "support/recording_outlets.h"
#include "support/scripted_event_stream.h"
#include "support/scripted_http.h"
#include "wire/command_text.h"

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

    static std::string streamURL(const char* id) { return std::string(ServerURL) + "events/" + id; }

    testing::RecordingOutlets outlets;
    testing::FakeClock clock{Start};
    testing::ScriptedHttp http;
    testing::ManualScheduler scheduler;
    testing::MemorySettings settings;
    testing::CountingRandom random;
    testing::ScriptedEventStream events;
    MWCanvas canvas{{outlets, clock, http, scheduler, settings, random, &events},
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

TEST_F(MWCanvasLiveTest, AFailedStreamLeavesTheTimerPollingAndReconnectsWithBackoff) {
    events.event("ready", "0");
    // Ticks until the stream is open again, counting the timer's polls meanwhile.
    const auto ticksToReopen = [&] {
        events.fail();
        int ticks = 0;
        while (!events.is_open && ticks < 100) {
            const int before = polls();
            scheduler.tick();
            EXPECT_EQ(polls(), before + 1) << "every tick polls";
            http.answer(http.async_requests.size() - 1, "");
            ++ticks;
        }
        return ticks;
    };
    // A stream that worked comes back at once; one that breaks again before the next tick,
    // after the back-off.
    EXPECT_EQ(ticksToReopen(), 0);
    events.event("ready", "0");
    EXPECT_EQ(ticksToReopen(), 1);
    EXPECT_EQ(ticksToReopen(), 2);
    EXPECT_EQ(ticksToReopen(), 4);
    EXPECT_EQ(ticksToReopen(), 8);
    EXPECT_EQ(ticksToReopen(), 12);
    EXPECT_EQ(ticksToReopen(), 12) << "a minute at most";
    EXPECT_EQ(events.opened.size(), 8u);
    for (const std::string& url : events.opened) {
        EXPECT_EQ(url, streamURL(CanvasA));
    }
    EXPECT_EQ(polls(), 39);
    // Back, it tells of a stroke stored while it was away, and it works as before: a tick
    // later it may come back at once again.
    events.event("ready", "1291201300000");
    EXPECT_EQ(polls(), 40);
    http.answer(http.async_requests.size() - 1, "");
    EXPECT_EQ(ticksToReopen(), 0);
    events.event("ready", "1291201300000");
    http.answer(http.async_requests.size() - 1, "");
    EXPECT_EQ(ticksToReopen(), 1);
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

TEST(MWCanvasLive, WithoutAnEventStreamOnlyTheTimerPolls) {
    testing::RecordingOutlets outlets;
    testing::FakeClock clock{Start};
    testing::ScriptedHttp http;
    testing::ManualScheduler scheduler;
    testing::MemorySettings settings;
    testing::CountingRandom random;
    testing::ScriptedEventStream unused;
    {
        MWCanvas canvas({outlets, clock, http, scheduler, settings, random}, ServerURL, "");
        EXPECT_EQ(canvas.news_feed, nullptr);
        canvas.setCanvasID(CanvasA);
        scheduler.tick();
        ASSERT_EQ(http.async_requests.size(), 2u); // the canvas's strokes, then the poll
        EXPECT_TRUE(http.lastBody().ends_with("points:"));
    }
    {
        MWCanvas canvas({outlets, clock, http, scheduler, settings, random, &unused}, ServerURL,
                        "");
        canvas.setCanvasID(CanvasA);
        EXPECT_TRUE(unused.is_open);
    }
    EXPECT_FALSE(unused.is_open) << "a canvas that goes closes its stream";
}

} // namespace
} // namespace velmo::canvas
