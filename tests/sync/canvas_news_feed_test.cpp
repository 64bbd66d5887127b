#include "sync/canvas_news_feed.h"

#include "support/scripted_event_stream.h"

#include <gtest/gtest.h>

#include <vector>

namespace velmo::sync {
namespace {

const char* const ServerURL = "http://127.0.0.1:8640/";
const char* const CanvasA = "anna@20101201095959123";
const char* const CanvasB = "bob/b@20101201095959123";

class FeedTest : public ::testing::Test {
protected:
    testing::ScriptedEventStream stream;
    std::vector<std::optional<int64_t>> news;
    CanvasNewsFeed feed{stream, ServerURL, [this](std::optional<int64_t> s) { news.push_back(s); }};
};

TEST_F(FeedTest, EventsBecomeNewsWithTheirStamps) {
    feed.follow(CanvasA);
    ASSERT_EQ(stream.opened,
              std::vector<std::string>{"http://127.0.0.1:8640/events/" + std::string(CanvasA)});
    EXPECT_FALSE(feed.live());
    const struct {
        const char* type;
        const char* data;
        std::vector<std::optional<int64_t>> news;
    } cases[] = {
        {"ready", "0", {0}},
        {"ready", "1291201300000", {1291201300000}},
        {"append", "1291201300001", {1291201300001}},
        {"append", "garbled", {std::nullopt}}, // still news: a poll tells what it was
        {"delete", "", {std::nullopt}},
        {"message", "1", {}}, // left for later servers
        {"comment", "", {}},
    };
    for (const auto& c : cases) {
        news.clear();
        stream.event(c.type, c.data);
        EXPECT_EQ(news, c.news) << c.type << " " << c.data;
    }
    EXPECT_TRUE(feed.live());
}

TEST_F(FeedTest, FollowingAnotherCanvasMovesTheStream) {
    feed.follow(CanvasA);
    feed.follow(CanvasA); // the same canvas keeps its stream
    EXPECT_EQ(stream.opened.size(), 1u);
    feed.follow(CanvasB);
    EXPECT_EQ(stream.closes, 1);
    EXPECT_EQ(stream.url(), "http://127.0.0.1:8640/events/bob%2Fb@20101201095959123");
    EXPECT_EQ(feed.canvasID(), CanvasB);
    feed.follow("");
    EXPECT_EQ(stream.closes, 2);
    EXPECT_FALSE(stream.is_open);
    feed.tick();
    EXPECT_EQ(stream.opened.size(), 2u) << "no canvas, no stream";
    feed.follow(CanvasA);
    EXPECT_TRUE(stream.is_open);
}

TEST(CanvasNewsFeed, ClosesItsStreamWhenItGoes) {
    testing::ScriptedEventStream stream;
    {
        CanvasNewsFeed feed(stream, ServerURL, [](std::optional<int64_t>) {});
        feed.follow(CanvasA);
    }
    EXPECT_EQ(stream.closes, 1);
}

} // namespace
} // namespace velmo::sync
