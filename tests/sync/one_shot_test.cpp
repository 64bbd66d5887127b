#include "sync/one_shot.h"

#include "support/manual_scheduler.h"

#include <gtest/gtest.h>

namespace velmo::sync {
namespace {

TEST(OneShot, RunsOnceAtItsIntervalAndIsDroppedWhenIdle) {
    testing::ManualScheduler scheduler;
    OneShot shot(scheduler);
    int runs = 0;
    shot.start(1.5, [&] { ++runs; });
    ASSERT_EQ(scheduler.timers.size(), 1u);
    EXPECT_EQ(scheduler.timers.begin()->second.interval, 1.5);
    EXPECT_TRUE(shot.waiting());
    scheduler.tick();
    scheduler.tick(); // the spent timer is not dropped yet, and fires for nothing
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(shot.waiting());
    scheduler.runIdle();
    EXPECT_TRUE(scheduler.timers.empty());

    // Started again from its own action: the new one waits, the old one goes.
    shot.start(2.0, [&] {
        ++runs;
        shot.start(3.0, [&] { runs += 10; });
    });
    scheduler.tick();
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(shot.interval(), 3.0);
    scheduler.runIdle();
    ASSERT_EQ(scheduler.timers.size(), 1u);
    scheduler.tick();
    EXPECT_EQ(runs, 12);

    // Stopped, or replaced: the action does not run.
    shot.start(1.0, [&] { runs += 100; });
    shot.stop();
    scheduler.tick();
    shot.start(1.0, [&] { runs += 100; });
    shot.start(1.0, [&] { runs += 1000; });
    scheduler.tick();
    EXPECT_EQ(runs, 1012);
    scheduler.runIdle();
    EXPECT_TRUE(scheduler.timers.empty());
}

TEST(OneShot, GoingAwayDropsItsTimerAndItsPost) {
    testing::ManualScheduler scheduler;
    {
        OneShot shot(scheduler);
        shot.start(1.0, [] {});
        scheduler.tick();
    }
    EXPECT_TRUE(scheduler.timers.empty());
    EXPECT_EQ(scheduler.runIdle(), 0);
}

} // namespace
} // namespace velmo::sync
