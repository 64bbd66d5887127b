#include "store/sqlite/flush_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace velmo::server {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<CommittedBatch> batch(uint64_t number) {
    auto made = std::make_unique<CommittedBatch>();
    made->number = number;
    return made;
}

TEST(FlushQueue, TheFlusherTakesEveryWaitingBatchAndFreesTheCommitter) {
    FlushQueue queue;
    queue.waitUntilTaken(); // nothing waits
    queue.push(batch(1));
    queue.push(batch(2));
    std::atomic<bool> taken_all{false};
    std::thread committer([&] {
        queue.waitUntilTaken();
        EXPECT_TRUE(taken_all);
    });
    std::this_thread::sleep_for(20ms);
    std::vector<std::unique_ptr<CommittedBatch>> batches;
    taken_all = true;
    ASSERT_TRUE(queue.takeAll(batches));
    committer.join();
    ASSERT_EQ(batches.size(), 2u);
    EXPECT_EQ(batches[0]->number, 1u);
    EXPECT_EQ(batches[1]->number, 2u);
}

TEST(FlushQueue, WaitersWakeOnceTheirBatchIsPublished) {
    FlushQueue queue;
    queue.waitUntilPublished(0);
    std::atomic<bool> woken{false};
    std::thread waiter([&] {
        queue.waitUntilPublished(2);
        woken = true;
    });
    queue.published(1);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(woken);
    queue.published(2);
    waiter.join();
    EXPECT_TRUE(woken);
    queue.waitUntilPublished(1); // already past
}

TEST(FlushQueue, CloseEndsTheFlusherOnceEveryBatchWasTaken) {
    FlushQueue queue;
    queue.push(batch(1));
    queue.close();
    std::vector<std::unique_ptr<CommittedBatch>> batches;
    EXPECT_TRUE(queue.takeAll(batches));
    EXPECT_EQ(batches.size(), 1u);
    batches.clear();
    EXPECT_FALSE(queue.takeAll(batches));

    FlushQueue idle;
    std::thread closer([&] {
        std::this_thread::sleep_for(20ms);
        idle.close();
    });
    EXPECT_FALSE(idle.takeAll(batches)); // woken by the close
    closer.join();
}

} // namespace
} // namespace velmo::server
