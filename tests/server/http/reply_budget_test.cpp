#include "http/reply_budget.h"

#include <gtest/gtest.h>

#include <vector>

namespace velmo::server {
namespace {

TEST(ReplyBudget, LeasesStayWithinTheLimitAndGiveTheirBytesBack) {
    ReplyBudget budget(10);
    auto first = budget.tryTake(4);
    auto second = budget.tryTake(4);
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(budget.tryTake(4)); // 12 > 10
    EXPECT_TRUE(budget.tryTake(2));  // taken and given back at once
    EXPECT_EQ(budget.held(), 8u);
    // A reply larger than its lease is counted all the same, and leaves less room.
    first->growTo(7);
    first->growTo(5); // never shrinks
    EXPECT_EQ(budget.held(), 11u);
    EXPECT_FALSE(budget.tryTake(1));
    first.reset();
    EXPECT_EQ(budget.held(), 4u);
    ReplyBudget::Lease moved = std::move(*second);
    second.reset();
    EXPECT_EQ(budget.held(), 4u);
    { ReplyBudget::Lease gone = std::move(moved); }
    EXPECT_EQ(budget.held(), 0u);
    // 0: counted, never refused.
    ReplyBudget unbounded(0);
    std::vector<ReplyBudget::Lease> leases;
    for (int i = 0; i < 100; ++i) {
        auto lease = unbounded.tryTake(1 << 30);
        ASSERT_TRUE(lease);
        leases.push_back(std::move(*lease));
    }
    EXPECT_EQ(unbounded.held(), 100ull << 30);
}

} // namespace
} // namespace velmo::server
