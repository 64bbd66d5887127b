#include "http/render_slots.h"

#include <gtest/gtest.h>

#include <vector>

namespace velmo::server {
namespace {

TEST(RenderSlots, AtMostTheLimitAreTakenAndEachComesBack) {
    for (const size_t limit : {size_t{0}, size_t{1}, size_t{4}}) {
        RenderSlots slots(limit);
        std::vector<RenderSlots::Slot> taken;
        for (size_t i = 0; i < limit; ++i) {
            auto slot = slots.tryTake();
            ASSERT_TRUE(slot) << "limit " << limit << ", slot " << i;
            taken.push_back(std::move(*slot));
        }
        EXPECT_FALSE(slots.tryTake()) << "limit " << limit;
        EXPECT_EQ(slots.inFlight(), limit);
        if (limit > 0) {
            taken.pop_back();
            EXPECT_EQ(slots.inFlight(), limit - 1);
            EXPECT_TRUE(slots.tryTake()) << "limit " << limit; // and given back at once
        }
        taken.clear();
        EXPECT_EQ(slots.inFlight(), 0u);
    }
}

} // namespace
} // namespace velmo::server
