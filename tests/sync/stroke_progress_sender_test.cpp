#include "sync/stroke_progress_sender.h"

#include "support/fake_clock.h"
#include "support/manual_scheduler.h"
#include "support/scripted_http.h"
#include "wire/key_header.h"
#include "wire/stroke_progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmo::sync {
namespace {

const char* const ServerURL = "http://127.0.0.1:8640/";
const char* const Canvas = "anna@20101201095959123";
const char* const User = "bob@20101201095959555";

class ProgressSenderTest : public ::testing::Test {
protected:
    ProgressSenderTest() { pen = canvas::defaultPen(1.0f); }

    size_t requests() const { return http.async_requests.size(); }
    // What request `index` carried, read back as a receiver reads it.
    wire::StrokeProgress sent(size_t index) const {
        const std::string& body = http.async_requests.at(index).request.body;
        const std::string prefix = std::string(Canvas) + std::string(wire::ProgressAfterID);
        EXPECT_EQ(body.rfind(prefix, 0), 0u) << body;
        const auto progress =
            wire::parseProgress(std::string_view(body).substr(prefix.size()), 1.0f);
        EXPECT_TRUE(progress) << body;
        return progress.value_or(wire::StrokeProgress{});
    }
    void begin(int64_t press = 1291201234567) {
        sender.strokeBegun(Canvas, User, std::string(User) + " k3y", press, pen, 1, 100, 200);
    }
    void draw(int points) {
        for (int i = 0; i < points; ++i) {
            clock.advance(0.016);
            sender.strokeExtended(100 + next_x, 200);
            ++next_x;
            scheduler.tick();
        }
    }

