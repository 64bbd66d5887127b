#include "handler/event_stream_route.h"

#include "handler/request_handler.h"
#include "store/delivery_marks.h"
#include "store/in_process_canvas_news.h"
#include "store/sqlite/sqlite_store.h"
#include "support/temp_dir.h"
#include "wire/command_text.h"

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

using Kind = StrokeNews::Kind;

constexpr const char* Canvas = "anna@20100704123456789";
constexpr const char* Anna = "anna@20100704130000001";
constexpr int64_t Now = 1291201234567;

TEST(EventStreamRoute, TakesAnyValidCanvasIdAndRefusesTheRestAsOtherRoutesDo) {
    const struct {
        std::string method;
        std::string target;
        std::string canvas_id; // empty: refused with `status`
        int status;
    } cases[] = {
        {"GET", "/events/anna@20100704123456789", Canvas, 0},
        {"GET", "/events/anna%2Bb@1?x=1", "anna+b@1", 0},
        {"GET", "/events/new%2Fcanvas", "new/canvas", 0},
        {"GET", "/events/", "", 400},
        {"GET", "/events/a%2", "", 400},
        {"GET", "/events/a%20", "", 400},  // a space
        {"GET", "/events/a%0Ab", "", 400}, // a control byte
        {"GET", "/events/" + std::string(300, 'a'), "", 400},
        {"POST", "/events/anna@1", "", 405},
        {"HEAD", "/events/anna@1", "", 405},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(isEventStreamTarget(c.target)) << c.target;
        const auto result = eventStreamCanvas({c.method, c.target, "", ""});
        if (c.status == 0) {
            ASSERT_TRUE(std::holds_alternative<std::string>(result)) << c.target;
            EXPECT_EQ(std::get<std::string>(result), c.canvas_id);
        } else {
            ASSERT_TRUE(std::holds_alternative<Response>(result)) << c.target;
            EXPECT_EQ(std::get<Response>(result).status, c.status) << c.target;
        }
    }
    EXPECT_FALSE(isEventStreamTarget("/event/x"));
    EXPECT_FALSE(isEventStreamTarget("/"));
    EXPECT_EQ(streamsRefused(true).status, 429);
    EXPECT_EQ(streamsRefused(false).status, 503);
    EXPECT_EQ(streamsRefused(false).headers.at(0).first, "Retry-After");
}

canvas::MWStroke stroke(int64_t client_time, int points = 2) {
    canvas::MWStroke s;
    s.client_time = client_time;
    s.user_name = Anna;
    s.pen_properties = {static_cast<int32_t>(0xFF000000u), 2999, 128};
    for (int i = 0; i < points; ++i) {
        s.points_x.push_back(10000 + 1000 * i);
        s.points_y.push_back(240000);
    }
    return s;
}

// News is published once the store has the change, whichever way the append came, and only
// then: a poll, a failed append or a delete that removed nothing is no news.
TEST(EventStreamRoute, TheHandlerPublishesWhatTheStoreTook) {
    testing::TempDir dir;
    std::string error;
    auto store = SqliteStore::open(dir.file("canvas.sqlite"), &error);
    ASSERT_TRUE(store) << error;
    DeliveryMarks marks;
    InProcessCanvasNews news;
    HandlerContext context{*store, marks, "http://canvas.test/"};
    context.news = &news;
    std::vector<std::pair<std::string, StrokeNews>> heard;
    auto subscription =
        news.subscribe(Canvas, [&](const StrokeNews& n) { heard.emplace_back(Canvas, n); });
    auto other = news.subscribe("bob@20100704123456789",
                                [&](const StrokeNews& n) { heard.emplace_back("bob", n); });
    const auto post = [&](const std::string& body) {
        return handleRequest({"POST", "/", "", body}, context, Now).status;
    };

    EXPECT_EQ(post(wire::appendCommand(Canvas, stroke(1))), 200);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].second.kind, Kind::Append);
    const int64_t first = heard[0].second.stamp;
    EXPECT_EQ(first, store->lastStamp(Canvas));

    EXPECT_EQ(post(wire::appendCommand(Canvas, stroke(2, 0))), 200); // a poll
    EXPECT_EQ(post(wire::getStrokesCommand(Canvas)), 200);
    EXPECT_EQ(post(wire::deleteCommand(Canvas, stroke(99))), 200); // nothing to remove
    EXPECT_EQ(heard.size(), 1u);

    // The server's own path: the store answers later, the handler publishes then.
    auto append = appendCommandOf({"POST", "/", "", wire::appendCommand(Canvas, stroke(3))});
    ASSERT_TRUE(append);
    const auto stamp = store->appendStroke(append->canvas_id, append->stroke, Now);
    EXPECT_EQ(heard.size(), 1u);
    EXPECT_EQ(answerAppend(context, Canvas, Anna, Now, {stamp, std::nullopt}).status, 200);
    EXPECT_EQ(answerAppend(context, Canvas, Anna, Now, {}).status, 503);
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[1].second, (StrokeNews{Kind::Append, *stamp}));
    EXPECT_GT(*stamp, first);

    EXPECT_EQ(post(wire::deleteCommand(Canvas, stroke(1))), 200);
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[2], std::make_pair(std::string(Canvas), StrokeNews{Kind::Delete, 0}));

    // Without a news hub the handler works as before.
    context.news = nullptr;
    EXPECT_EQ(post(wire::appendCommand(Canvas, stroke(4))), 200);
    EXPECT_EQ(heard.size(), 3u);
}

} // namespace
} // namespace velmo::server
