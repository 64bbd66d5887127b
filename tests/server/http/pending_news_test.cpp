#include "http/pending_news.h"

#include "wire/server_events.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace velmo::server {
namespace {

using Kind = StrokeNews::Kind;

std::string append(int64_t stamp) {
    return wire::serverEventText(wire::AppendEvent, std::to_string(stamp));
}

TEST(PendingNews, AnyAmountOfNewsIsOwedAsOneEvent) {
    PendingNews pending;
    EXPECT_EQ(pending.take(), std::nullopt);
    EXPECT_TRUE(pending.add({Kind::Append, 5}));
    // Only the first news since the last take wakes the stream.
    for (int64_t stamp = 6; stamp < 100'000; ++stamp) {
        EXPECT_FALSE(pending.add({Kind::Append, stamp % 2 ? stamp : stamp - 3}));
    }
    EXPECT_EQ(pending.take(), append(99'999));
    EXPECT_EQ(pending.take(), std::nullopt);

    // A delete makes the client poll whatever it holds: it stands for the appends beside it.
    EXPECT_TRUE(pending.add({Kind::Append, 7}));
    EXPECT_FALSE(pending.add({Kind::Delete, 0}));
    EXPECT_FALSE(pending.add({Kind::Append, 8}));
    EXPECT_EQ(pending.take(), wire::serverEventText(wire::DeleteEvent, ""));
    EXPECT_EQ(pending.take(), std::nullopt);
    EXPECT_TRUE(pending.add({Kind::Append, 9}));
    EXPECT_EQ(pending.take(), append(9));
}

// Publishers on several threads, the stream taking as it goes: nothing is owed once they are
// done, the newest stamp was sent, and no event went out without a wake-up to send it.
TEST(PendingNews, NoNewsIsLostBetweenThreads) {
    PendingNews pending;
    std::atomic<int64_t> next{1};
    std::atomic<int> wakes{0};
    std::vector<std::thread> publishers;
    for (int t = 0; t < 4; ++t) {
        publishers.emplace_back([&] {
            for (int i = 0; i < 20'000; ++i) {
                wakes += pending.add({Kind::Append, next++}) ? 1 : 0;
            }
        });
    }
    int64_t newest_sent = 0;
    int taken = 0;
    const auto takeOne = [&] {
        if (auto event = pending.take()) {
            ++taken;
            const size_t data = event->find("data: ") + 6;
            const int64_t stamp = std::stoll(event->substr(data));
            newest_sent = std::max(newest_sent, stamp);
        }
    };
    while (next.load() <= 80'000) {
        takeOne();
    }
    for (auto& thread : publishers) {
        thread.join();
    }
    takeOne();
    EXPECT_EQ(pending.take(), std::nullopt);
    EXPECT_EQ(newest_sent, 80'000);
    EXPECT_LE(taken, wakes.load());
}

} // namespace
} // namespace velmo::server
