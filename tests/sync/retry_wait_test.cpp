#include "sync/retry_wait.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>

namespace velmo::sync {
namespace {

Jitter fixed(double value) {
    return [value] { return value; };
}

TEST(RetryWait, ARetryAfterIsTheWaitAskedForWhateverCameBefore) {
    const struct {
        int in_a_row;
        std::optional<double> asked;
        double jitter;
        double wait;
    } cases[] = {
        {1, 1.0, 0.0, 1.0},
        {5, 1.0, 1.0, 1.0},
        {20, 1.0, 0.5, 1.0},
        {1, 0.0, 0.7, 0.0},
        {3, 30.0, 0.0, 30.0},
        {3, 120.0, 0.9, 120.0},
        {1, 100000.0, 0.5, 600.0},
        {1, -5.0, 0.5, 0.0},
        // Without one: a doubling from 2.5 s up to a minute, jittered between half and all.
        {1, std::nullopt, 0.0, 1.25},
        {1, std::nullopt, 1.0, 2.5},
        {2, std::nullopt, 1.0, 5.0},
        {3, std::nullopt, 0.5, 7.5},
        {5, std::nullopt, 1.0, 40.0},
        {6, std::nullopt, 1.0, 60.0},
        {40, std::nullopt, 1.0, 60.0},
        {40, std::nullopt, 0.0, 30.0},
        // A fake that strays outside [0, 1) is held to it.
        {1, std::nullopt, 7.0, 2.5},
        {1, std::nullopt, -1.0, 1.25},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.in_a_row << " " << c.asked.value_or(-1) << " " << c.jitter);
        EXPECT_DOUBLE_EQ(RetryWait::afterAnswer(c.in_a_row, c.asked, fixed(c.jitter)), c.wait);
    }
}

TEST(RetryWait, NoAnswerWaitsAboutASecondAndTheDefaultJitterSpreads) {
    EXPECT_DOUBLE_EQ(RetryWait::afterNoAnswer(fixed(0.0)), 0.5);
    EXPECT_DOUBLE_EQ(RetryWait::afterNoAnswer(fixed(0.5)), 1.0);
    EXPECT_DOUBLE_EQ(RetryWait::afterNoAnswer(fixed(1.0)), 1.5);

    const Jitter jitter = defaultJitter();
    std::set<double> seen;
    for (int i = 0; i < 200; ++i) {
        const double wait = RetryWait::afterNoAnswer(jitter);
        ASSERT_GE(wait, 0.5);
        ASSERT_LE(wait, 1.5);
        seen.insert(wait);
    }
    EXPECT_GT(seen.size(), 150u) << "clients lost together must not come back together";
}

} // namespace
} // namespace velmo::sync
