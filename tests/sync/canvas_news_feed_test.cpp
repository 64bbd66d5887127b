#include "sync/canvas_news_feed.h"

#include "support/manual_scheduler.h"
#include "support/scripted_event_stream.h"
#include "wire/server_events.h"

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

class RecordingListener : public LiveListener {
public:
    void progressArrived(const wire::StrokeProgress& progress) override {
        heard.push_back("progress " + progress.user_name + " " + std::to_string(progress.stroke) +
                        " " + std::to_string(progress.points_x.size()));
    }
    void userJoined(const std::string& user) override { heard.push_back("join " + user); }
    void userLeft(const std::string& user) override { heard.push_back("leave " + user); }
    void presenceLost() override { heard.push_back("lost"); }
    std::vector<std::string> heard;
};

TEST_F(FeedTest, AStreamNamingItsUserBringsProgressAndPresence) {
    RecordingListener listener;
    feed.setLiveListener(&listener, 1.0f);
    const std::string me = "me@20101201095959789";
    feed.follow(CanvasA, me, me + " k3y");
    ASSERT_EQ(stream.opened.size(), 1u);
    EXPECT_EQ(stream.url(), wire::presenceStreamURL(ServerURL, CanvasA, me));
    ASSERT_EQ(stream.opened_headers.back().size(), 1u);
    EXPECT_EQ(stream.opened_headers.back()[0],
              (std::pair<std::string, std::string>{"Velmorastra-Key", me + " k3y"}));

    wire::StrokeProgress progress;
    progress.user_name = "ann@1";
    progress.stroke = 42;
    progress.points_x = {1, 2};
    progress.points_y = {3, 4};
    wire::StrokeProgress mine = progress;
    mine.user_name = me;
    listener.heard.clear();
    stream.event("ready", "5");
    stream.event("join", me);
    stream.event("join", "ann@1");
    stream.event("join", "");          // names nobody
    stream.event("join", "two words"); // no user ID
    stream.event("progress", wire::progressText(progress));
    stream.event("progress", wire::progressText(mine)); // its own: drawn here already
    stream.event("progress", "ann@1 stroke:1");         // garbled
    stream.event("leave", "ann@1");
    EXPECT_EQ(listener.heard, (std::vector<std::string>{"join " + me, "join ann@1",
                                                        "progress ann@1 42 2", "leave ann@1"}));
    EXPECT_EQ(news, (std::vector<std::optional<int64_t>>{5}));

    // A failure, another user or another canvas: what was known of presence goes.
    listener.heard.clear();
    stream.fail(); // a stream that had worked comes back at once
    EXPECT_EQ(stream.opened.size(), 2u);
    feed.follow(CanvasA, me, me + " k3y"); // the same: nothing reopens
    EXPECT_EQ(stream.opened.size(), 2u);
    feed.follow(CanvasA, "other@1", std::nullopt);
    EXPECT_EQ(stream.opened.size(), 3u);
    EXPECT_EQ(stream.url(), wire::presenceStreamURL(ServerURL, CanvasA, "other@1"));
    EXPECT_TRUE(stream.opened_headers.back().empty());
    feed.follow(CanvasB);
    EXPECT_EQ(stream.url(), wire::eventStreamURL(ServerURL, CanvasB));
    EXPECT_EQ(listener.heard, (std::vector<std::string>{"lost", "lost", "lost"}));
}

// With a scheduler, a failed stream opens again after about a second, doubling with each
// failure in a row up to a minute, and at once when the server is seen again.
TEST(CanvasNewsFeed, AFailedStreamOpensAgainSoonAndAtOnceWhenTheServerIsSeen) {
    testing::ScriptedEventStream stream;
    testing::ManualScheduler scheduler;
    int seen = 0;
    CanvasNewsFeed feed(stream, scheduler, ServerURL, [](std::optional<int64_t>) {});
    feed.setJitter([] { return 1.0; });
    feed.setSeenListener([&] { ++seen; });
    feed.follow(CanvasA);
    stream.event("ready", "0");
    stream.event("progress", "garbled");
    EXPECT_EQ(seen, 2) << "any event shows the server is there";

    stream.fail(); // it had worked: at once
    EXPECT_EQ(stream.opened.size(), 2u);
    EXPECT_EQ(feed.reopenWait(), 0.0);
    for (const double wait : {2.0, 4.0, 8.0, 16.0, 32.0, 60.0, 60.0}) {
        const size_t opened = stream.opened.size();
        stream.fail();
        EXPECT_FALSE(stream.is_open);
        EXPECT_DOUBLE_EQ(feed.reopenWait(), wait);
        feed.tick(); // the polling timer's tick does not open it
        EXPECT_EQ(stream.opened.size(), opened);
        scheduler.runIdle();
        scheduler.tick(); // the reopen timer fires
        ASSERT_EQ(stream.opened.size(), opened + 1) << wait;
    }
    stream.fail();
    EXPECT_DOUBLE_EQ(feed.reopenWait(), 60.0);
    feed.serverSeen();
    EXPECT_TRUE(stream.is_open);
    EXPECT_EQ(feed.reopenWait(), 0.0);
    feed.serverSeen(); // open already
    const size_t opened = stream.opened.size();
    EXPECT_EQ(opened, 10u);
    stream.fail();
    EXPECT_DOUBLE_EQ(feed.reopenWait(), 1.0) << "the doubling starts over";

    // Following nothing stops the wait.
    feed.follow("");
    scheduler.tick();
    feed.serverSeen();
    EXPECT_EQ(stream.opened.size(), opened);
}

} // namespace
} // namespace velmo::sync