    testing::ScriptedHttp http;
    testing::ManualScheduler scheduler;
    testing::FakeClock clock;
    StrokeProgressSender sender{http, scheduler, clock, ServerURL};
    canvas::PenProperties pen;
    int next_x = 1;
};

TEST_F(ProgressSenderTest, OneRequestInFlightCarriesEveryPointSinceTheLastWent) {
    const int64_t press = 1291201234567;
    begin(press);
    ASSERT_EQ(requests(), 1u);
    const platform::HttpRequest& first = http.async_requests[0].request;
    EXPECT_EQ(first.url, ServerURL);
    EXPECT_EQ(first.method, "POST");
    ASSERT_EQ(first.headers.size(), 1u);
    EXPECT_EQ(first.headers[0].first, wire::KeyHeaderName);
    EXPECT_EQ(first.headers[0].second, std::string(User) + " k3y");
    wire::StrokeProgress expected;
    expected.user_name = User;
    expected.stroke = press;
    expected.from = 0;
    expected.at = static_cast<int64_t>(clock.now() * 1000.0);
    expected.pen = pen;
    expected.layer = 1;
    expected.points_x = {100};
    expected.points_y = {200};
    EXPECT_EQ(sent(0), expected);

    // While it is in flight nothing more goes, however long.
    draw(5);
    clock.advance(1.0);
    scheduler.tick();
    EXPECT_EQ(requests(), 1u);
    // Its answer lets the next go at once, carrying the five points.
    http.answer(0, "", {204, {}});
    ASSERT_EQ(requests(), 2u);
    EXPECT_EQ(sent(1).from, 1u);
    EXPECT_EQ(sent(1).points_x, (std::vector<int32_t>{101, 102, 103, 104, 105}));
    EXPECT_EQ(sent(1).at, static_cast<int64_t>((clock.now() - 1.0) * 1000.0));

    // An answer that comes quickly still leaves MinInterval between two requests.
    http.answer(1, "", {204, {}});
    clock.advance(0.010);
    sender.strokeExtended(300, 300);
    scheduler.tick();
    EXPECT_EQ(requests(), 2u);
    clock.advance(0.030);
    scheduler.tick();
    ASSERT_EQ(requests(), 3u);
    EXPECT_EQ(sent(2).from, 6u);
    EXPECT_EQ(sent(2).points_x, std::vector<int32_t>{300});

    // A slow answer: the points gone past MaxProgressPoints go with the request after.
    draw(300);
    http.answer(2, "", {204, {}});
    ASSERT_EQ(requests(), 4u);
    EXPECT_EQ(sent(3).from, 7u);
    EXPECT_EQ(sent(3).points_x.size(), wire::MaxProgressPoints);
    clock.advance(0.05);
    http.answer(3, "", {204, {}});
    ASSERT_EQ(requests(), 5u);
    EXPECT_EQ(sent(4).from, 7u + wire::MaxProgressPoints);
    EXPECT_EQ(sent(4).points_x.size(), 300u - wire::MaxProgressPoints);

    // A finished stroke sends nothing more, even what it still owed.
    draw(3);
    sender.strokeFinished();
    clock.advance(1.0);
    http.answer(4, "", {204, {}});
    scheduler.tick();
    EXPECT_EQ(requests(), 5u);
    EXPECT_TRUE(scheduler.timers.empty());
}

TEST_F(ProgressSenderTest, ALongStrokeMakesFarFewerRequestsThanPointsAndLosesNone) {
    begin();
    // The server answers each request 40 ms after it went; a drag comes every 16 ms.
    std::vector<double> sent_at{clock.now()};
    size_t answered = 0;
    for (int i = 1; i < 2000; ++i) {
        draw(1);
        if (answered < requests() && clock.now() - sent_at[answered] >= 0.040) {
            http.answer(answered++, "", {204, {}});
        }
        while (sent_at.size() < requests()) {
            sent_at.push_back(clock.now());
        }
    }
    while (answered < requests()) {
        clock.advance(0.040);
        http.answer(answered++, "", {204, {}});
        scheduler.tick();
        while (sent_at.size() < requests()) {
            sent_at.push_back(clock.now());
        }
    }
    // About 30 a second at most (32 s of drawing), and far fewer than the points.
    EXPECT_LE(requests(),
              static_cast<size_t>(1999 * 0.016 / StrokeProgressSender::MinInterval) + 1);
    EXPECT_LT(requests(), 2000u / 2);
    EXPECT_GT(requests(), 2000u * 0.016 / 0.1);
    uint32_t next = 0;
    for (size_t i = 0; i < requests(); ++i) {
        const wire::StrokeProgress progress = sent(i);
        EXPECT_EQ(progress.from, next) << i;
        next += static_cast<uint32_t>(progress.points_x.size());
        EXPECT_LE(progress.points_x.size(), wire::MaxProgressPoints);
        if (i > 0) {
            EXPECT_GE(sent_at[i] - sent_at[i - 1], StrokeProgressSender::MinInterval - 1e-9);
        }
    }
    EXPECT_EQ(next, 2000u);
}

TEST_F(ProgressSenderTest, ACancelGoesAfterTheRequestInFlightAndOnlyForAStrokeSeen) {
    begin();
    draw(2);
    sender.strokeCancelled();
    EXPECT_EQ(requests(), 1u);
    clock.advance(0.1);
    http.answer(0, "", {204, {}});
    ASSERT_EQ(requests(), 2u);
    const wire::StrokeProgress cancel = sent(1);
    EXPECT_TRUE(cancel.cancel);
    EXPECT_EQ(cancel.user_name, User);
    EXPECT_EQ(cancel.stroke, 1291201234567);
    http.answer(1, "", {204, {}});

    // A stroke of which nothing went has nothing to take back.
    clock.advance(0.1);
    sender.strokeBegun(Canvas, "not a user", std::nullopt, 5, pen, 0, 1, 1);
    sender.strokeCancelled();
    EXPECT_EQ(requests(), 2u);
}

TEST_F(ProgressSenderTest, FailuresSkipAheadAndHonourRetryAfterAndARefusalStopsTheCanvas) {
    begin();
    draw(4);
    // A 429 asks for two seconds: the four points are lost, and nothing goes before then.
    http.answer(0, "", {429, 2.0});
    EXPECT_EQ(requests(), 1u);
    draw(10); // 0.16 s
    clock.advance(1.5);
    scheduler.tick();
    EXPECT_EQ(requests(), 1u);
    clock.advance(0.4);
    scheduler.tick();
    ASSERT_EQ(requests(), 2u);
    EXPECT_EQ(sent(1).from, 1u);
    EXPECT_EQ(sent(1).points_x.size(), 14u);

    // A broken connection waits FailureWait, then the points after the lost batch go.
    draw(3);
    http.fail(1);
    draw(2);
    clock.advance(StrokeProgressSender::FailureWait - 0.05);
    scheduler.tick();
    EXPECT_EQ(requests(), 2u);
    clock.advance(0.1);
    scheduler.tick();
    ASSERT_EQ(requests(), 3u);
    EXPECT_EQ(sent(2).from, 15u);
    EXPECT_EQ(sent(2).points_x.size(), 5u);
    EXPECT_FALSE(sender.refused());

    // An older server does not know the command: no more progress on this canvas, this
    // stroke or the next, while the queue of commands is none of the sender's business.
    http.answer(2, "unknown command", {400, {}});
    EXPECT_TRUE(sender.refused());
    draw(5);
    sender.strokeFinished();
    clock.advance(1.0);
    begin(1291201239999);
    draw(5);
    sender.strokeCancelled();
    EXPECT_EQ(requests(), 3u);
    EXPECT_TRUE(scheduler.timers.empty());

    // Opened again, the canvas gets progress again.
    sender.canvasOpened();
    EXPECT_FALSE(sender.refused());
    begin(1291201240000);
    EXPECT_EQ(requests(), 4u);
    // A 408 is "not now", like a 429.
    http.answer(3, "", {408, {}});
    EXPECT_FALSE(sender.refused());
    // Off: nothing goes.
    sender.strokeFinished();
    sender.enabled = false;
    clock.advance(1.0);
    begin(1291201250000);
    draw(3);
    EXPECT_EQ(requests(), 4u);
}

} // namespace
} // namespace velmo::sync
