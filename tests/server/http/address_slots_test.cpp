#include "http/address_slots.h"

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

TEST(AddressSlots, EachAddressHasItsOwnBoundAndPlacesComeBack) {
    AddressSlots slots(2);
    EXPECT_TRUE(slots.take("10.0.0.1"));
    EXPECT_TRUE(slots.take("10.0.0.1"));
    EXPECT_FALSE(slots.take("10.0.0.1"));
    EXPECT_TRUE(slots.take("10.0.0.2"));
    slots.give("10.0.0.1");
    EXPECT_TRUE(slots.take("10.0.0.1"));
    // Addresses without a connection are forgotten.
    slots.give("10.0.0.1");
    slots.give("10.0.0.1");
    slots.give("10.0.0.2");
    EXPECT_EQ(slots.addresses(), 0u);
    // 0: no bound.
    AddressSlots unbounded(0);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(unbounded.take("127.0.0.1"));
    }
}

} // namespace
} // namespace velmo::server
