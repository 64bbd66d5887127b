#include "wire/percent_codec.h"

#include <gtest/gtest.h>

namespace velmo::wire {
namespace {

TEST(PercentCodec, EncodingRoundTrips) {
    const std::string id = "a b/c?d#e%f@1\xc3\xa9";
    EXPECT_EQ(percentEncode(id), "a%20b%2Fc%3Fd%23e%25f@1%C3%A9");
    EXPECT_EQ(percentDecode(percentEncode(id)), id);
    EXPECT_EQ(percentDecode("%4"), std::nullopt);
    EXPECT_EQ(percentDecode("%zz"), std::nullopt);
    EXPECT_EQ(percentDecode("%"), std::nullopt);
    EXPECT_EQ(percentDecode("ok%41"), "okA");
}

} // namespace
} // namespace velmo::wire
