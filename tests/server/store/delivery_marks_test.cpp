#include "store/delivery_marks.h"

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

TEST(DeliveryMarks, NewUserStartsAtZeroWithoutNotice) {
    DeliveryMarks marks;
    const auto first = marks.take("c", "u", 1);
    EXPECT_EQ(first->mark, 0);
    EXPECT_FALSE(first->owes_notice);
    marks.advance("c", "u", 50);
    EXPECT_EQ(marks.take("c", "u", 2)->mark, 50);
    marks.advance("c", "u", 20); // never back
    EXPECT_EQ(marks.take("c", "u", 3)->mark, 50);
    EXPECT_EQ(marks.take("other canvas", "u", 3)->mark, 0);
}

TEST(DeliveryMarks, DeleteNoticeGoesToEveryOtherKnownUserOnce) {
    DeliveryMarks marks;
    marks.take("c", "deleter", 1);
    marks.take("c", "other", 1);
    marks.take("elsewhere", "third", 1);
    marks.noteDelete("c", "deleter");
    EXPECT_FALSE(marks.take("c", "deleter", 2)->owes_notice);
    EXPECT_TRUE(marks.take("c", "other", 2)->owes_notice);
    EXPECT_FALSE(marks.take("c", "other", 3)->owes_notice);
    EXPECT_FALSE(marks.take("elsewhere", "third", 3)->owes_notice);
    EXPECT_FALSE(marks.take("c", "newcomer", 3)->owes_notice);
    marks.oweNotice("c", "other");
    EXPECT_TRUE(marks.take("c", "other", 4)->owes_notice);
}

TEST(DeliveryMarks, SnapshotRestoresMarksAndOwedNotices) {
    DeliveryMarks marks;
    marks.take("c", "a", 1);
    marks.take("c", "b", 2);
    marks.advance("c", "b", 40);
    marks.noteDelete("c", "a");
    DeliveryMarks restored;
    restored.restore(marks.snapshot());
    EXPECT_EQ(restored.size(), 2u);
    const auto b = restored.take("c", "b", 3);
    EXPECT_EQ(b->mark, 40);
    EXPECT_TRUE(b->owes_notice);
    EXPECT_FALSE(restored.take("c", "a", 3)->owes_notice);
}

TEST(DeliveryMarks, StaysWithinCapacityForgettingTheLeastRecentlySeen) {
    DeliveryMarks marks(100);
    marks.take("c", "old", 0);
    marks.advance("c", "old", 7);
    for (int i = 0; i < 1000; ++i) {
        marks.take("c", "user" + std::to_string(i), 10 + i);
    }
    EXPECT_LE(marks.size(), 100u);
    EXPECT_EQ(marks.take("c", "old", 5000)->mark, 0); // forgotten: starts over
}

} // namespace
} // namespace velmo::server
