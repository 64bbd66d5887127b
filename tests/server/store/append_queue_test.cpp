#include "store/append_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace velmo::server {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<PendingAppend> pending(const std::string& canvas_id, int64_t now_ms) {
    auto made = std::make_unique<PendingAppend>();
    made->canvas_id = canvas_id;
    made->now_ms = now_ms;
    return made;
}

TEST(AppendQueue, TheCommitterTakesEverythingQueuedInOrder) {
    AppendQueue queue;
    for (int64_t i = 1; i <= 3; ++i) {
        queue.push(pending("c@1", i));
    }
    std::vector<std::unique_ptr<PendingAppend>> taken;
    ASSERT_EQ(queue.take(taken, 10s), AppendQueue::Taken::Appends);
    ASSERT_EQ(taken.size(), 3u);
    for (int64_t i = 1; i <= 3; ++i) {
        EXPECT_EQ(taken[static_cast<size_t>(i - 1)]->now_ms, i);
    }
    taken.clear();
    EXPECT_EQ(queue.take(taken, 10ms), AppendQueue::Taken::Pause);
    EXPECT_TRUE(taken.empty());
}

TEST(AppendQueue, APushWakesAWaitingCommitter) {
    AppendQueue queue;
    std::thread pusher([&] {
        std::this_thread::sleep_for(50ms);
        queue.push(pending("c@1", 1));
    });
    std::vector<std::unique_ptr<PendingAppend>> taken;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.take(taken, 60s), AppendQueue::Taken::Appends);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    EXPECT_EQ(taken.size(), 1u);
    pusher.join();
}

TEST(AppendQueue, ClosedOnlyOnceEveryAppendWasTaken) {
    AppendQueue queue;
    queue.push(pending("c@1", 1));
    queue.close();
    std::vector<std::unique_ptr<PendingAppend>> taken;
    EXPECT_EQ(queue.take(taken, 60s), AppendQueue::Taken::Appends);
    EXPECT_EQ(taken.size(), 1u);
    taken.clear();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.take(taken, 60s), AppendQueue::Taken::Closed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);

    // A close wakes a committer that waits.
    AppendQueue idle;
    std::thread closer([&] {
        std::this_thread::sleep_for(50ms);
        idle.close();
    });
    EXPECT_EQ(idle.take(taken, 60s), AppendQueue::Taken::Closed);
    closer.join();
}

} // namespace
} // namespace velmo::server
