#include "sync/stroke_sync_agent.h"

#include "support/fake_clock.h"
#include "support/manual_scheduler.h"
#include "support/scripted_http.h"
#include "wire/command_text.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmo::sync {
namespace {

constexpr float Scale320 = 320.0f / 320000.0f;
const char* const ServerURL = "http://127.0.0.1:8640/";

struct FixedCanvas : SyncCanvas {
    std::string canvasID() override { return id; }
    float pixelScale() const override { return Scale320; }
    std::optional<std::string> keyHeader(std::string_view user_id) override {
        asked.emplace_back(user_id);
        const auto it = keys.find(std::string(user_id.empty() ? current_user : user_id));
        return it == keys.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    std::string id = "public@20101201095959123";
    // Header values by user ID; none: the canvas has no key to send.
    std::map<std::string, std::string> keys;
    std::string current_user;
    std::vector<std::string> asked;
};

canvas::MWStroke strokeAt(int64_t client_time) {
    canvas::MWStroke s;
    s.client_time = client_time;
    s.user_name = "public@20101201100000001";
    s.pen_properties = canvas::defaultPen(Scale320);
    s.points_x = {1, 2};
    s.points_y = {3, 4};
    return s;
}

std::string strokeLine(const std::string& canvas_id, int64_t server_time, int64_t client_time,
                       const std::string& user) {
    return canvas_id + ": append:  client_time:" + std::to_string(client_time) +
           " server_time:" + std::to_string(server_time) + " user_name:" + user +
           " pen_properties:color=ff000000,width=2999,density=128 layer:0 points: 5-6";
}

class AgentTest : public ::testing::Test {
protected:
    AgentTest() : agent(std::make_unique<StrokeSyncAgent>(http, scheduler, clock, ServerURL)) {
        agent->canvas = &canvas;
        agent->setResponseListener([this] { ++notices; });
    }

