#include "handler/token_buckets.h"

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

TEST(TokenBuckets, ABucketRefillsAtItsRateUpToItsBurstAndSaysHowLongToWait) {
    TokenBuckets buckets({0.5, 2}, 100);
    struct Step {
        int64_t at_ms;
        double cost;
        int64_t wait_ms; // 0: taken
    };
    const Step steps[] = {
        {0, 1, 0},          {0, 1, 0},
        {0, 1, 2000},                     // the burst is spent
        {1000, 1, 1000},    {2000, 1, 0}, // one token every 2 s
        {100'000, 1, 0},    {100'000, 1, 0},
        {100'000, 1, 2000}, // refilled to the burst, never beyond
        {100'000, 5, 4000}, // a cost above the burst waits for the whole burst
        {104'000, 5, 0},    {104'000, -1, 0},
        {104'000, 1, 0}, // a negative cost gives back
    };
    for (const Step& step : steps) {
        EXPECT_EQ(buckets.take("a", step.cost, step.at_ms), step.wait_ms)
            << "at " << step.at_ms << " cost " << step.cost;
    }
    // Another key has a bucket of its own; a rate of 0 is no limit.
    EXPECT_EQ(buckets.take("b", 1, 0), 0);
    TokenBuckets off({0, 0}, 1);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(off.take("a", 1, 0), 0);
    }
    EXPECT_EQ(off.keys(), 0u);
}

TEST(TokenBuckets, TheTableStaysBoundedAndForgetsRefilledBucketsFirst) {
    TokenBuckets buckets({1, 2}, 3);
    // A flood of new keys never grows the table beyond its bound.
    for (int i = 0; i < 1000; ++i) {
        buckets.take("flood" + std::to_string(i), 1, i);
        ASSERT_LE(buckets.keys(), 3u);
    }
    // Refilled buckets are the same as none: they go as soon as a key is new.
    EXPECT_EQ(buckets.take("busy", 2, 10'000), 0);
    EXPECT_EQ(buckets.keys(), 1u);
    buckets.take("x", 1, 10'000);
    buckets.take("y", 1, 10'000);
    EXPECT_EQ(buckets.keys(), 3u);
    // Beyond the bound the bucket untouched longest goes, not one a client just used.
    EXPECT_GT(buckets.take("busy", 1, 10'000), 0);
    buckets.take("z", 1, 10'000);
    EXPECT_EQ(buckets.keys(), 3u);
    EXPECT_GT(buckets.take("busy", 1, 10'000), 0);
    EXPECT_EQ(buckets.take("x", 1, 10'000), 0); // forgotten, so full again
}

} // namespace
} // namespace velmo::server
