#include "store/in_process_canvas_news.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace velmo::server {
namespace {

using Kind = StrokeNews::Kind;

TEST(InProcessCanvasNews, APublishReachesEveryListenerOfItsCanvasAndNoOther) {
    InProcessCanvasNews hub;
    std::vector<StrokeNews> a1, a2, b;
    auto sub_a1 = hub.subscribe("a@1", [&](const StrokeNews& n) { a1.push_back(n); });
    auto sub_a2 = hub.subscribe("a@1", [&](const StrokeNews& n) { a2.push_back(n); });
    auto sub_b = hub.subscribe("b@1", [&](const StrokeNews& n) { b.push_back(n); });
    EXPECT_EQ(hub.subscriptionCount(), 3u);

    hub.publish("a@1", {Kind::Append, 7});
    hub.publish("a@1", {Kind::Delete, 0});
    hub.publish("c@1", {Kind::Append, 8}); // nobody listens
    const std::vector<StrokeNews> expected{{Kind::Append, 7}, {Kind::Delete, 0}};
    EXPECT_EQ(a1, expected);
    EXPECT_EQ(a2, expected);
    EXPECT_TRUE(b.empty());

    // An ended subscription hears nothing more; the others go on.
    sub_a1.reset();
    hub.publish("a@1", {Kind::Append, 9});
    EXPECT_EQ(a1.size(), 2u);
    EXPECT_EQ(a2.size(), 3u);
    sub_a2.reset();
    sub_b.reset();
    EXPECT_EQ(hub.subscriptionCount(), 0u);
    hub.publish("a@1", {Kind::Append, 10});
    EXPECT_EQ(a2.size(), 3u);
}

TEST(InProcessCanvasNews, SubscriptionsComeAndGoWhilePublishersRun) {
    InProcessCanvasNews hub;
    std::atomic<bool> done{false};
    std::vector<std::thread> publishers;
    for (int t = 0; t < 3; ++t) {
        publishers.emplace_back([&] {
            int64_t stamp = 0;
            while (!done) {
                hub.publish("a@1", {Kind::Append, ++stamp});
            }
        });
    }
    for (int i = 0; i < 2000; ++i) {
        // Once the handle is gone its listener is never called: the counter it writes dies
        // with this iteration.
        auto calls = std::make_unique<std::atomic<int>>(0);
        auto sub = hub.subscribe("a@1", [counter = calls.get()](const StrokeNews&) { ++*counter; });
        sub.reset();
        calls.reset();
    }
    done = true;
    for (auto& thread : publishers) {
        thread.join();
    }
    EXPECT_EQ(hub.subscriptionCount(), 0u);
}

} // namespace
} // namespace velmo::server
