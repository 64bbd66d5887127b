#include "platform/qt/qt_scheduler.h"

#include "platform/qt/qt_wait.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <vector>

using velmo::platform::qt::QtScheduler;
using velmo::testing::spinFor;
using velmo::testing::spinUntil;

TEST(QtScheduler, ARepeatingTimerFiresEveryIntervalUntilItsHandleGoes) {
    QtScheduler scheduler;
    std::vector<qint64> times;
    QElapsedTimer clock;
    clock.start();
    auto timer = scheduler.scheduleRepeating(0.05, [&] { times.push_back(clock.elapsed()); });
    EXPECT_TRUE(times.empty()) << "the first call comes one interval later";
    ASSERT_TRUE(spinUntil([&] { return times.size() >= 3; }, 3000));
    EXPECT_GE(times[0], 35);
    timer.reset();
    const size_t count = times.size();
    spinFor(200);
    EXPECT_EQ(times.size(), count);
}

TEST(QtScheduler, ANoticeRunsLaterAndOnlyOncePerSender) {
    QtScheduler scheduler;
    int a = 0;
    int b = 0;
    const int sender_a = 0;
    const int sender_b = 0;
    scheduler.postWhenIdle(&sender_a, [&] { ++a; });
    scheduler.postWhenIdle(&sender_a, [&] { a += 100; });
    scheduler.postWhenIdle(&sender_b, [&] { ++b; });
    EXPECT_EQ(a, 0) << "never from inside the post";
    EXPECT_EQ(scheduler.pendingCount(), 2);
    spinFor(50);
    EXPECT_EQ(a, 1) << "the second post of a waiting sender is dropped";
    EXPECT_EQ(b, 1);
    scheduler.postWhenIdle(&sender_a, [&] { ++a; });
    spinFor(50);
    EXPECT_EQ(a, 2) << "after delivery the sender may post again";
}

TEST(QtScheduler, ANoticeWaitsForInputAlreadyQueued) {
    QtScheduler scheduler;
    std::vector<int> order;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { order.push_back(1); }, Qt::QueuedConnection);
    const int sender = 0;
    scheduler.postWhenIdle(&sender, [&] { order.push_back(2); });
    spinFor(50);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(QtScheduler, CancelledNoticesDoNotRun) {
    QtScheduler scheduler;
    int runs = 0;
    const int sender = 0;
    scheduler.postWhenIdle(&sender, [&] { runs += 1; });
    scheduler.cancelPosts(&sender);
    spinFor(50);
    EXPECT_EQ(runs, 0);

    // Cancelled and posted anew: only the new one runs, once.
    scheduler.postWhenIdle(&sender, [&] { runs += 10; });
    scheduler.cancelPosts(&sender);
    scheduler.postWhenIdle(&sender, [&] { runs += 100; });
    spinFor(50);
    EXPECT_EQ(runs, 100);
}

TEST(QtScheduler, ANoticeMayPostItsSuccessor) {
    QtScheduler scheduler;
    int runs = 0;
    const int sender = 0;
    std::function<void()> again = [&] {
        if (++runs < 3) {
            scheduler.postWhenIdle(&sender, again);
        }
    };
    scheduler.postWhenIdle(&sender, again);
    spinFor(100);
    EXPECT_EQ(runs, 3);
}

TEST(QtScheduler, NothingRunsAfterTheSchedulerIsGone) {
    int runs = 0;
    {
        QtScheduler scheduler;
        const int sender = 0;
        scheduler.postWhenIdle(&sender, [&] { ++runs; });
    }
    spinFor(50);
    EXPECT_EQ(runs, 0);
}
