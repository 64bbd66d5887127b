#include "handler/live_drawing.h"

#include "store/in_process_canvas_news.h"
#include "wire/command_parser.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

using namespace std::chrono_literals;

constexpr const char* Canvas = "anna@20100704123456789";

class RecordingRelay : public LiveRelay {
public:
    void send(RemoteLive news) override { sent.push_back(std::move(news)); }
    std::vector<RemoteLive> sent;
};

std::string describe(const LiveNews& news) {
    switch (news.kind) {
    case LiveNews::Kind::Progress:
        return "progress " + news.user;
    case LiveNews::Kind::Join:
        return "join " + news.user;
    case LiveNews::Kind::Leave:
        return "leave " + news.user;
    }
    return "";
}

class LiveDrawingTest : public ::testing::Test {
protected:
    // A listener of the canvas, entered as `user` (empty: none); who was present.
    std::vector<std::string> open(const std::string& user) {
        std::vector<std::string> present;
        live.enter(
            Canvas, user,
            [&] {
                subscriptions.push_back(hub.subscribe(
                    Canvas, [](const StrokeNews&) {},
                    // What the first listener hears.
                    [this, first = subscriptions.empty()](const LiveNews& n) {
                        if (first) {
                            heard.push_back(describe(n));
                        }
                    }));
            },
            present);
        return present;
    }

    InProcessCanvasNews hub;
    LiveOptions options{.max_present = 2};
    LiveDrawing live{options, hub};
    std::vector<std::unique_ptr<CanvasNews::Subscription>> subscriptions;
    std::vector<std::string> heard;
};

TEST_F(LiveDrawingTest, UsersArePresentOnceInTheOrderTheyCameAndUpToTheBound) {
    EXPECT_EQ(open("a@1"), std::vector<std::string>{"a@1"});
    EXPECT_EQ(open("b@1"), (std::vector<std::string>{"a@1", "b@1"}));
    EXPECT_EQ(heard, std::vector<std::string>{"join b@1"});
    EXPECT_EQ(open("a@1"), (std::vector<std::string>{"a@1", "b@1"}));
    EXPECT_EQ(open("c@1"), (std::vector<std::string>{"a@1", "b@1"})); // beyond the bound
    EXPECT_EQ(open(""), (std::vector<std::string>{"a@1", "b@1"}));
    heard.clear();
    live.leave(Canvas, "a@1");
    EXPECT_TRUE(heard.empty()) << "a@1 has another stream";
    live.leave(Canvas, "a@1");
    live.leave(Canvas, "c@1"); // never entered: nothing
    EXPECT_EQ(heard, std::vector<std::string>{"leave a@1"});
    EXPECT_EQ(live.present(Canvas), std::vector<std::string>{"b@1"});
}

TEST_F(LiveDrawingTest, OtherInstancesUsersComeGoAndExpireAndOwnNewsIsRelayed) {
    RecordingRelay relay;
    live.relayWith(&relay);
    open("a@1");
    ASSERT_EQ(relay.sent.size(), 1u);
    EXPECT_EQ(relay.sent[0], (RemoteLive{RemoteLive::Kind::Join, "", Canvas, "a@1"}));
    live.heard({RemoteLive::Kind::Join, "i2", Canvas, "r@1"});
    live.heard({RemoteLive::Kind::Join, "i3", Canvas, "r@1"}); // present on two: once
    live.heard({RemoteLive::Kind::Join, "i2", Canvas, "bad user"});
    EXPECT_EQ(live.present(Canvas), (std::vector<std::string>{"a@1", "r@1"}));
    EXPECT_EQ(heard, std::vector<std::string>{"join r@1"});
    live.heard({RemoteLive::Kind::Leave, "i2", Canvas, "r@1"});
    EXPECT_EQ(live.present(Canvas).size(), 2u) << "still on i3";
    // i3 dies without a word: it expires.
    live.tick(std::chrono::steady_clock::now() + options.remote_expiry + 1s);
    EXPECT_EQ(live.present(Canvas), std::vector<std::string>{"a@1"});
    EXPECT_EQ(heard.back(), "leave r@1");

    // A progress heard goes to the streams, parsed again; one that does not parse is dropped.
    wire::StrokeProgress p;
    p.user_name = "r@1";
    p.stroke = 3;
    p.at = 4;
    p.pen = canvas::defaultPen(wire::ServerPixelScale);
    p.points_x = {1};
    p.points_y = {2};
    live.heard({RemoteLive::Kind::Progress, "i2", Canvas, wire::progressText(p)});
    live.heard({RemoteLive::Kind::Progress, "i2", Canvas, "user_name:x@1 garbage"});
    EXPECT_EQ(heard.back(), "progress r@1");
    EXPECT_EQ(std::count(heard.begin(), heard.end(), "progress r@1"), 1);
    // This instance's progress goes to the others as written.
    live.progress(Canvas, makeLiveProgress(p));
    EXPECT_EQ(relay.sent.back(),
              (RemoteLive{RemoteLive::Kind::Progress, "", Canvas, wire::progressText(p)}));
    live.leave(Canvas, "a@1");
    EXPECT_EQ(relay.sent.back(), (RemoteLive{RemoteLive::Kind::Leave, "", Canvas, "a@1"}));
    live.relayWith(nullptr);
}

TEST_F(LiveDrawingTest, ProgressIsLimitedByCountAndBytesPerUser) {
    LiveDrawing limited({.progress = {1, 3}, .progress_bytes = {1000, 2000}}, hub);
    EXPECT_EQ(limited.takeProgress("a@1", 100, 0), 0);
    EXPECT_EQ(limited.takeProgress("a@1", 100, 0), 0);
    EXPECT_EQ(limited.takeProgress("a@1", 100, 0), 0);
    EXPECT_GT(limited.takeProgress("a@1", 100, 0), 0);
    EXPECT_EQ(limited.takeProgress("b@1", 1900, 0), 0);
    EXPECT_GT(limited.takeProgress("b@1", 200, 0), 0);
    EXPECT_EQ(limited.takeProgress("b@1", 100, 0), 0) << "a refusal costs nothing";
}

} // namespace
} // namespace velmo::server