    testing::FakeClock clock{1291201234.567};
    testing::ManualScheduler scheduler;
    testing::ScriptedHttp http;
    FixedCanvas canvas;
    std::unique_ptr<StrokeSyncAgent> agent;
    int notices = 0;
};

TEST_F(AgentTest, EachCommandCarriesTheKeyOfTheUserItSpeaksFor) {
    canvas.keys = {{"public@20101201100000001", "public@20101201100000001 00ff"},
                   {"anna@1", "anna@1 0102"}};
    canvas.current_user = "anna@1";
    const auto keyOf = [](const platform::HttpRequest& request) {
        EXPECT_LE(request.headers.size(), 1u);
        return request.headers.empty()
                   ? std::string()
                   : request.headers[0].first + ": " + request.headers[0].second;
    };
    canvas::MWStroke bob = strokeAt(9);
    bob.user_name = "bob@1"; // a command queued under an ID the canvas has no key for
    agent->append_stroke(strokeAt(7));
    agent->delete_stroke(strokeAt(7));
    agent->append_stroke(bob);
    agent->update_thumbnail("http://i.example/t.png");
    for (size_t i = 0; i < 4; ++i) {
        http.answer(i, "");
    }
    ASSERT_EQ(http.async_requests.size(), 4u);
    EXPECT_EQ(keyOf(http.async_requests[0].request),
              "Velmorastra-Key: public@20101201100000001 00ff");
    EXPECT_EQ(keyOf(http.async_requests[1].request),
              "Velmorastra-Key: public@20101201100000001 00ff");
    EXPECT_EQ(keyOf(http.async_requests[2].request), "");
    EXPECT_EQ(keyOf(http.async_requests[3].request), "Velmorastra-Key: anna@1 0102");
    http.scriptSync("");
    agent->get_strokes();
    ASSERT_EQ(http.sync_requests.size(), 1u);
    EXPECT_EQ(keyOf(http.sync_requests[0]), "Velmorastra-Key: anna@1 0102");
    EXPECT_EQ(canvas.asked,
              (std::vector<std::string>{"public@20101201100000001", "public@20101201100000001",
                                        "bob@1", "", ""}));
}

TEST_F(AgentTest, StartsIdleAndEmpty) {
    EXPECT_EQ(agent->timeout, 10.0);
    EXPECT_FALSE(agent->requesting);
    EXPECT_EQ(agent->last_request_time, 0.0);
    EXPECT_FALSE(agent->error_occcured);
    EXPECT_FALSE(agent->canvas_should_be_refreshed);
    EXPECT_TRUE(agent->queued_commands.empty());
    EXPECT_EQ(agent->response_status(), 0);
}

TEST_F(AgentTest, PostsOneCommandToTheBaseURLWithNoHeaderOfItsOwn) {
    agent->append_stroke(strokeAt(7));
    ASSERT_EQ(http.async_requests.size(), 1u);
    const auto& request = http.async_requests[0].request;
    EXPECT_EQ(request.url, ServerURL);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.timeout_seconds, 10.0);
    EXPECT_TRUE(request.headers.empty());
    EXPECT_EQ(request.body, "public@20101201095959123: append:  client_time:7 server_time:0 "
                            "user_name:public@20101201100000001 pen_properties:color=ff000000,"
                            "width=2999,density=128 layer:0 points: 1-3 2-4");
    EXPECT_TRUE(agent->requesting);
    EXPECT_EQ(agent->last_request_time, clock.now());
    EXPECT_EQ(agent->queued_commands.size(), 1u);
}

TEST_F(AgentTest, ThreeCommandsDrainOneRequestAtATime) {
    agent->append_stroke(strokeAt(1));
    agent->delete_stroke(strokeAt(1));
    agent->update_thumbnail("http://i/t.png");
    ASSERT_EQ(http.async_requests.size(), 1u);
    EXPECT_EQ(agent->queued_commands.size(), 3u);

    http.answer(0, "");
    ASSERT_EQ(http.async_requests.size(), 2u);
    EXPECT_EQ(http.lastBody(), agent->queued_commands.front());
    EXPECT_NE(http.lastBody().find(": delete: "), std::string::npos);
    EXPECT_EQ(agent->queued_commands.size(), 2u);

    http.answer(1, "");
    ASSERT_EQ(http.async_requests.size(), 3u);
    EXPECT_EQ(http.lastBody(), "public@20101201095959123: update_thumbnail: url:http://i/t.png");

    http.answer(2, "");
    EXPECT_EQ(http.async_requests.size(), 3u);
    EXPECT_TRUE(agent->queued_commands.empty());
    EXPECT_FALSE(agent->requesting);
}

TEST_F(AgentTest, ACommandWaitsFiveSecondsButResendsTheHeadAfterEleven) {
    agent->append_stroke(strokeAt(1));
    clock.advance(5);
    agent->append_stroke(strokeAt(2));
    EXPECT_EQ(http.async_requests.size(), 1u);

    clock.advance(6); // 11 s after the request started
    agent->append_stroke(strokeAt(3));
    ASSERT_EQ(http.async_requests.size(), 2u);
    EXPECT_EQ(http.async_requests[1].request.body, http.async_requests[0].request.body);
    EXPECT_EQ(agent->queued_commands.size(), 3u);
    EXPECT_EQ(agent->last_request_time, clock.now());
}

TEST_F(AgentTest, AOneLetterReplyChangesNoInboxButRetiresTheHeadAndPostsTheNotice) {
    agent->append_stroke(strokeAt(1));
    agent->append_stroke(strokeAt(2));
    http.answer(0, "x");
    EXPECT_EQ(agent->response_status(), 0);
    EXPECT_TRUE(agent->canvas_list.empty());
    EXPECT_EQ(agent->queued_commands.size(), 1u);
    EXPECT_EQ(http.async_requests.size(), 2u);
    EXPECT_EQ(scheduler.runIdle(), 1);
    EXPECT_EQ(notices, 1);
}

TEST_F(AgentTest, SortsReplyLinesIntoTheInboxes) {
    agent->append_stroke(strokeAt(1));
    http.answer(0, strokeLine(canvas.id, 100, 1, "u@1") + "\n" +
                       strokeLine(canvas.id, 101, 2, "v@2") + "\n\nnoise\r\n");
    ASSERT_EQ(agent->returned_strokes.size(), 2u);
    EXPECT_EQ(agent->returned_strokes[0].server_time, 100);
    EXPECT_EQ(agent->returned_strokes[1].user_name, "v@2");
    EXPECT_EQ(agent->returned_strokes[1].points_x, std::vector<int32_t>{5});
    EXPECT_EQ(agent->response_status(), 1);

    agent->append_stroke(strokeAt(2));
    http.answer(1, canvas.id + ": delete: ");
    EXPECT_TRUE(agent->canvas_should_be_refreshed);
    EXPECT_EQ(agent->response_status(), 2);
}

TEST_F(AgentTest, FiveHundredStrokeLinesGiveFiveHundredStrokes) {
    std::string reply;
    for (int i = 0; i < 500; ++i) {
        reply += strokeLine(canvas.id, 1000 + i, i, i % 2 ? "public@20101201100000001" : "o@1");
        reply += '\n';
    }
    agent->append_stroke(strokeAt(1));
    http.answer(0, reply);
    EXPECT_EQ(agent->returned_strokes.size(), 500u);
}

TEST_F(AgentTest, SearchRepliesListCanvasesAndTheLaterThumbnailWins) {
    http.scriptSync("a@12345678901234567 http://i/1.png\na@12345678901234567 \n"
                    "b@1234567890123456 http://i/2.png\nword c@12345678901234567 u\n"
                    "d@12345678901234567 http://i/4.png\r\n\xff@12345678901234567 u");
    agent->search_canvas_list("anna");
    ASSERT_EQ(http.sync_requests.size(), 1u);
    EXPECT_EQ(http.sync_requests[0].body,
              "public@20101201095959123: search_canvas_list: nickname:anna");
    EXPECT_EQ(http.sync_requests[0].timeout_seconds, 10.0);
    EXPECT_FALSE(agent->error_occcured);
    EXPECT_EQ(agent->canvas_list,
              (std::vector<std::string>{"a@12345678901234567", "a@12345678901234567"}));
    EXPECT_EQ(agent->thumbnail_list,
              (std::map<std::string, std::string>{{"a@12345678901234567", ""}}));

    agent->search_canvas_list("anna");
    EXPECT_TRUE(agent->error_occcured);
    EXPECT_EQ(agent->canvas_list.size(), 2u);
}

TEST_F(AgentTest, AFailedRequestKeepsItsCommandAndTheNextTickSendsItAgain) {
    agent->append_stroke(strokeAt(1));
    http.fail(0);
    EXPECT_FALSE(agent->requesting);
    EXPECT_EQ(agent->queued_commands.size(), 1u);
    EXPECT_EQ(scheduler.runIdle(), 0);

    clock.advance(5); // the timer's next tick
    agent->resumeQueue();
    ASSERT_EQ(http.async_requests.size(), 2u);
    EXPECT_EQ(http.async_requests[1].request.body, http.async_requests[0].request.body);

    // While that one is in flight, further ticks send nothing.
    agent->resumeQueue();
    agent->resumeQueue();
    EXPECT_EQ(http.async_requests.size(), 2u);

    http.answer(1, "");
    EXPECT_TRUE(agent->queued_commands.empty());
    agent->resumeQueue();
    EXPECT_EQ(http.async_requests.size(), 2u);
}

TEST_F(AgentTest, ATickForgetsARequestOlderThanTheTimeOut) {
    agent->append_stroke(strokeAt(1));
    clock.advance(9);
    agent->resumeQueue();
    EXPECT_EQ(http.async_requests.size(), 1u);
    clock.advance(2);
    agent->resumeQueue();
    EXPECT_EQ(http.async_requests.size(), 2u);
}

TEST_F(AgentTest, LateCallbacksOfAForgottenRequestAreIgnored) {
    agent->append_stroke(strokeAt(1));
    http.deliver(0, strokeLine(canvas.id, 100, 1, "stale@1"));
    clock.advance(11);
    agent->append_stroke(strokeAt(2)); // forgets request 0, resends the head as request 1
    ASSERT_EQ(http.async_requests.size(), 2u);

    http.deliver(0, "\n" + strokeLine(canvas.id, 101, 9, "stale@1"));
    http.deliver(1, strokeLine(canvas.id, 200, 1, "fresh@1"));
    http.finish(0);
    EXPECT_EQ(agent->queued_commands.size(), 2u);
    EXPECT_TRUE(agent->returned_strokes.empty());
    http.fail(0);
    EXPECT_TRUE(agent->requesting);

    http.finish(1);
    ASSERT_EQ(agent->returned_strokes.size(), 1u);
    EXPECT_EQ(agent->returned_strokes[0].user_name, "fresh@1");
    EXPECT_EQ(agent->queued_commands.size(), 1u);
}

TEST_F(AgentTest, NoCallbackOrNoticeReachesADestroyedAgent) {
    agent->append_stroke(strokeAt(1));
    agent->append_stroke(strokeAt(2));
    http.answer(0, strokeLine(canvas.id, 100, 1, "u@1"));
    ASSERT_EQ(scheduler.pending.size(), 1u);
    ASSERT_EQ(http.async_requests.size(), 2u);

    agent.reset();
    EXPECT_TRUE(scheduler.pending.empty());
    http.deliver(1, "x");
    http.finish(1);
    http.fail(1);
    EXPECT_EQ(scheduler.runIdle(), 0);
    EXPECT_EQ(notices, 0);
}

TEST_F(AgentTest, ANoticeStillQueuedWhenTheAgentGoesDoesNothing) {
    // A scheduler that forgets to cancel must still not reach the agent.
    agent->append_stroke(strokeAt(1));
    http.answer(0, "");
    auto waiting = std::move(scheduler.pending);
    agent.reset();
    for (auto& notice : waiting) {
        notice.second();
    }
    EXPECT_EQ(notices, 0);
}

TEST_F(AgentTest, NoticesAreCoalescedUntilDelivered) {
    agent->append_stroke(strokeAt(1));
    agent->append_stroke(strokeAt(2));
    http.answer(0, "");
    http.answer(1, "");
    EXPECT_EQ(scheduler.posts, 2);
    EXPECT_EQ(scheduler.runIdle(), 1);
    EXPECT_EQ(notices, 1);
    agent->append_stroke(strokeAt(3));
    http.answer(2, "");
    EXPECT_EQ(scheduler.runIdle(), 1);
    EXPECT_EQ(notices, 2);
}

TEST_F(AgentTest, ASynchronousExchangeLeavesTheRequestInFlightAndTheQueueAlone) {
    agent->append_stroke(strokeAt(1));
    agent->append_stroke(strokeAt(2));
    const double started = agent->last_request_time;
    clock.advance(1);

    http.scriptSync(strokeLine(canvas.id, 100, 50, "other@1"));
    agent->get_strokes();
    ASSERT_EQ(http.sync_requests.size(), 1u);
    EXPECT_EQ(http.sync_requests[0].body, "public@20101201095959123: get_strokes: ");
    EXPECT_EQ(agent->returned_strokes.size(), 1u);
    EXPECT_TRUE(agent->requesting);
    EXPECT_EQ(agent->last_request_time, started);
    EXPECT_EQ(agent->queued_commands.size(), 2u);
    EXPECT_EQ(http.async_requests.size(), 1u);
    EXPECT_EQ(scheduler.pending.size(), 1u);

    http.answer(0, "");
    EXPECT_EQ(agent->queued_commands.size(), 1u);
    EXPECT_EQ(http.async_requests.size(), 2u);
}

TEST_F(AgentTest, AFailedSynchronousExchangeKeepsAHeadThatNeverReachedTheServer) {
    agent->append_stroke(strokeAt(1));
    http.fail(0);
    agent->get_strokes(); // nothing scripted: no answer
    EXPECT_TRUE(agent->error_occcured);
    http.scriptSync("");
    agent->get_strokes();
    EXPECT_FALSE(agent->error_occcured);
    ASSERT_EQ(agent->queued_commands.size(), 1u);
    EXPECT_NE(agent->queued_commands.front().find(": append: "), std::string::npos);
}

TEST_F(AgentTest, RepliesToCommandsOfAClosedCanvasBringNoStrokes) {
    agent->append_stroke(strokeAt(1));
    canvas.id = "public@20111111111111111";
    http.answer(0, strokeLine("public@20101201095959123", 100, 1, "u@1") +
                       "\npublic@20101201095959123: delete: ");
    EXPECT_EQ(agent->response_status(), 0);
    EXPECT_TRUE(agent->queued_commands.empty());

    agent->append_stroke(strokeAt(2));
    EXPECT_EQ(wire::commandCanvasID(http.lastBody()), "public@20111111111111111");
    http.answer(1, strokeLine("public@20111111111111111", 100, 1, "u@1"));
    EXPECT_EQ(agent->response_status(), 1);
}

TEST_F(AgentTest, RestoringTheQueueForgetsTheRequestInFlight) {
    agent->append_stroke(strokeAt(1));
    agent->restoreQueue({"a: get_strokes: ", "b: get_strokes: "});
    EXPECT_FALSE(agent->requesting);
    http.answer(0, "");
    EXPECT_EQ(agent->queued_commands.size(), 2u);
    agent->resumeQueue();
    EXPECT_EQ(http.lastBody(), "a: get_strokes: ");
}

TEST_F(AgentTest, WithoutACanvasNoCommandIsBuilt) {
    agent->canvas = nullptr;
    agent->append_stroke(strokeAt(1));
    agent->get_strokes();
    EXPECT_TRUE(agent->queued_commands.empty());
    EXPECT_TRUE(http.async_requests.empty());
    EXPECT_TRUE(http.sync_requests.empty());
}

// What each status of an answer means for the head: the second command goes at once only when
// the first was delivered or refused for good.
TEST_F(AgentTest, OnlyA2xxAnswerDeliversTheHeadAndOtherThan4xxItGoesAgainLater) {
    enum Meaning { Delivered, Kept, Dropped };
    const struct {
        int status;
        std::optional<double> retry_after;
        Meaning meaning;
    } cases[] = {
        {200, std::nullopt, Delivered},
        {201, std::nullopt, Delivered},
        {204, std::nullopt, Delivered},
        {301, std::nullopt, Kept},
        {302, std::nullopt, Kept},
        {303, std::nullopt, Kept},
        {307, std::nullopt, Kept},
        {308, std::nullopt, Kept},
        {408, std::nullopt, Kept},
        {429, 30.0, Kept},
        {429, std::nullopt, Kept},
        {500, std::nullopt, Kept},
        {502, std::nullopt, Kept},
        {503, 1.0, Kept},
        {504, std::nullopt, Kept},
        {400, std::nullopt, Dropped},
        {401, std::nullopt, Dropped},
        {403, std::nullopt, Dropped},
        {404, std::nullopt, Dropped},
        {413, std::nullopt, Dropped},
        {422, 9.0, Dropped},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        testing::ScriptedHttp exchange;
        StrokeSyncAgent a(exchange, scheduler, clock, ServerURL);
        a.canvas = &canvas;
        a.setJitter([] { return 1.0; });
        std::vector<std::pair<std::string, int>> refusals;
        a.setRefusalListener([&](const std::string& command, int status) {
            refusals.emplace_back(command, status);
        });
        a.append_stroke(strokeAt(1));
        a.append_stroke(strokeAt(2));
        const std::string first = exchange.lastBody();
        // An error page may look like a reply; it must not be read as one.
        exchange.answer(0, strokeLine(canvas.id, 100, 5, "other@1"), {c.status, c.retry_after});

        switch (c.meaning) {
        case Delivered:
            EXPECT_EQ(a.returned_strokes.size(), 1u);
            ASSERT_EQ(exchange.async_requests.size(), 2u);
            EXPECT_NE(exchange.lastBody(), first);
            EXPECT_TRUE(refusals.empty());
            break;
        case Dropped:
            EXPECT_TRUE(a.returned_strokes.empty());
            ASSERT_EQ(a.queued_commands.size(), 1u);
            ASSERT_EQ(exchange.async_requests.size(), 2u);
            EXPECT_NE(exchange.lastBody(), first);
            ASSERT_EQ(refusals.size(), 1u);
            EXPECT_EQ(refusals[0].first, first);
            EXPECT_EQ(refusals[0].second, c.status);
            break;
        case Kept: {
            EXPECT_TRUE(a.returned_strokes.empty());
            EXPECT_EQ(a.queued_commands.size(), 2u);
            EXPECT_EQ(a.queued_commands.front(), first);
            EXPECT_EQ(exchange.async_requests.size(), 1u);
            EXPECT_TRUE(refusals.empty());
            // Not even a new command sends it before the wait is over.
            a.append_stroke(strokeAt(3));
            EXPECT_EQ(exchange.async_requests.size(), 1u);
            // The same head goes again when the wait the server asked for is over (without
            // one, the first wait of our own, at its longest with this jitter), by itself.
            const double wait = c.retry_after.value_or(2.5);
            clock.advance(wait - 0.5);
            scheduler.tick();
            EXPECT_EQ(exchange.async_requests.size(), 1u);
            clock.advance(0.5);
            scheduler.tick();
            ASSERT_EQ(exchange.async_requests.size(), 2u);
            EXPECT_EQ(exchange.lastBody(), first);
            break;
        }
        }
    }
}

// The wait before the head goes again, with a jitter that gives each wait at its longest: the
// wait a Retry-After asks for, as it is, up to ten minutes; after answers without one, a
// doubling up to a minute; after no answer, a second and a half at most. The head goes at the
// end of the wait, by the agent's own timer; a delivery starts over.
TEST_F(AgentTest, TheWaitIsWhatTheServerAskedForOrAJitteredDoublingOrASecondWithoutAnAnswer) {
    agent->setJitter([] { return 1.0; });
    const struct {
        int status; // 0: no answer at all
        std::optional<double> retry_after;
        double wait;
    } steps[] = {
        {0, std::nullopt, 1.5},
        {0, std::nullopt, 1.5},
        {503, std::nullopt, 2.5},
        {503, std::nullopt, 5},
        {0, std::nullopt, 1.5},
        {502, std::nullopt, 2.5},
        {408, std::nullopt, 5},
        {302, std::nullopt, 10},
        {500, std::nullopt, 20},
        {429, std::nullopt, 40},
        {503, std::nullopt, 60},
        {503, std::nullopt, 60},
        {200, std::nullopt, 0},
        // Five refusals in a row, each asking for a second: a second each, no more.
        {503, 1.0, 1},
        {503, 1.0, 1},
        {429, 1.0, 1},
        {302, 1.0, 1},
        {503, 1.0, 1},
        {503, std::nullopt, 2.5},
        {429, 120.0, 120},
        {503, 100000.0, 600},
        {503, 0.0, 0},
        {200, std::nullopt, 0},
        {503, std::nullopt, 2.5},
    };
    agent->append_stroke(strokeAt(1));
    for (const auto& step : steps) {
        SCOPED_TRACE(::testing::Message() << step.status << " then " << step.wait);
        const size_t sent = http.async_requests.size();
        if (step.status == 0) {
            http.fail(sent - 1);
        } else {
            http.answer(sent - 1, "", {step.status, step.retry_after});
        }
        if (step.status == 200) {
            EXPECT_FALSE(agent->offline());
            // The head is delivered: the next command goes at once.
            agent->append_stroke(strokeAt(2));
            EXPECT_EQ(http.async_requests.size(), sent + 1);
            continue;
        }
        EXPECT_TRUE(agent->offline());
        EXPECT_DOUBLE_EQ(agent->retry_time - clock.now(), step.wait);
        scheduler.runIdle(); // drops spent timers
        ASSERT_EQ(scheduler.timers.size(), 1u);
        EXPECT_DOUBLE_EQ(scheduler.timers.begin()->second.interval, step.wait);
        if (step.wait > 0) {
            // A timer that fires early waits on for the rest.
            clock.advance(step.wait - 0.05);
            scheduler.tick();
            EXPECT_EQ(http.async_requests.size(), sent);
            clock.advance(0.05);
        }
        scheduler.tick();
        ASSERT_EQ(http.async_requests.size(), sent + 1);
        EXPECT_EQ(http.lastBody(), http.async_requests[sent - 1].request.body);
    }
}

// Seeing the server again (a 2xx to another request, or its stream speaking) ends a wait of
// the agent's own at once and starts the doubling over; a wait the server asked for stays.
TEST_F(AgentTest, SeeingTheServerAgainSendsTheHeadAtOnceUnlessItAskedForAWait) {
    agent->setJitter([] { return 1.0; });
    agent->append_stroke(strokeAt(1));
    const std::string head = http.lastBody();
    agent->serverSeen(); // nothing to end
    EXPECT_EQ(http.async_requests.size(), 1u);
    for (int i = 0; i < 5; ++i) {
        http.answer(http.async_requests.size() - 1, "", {503, std::nullopt});
        clock.advance(agent->retry_time - clock.now());
        agent->resumeQueue();
    }
    http.answer(http.async_requests.size() - 1, "", {503, std::nullopt});
    EXPECT_DOUBLE_EQ(agent->retry_time - clock.now(), 60.0);
    const size_t sent = http.async_requests.size();
    agent->serverSeen();
    ASSERT_EQ(http.async_requests.size(), sent + 1);
    EXPECT_EQ(http.lastBody(), head);
    agent->serverSeen(); // one request at a time
    EXPECT_EQ(http.async_requests.size(), sent + 1);
    http.answer(sent, "", {503, std::nullopt});
    EXPECT_DOUBLE_EQ(agent->retry_time - clock.now(), 2.5) << "the doubling starts over";

    // A wait the server asked for is not cut short; once over, the head goes.
    clock.advance(2.5);
    scheduler.tick();
    ASSERT_EQ(http.async_requests.size(), sent + 2);
    http.answer(sent + 1, "", {429, 30.0});
    agent->serverSeen();
    EXPECT_EQ(http.async_requests.size(), sent + 2);
    clock.advance(30);
    agent->serverSeen();
    ASSERT_EQ(http.async_requests.size(), sent + 3);

    // A synchronous exchange answered with a 2xx shows the server is there; one answered
    // otherwise does not.
    http.fail(sent + 2);
    http.scriptSyncStatus({503, std::nullopt}, "");
    agent->get_strokes();
    EXPECT_EQ(http.async_requests.size(), sent + 3);
    http.scriptSync("");
    agent->get_strokes();
    ASSERT_EQ(http.async_requests.size(), sent + 4);
    EXPECT_EQ(http.lastBody(), head);
    http.answer(sent + 3, "");
    EXPECT_FALSE(agent->offline());
    EXPECT_TRUE(agent->queued_commands.empty());
}

TEST_F(AgentTest, SaysWhenItIsOfflineAndHowManyChangesWait) {
    int heard = 0;
    agent->setOfflineListener([&] { ++heard; });
    agent->append_stroke(strokeAt(1));
    EXPECT_FALSE(agent->offline());
    EXPECT_EQ(heard, 0) << "a command queued while online is no news";
    http.fail(0);
    EXPECT_TRUE(agent->offline());
    EXPECT_EQ(agent->waitingChanges(), 1u);
    EXPECT_EQ(heard, 1);
    agent->append_stroke(strokeAt(2));
    agent->delete_stroke(strokeAt(1));
    EXPECT_EQ(agent->waitingChanges(), 3u);
    EXPECT_EQ(heard, 3);
    canvas::MWStroke poll = strokeAt(3);
    poll.points_x.clear();
    poll.points_y.clear();
    agent->append_stroke(poll);
    EXPECT_EQ(agent->queued_commands.size(), 4u);
    EXPECT_EQ(agent->waitingChanges(), 3u) << "a poll is no change of the user's";
    EXPECT_EQ(heard, 3);
    agent->serverSeen();
    http.fail(1); // failures in a row: still offline, the same count
    EXPECT_EQ(heard, 3);
    agent->serverSeen();
    http.answer(2, "");
    EXPECT_FALSE(agent->offline());
    EXPECT_EQ(heard, 4);
    // Online, the queue drains without a word.
    http.answer(3, "");
    http.answer(4, "");
    http.answer(5, "");
    EXPECT_TRUE(agent->queued_commands.empty());
    EXPECT_EQ(heard, 4);
    // A refusal for good is an answer: not offline.
    agent->append_stroke(strokeAt(4));
    http.answer(6, "", {503, 5.0});
    EXPECT_EQ(heard, 5);
    clock.advance(5);
    agent->resumeQueue();
    http.answer(7, "", {403, std::nullopt});
    EXPECT_FALSE(agent->offline());
    EXPECT_EQ(heard, 6);
}

TEST_F(AgentTest, ASynchronousExchangeAnsweredWithoutA2xxIsAFailureNotAnEmptyAnswer) {
    const std::string list = "anna@20101201095959123 http://x/t.png";
    const struct {
        int status;
        bool failed;
    } cases[] = {{200, false}, {204, false}, {302, true}, {400, true}, {403, true},
                 {404, true},  {429, true},  {500, true}, {503, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        agent->canvas_list.clear();
        agent->returned_strokes.clear();
        http.scriptSyncStatus({c.status, std::nullopt}, strokeLine(canvas.id, 100, 5, "o@1"));
        agent->get_strokes();
        EXPECT_EQ(agent->error_occcured, c.failed);
        EXPECT_EQ(agent->returned_strokes.size(), c.failed ? 0u : 1u);
        http.scriptSyncStatus({c.status, std::nullopt}, list);
        agent->search_canvas_list("anna");
        EXPECT_EQ(agent->error_occcured, c.failed);
        EXPECT_EQ(agent->canvas_list.size(), c.failed ? 0u : 1u);
    }
}

// The live stream's news, with a poll source that queues an append without points as the
// canvas does.
class AgentNewsTest : public AgentTest {
protected:
    AgentNewsTest() {
        agent->setPollSource([this] {
            ++polls;
            canvas::MWStroke poll = strokeAt(1000 + polls);
            poll.points_x.clear();
            poll.points_y.clear();
            agent->append_stroke(poll);
        });
    }
    std::string line(int64_t server_time) const {
        return strokeLine(canvas.id, server_time, server_time, "other@20101201100000002");
    }
    int polls = 0;
};

TEST_F(AgentNewsTest, NewsPollsAtOnceAndABurstDuringTheRequestMakesOnePollAfterIt) {
    agent->newsArrived(std::nullopt);
    ASSERT_EQ(polls, 1);
    ASSERT_EQ(http.async_requests.size(), 1u);
    EXPECT_TRUE(http.lastBody().ends_with("points:"));
    // One request at a time: news during it waits.
    agent->newsArrived(101);
    agent->newsArrived(std::nullopt);
    agent->newsArrived(102);
    EXPECT_EQ(http.async_requests.size(), 1u);
    http.answer(0, line(100));
    EXPECT_EQ(polls, 2);
    ASSERT_EQ(http.async_requests.size(), 2u);
    http.answer(1, line(101) + "\n" + line(102));
    EXPECT_EQ(polls, 2) << "the news is in";
    EXPECT_EQ(agent->newest_stamp, 102);
    EXPECT_EQ(http.async_requests.size(), 2u);

    // News of strokes already received is no news.
    agent->newsArrived(101);
    agent->newsArrived(102);
    agent->newsArrived(0);
    EXPECT_EQ(polls, 2);
    agent->newsArrived(103);
    EXPECT_EQ(polls, 3);
}

TEST_F(AgentNewsTest, AReplyThatBringsTheNewsOrWasSentAfterItSettlesIt) {
    // The user's own stroke: its event comes while its append is in flight, and the echo in
    // the reply is that news.
    agent->append_stroke(strokeAt(1));
    agent->newsArrived(200);
    http.answer(0, line(200));
    EXPECT_EQ(polls, 0);
    EXPECT_EQ(http.async_requests.size(), 1u);

    // A stroke removed before the poll never comes: the poll sent after the news settles it
    // all the same, or the agent would poll forever.
    agent->newsArrived(300);
    ASSERT_EQ(polls, 1);
    http.answer(1, "");
    EXPECT_EQ(polls, 1);
    EXPECT_EQ(http.async_requests.size(), 2u);

    // A reply that carries no strokes settles nothing: a poll follows it.
    agent->update_thumbnail("http://x/t.png");
    agent->newsArrived(301);
    http.answer(2, "");
    EXPECT_EQ(polls, 2);
    EXPECT_TRUE(http.lastBody().ends_with("points:"));
}

TEST_F(AgentNewsTest, NewsResendsAHeadLeftByAFailedRequestAndForgetsAnotherCanvas) {
    agent->append_stroke(strokeAt(1));
    http.fail(0);
    EXPECT_FALSE(agent->requesting);
    agent->newsArrived(400);
    EXPECT_EQ(polls, 0);
    ASSERT_EQ(http.async_requests.size(), 2u);
    EXPECT_EQ(http.async_requests[1].request.body, http.async_requests[0].request.body);

    // Another canvas opens while that request is in flight: neither its reply nor the news
    // of the canvas before count for the new one.
    canvas.id = "public@20111111111111111";
    agent->clearInbox();
    EXPECT_EQ(agent->newest_stamp, 0);
    http.answer(1, "public@20101201095959123: append:  client_time:1 server_time:400 "
                   "user_name:u@1 pen_properties:color=ff000000,width=2999,density=128 layer:0 "
                   "points: 5-6");
    EXPECT_EQ(agent->newest_stamp, 0);
    EXPECT_EQ(polls, 0);
    agent->newsArrived(5);
    EXPECT_EQ(polls, 1);
}

TEST_F(AgentNewsTest, NewsDoesNotCutShortAWaitTheServerAskedFor) {
    agent->append_stroke(strokeAt(1));
    http.answer(0, "", {429, 30.0});
    agent->newsArrived(400);
    EXPECT_EQ(http.async_requests.size(), 1u);
    clock.advance(30);
    agent->newsArrived(401);
    ASSERT_EQ(http.async_requests.size(), 2u);
    EXPECT_EQ(http.async_requests[1].request.body, http.async_requests[0].request.body);
    EXPECT_EQ(polls, 0);
}

} // namespace
} // namespace velmo::sync
