#include "canvas/number_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace velmo::canvas {
namespace {

constexpr int64_t Max64 = std::numeric_limits<int64_t>::max();
constexpr int64_t Min64 = std::numeric_limits<int64_t>::min();

TEST(NumberReader, DecimalsAroundTheLimitsSaturate) {
    struct Case {
        std::string text;
        std::optional<int64_t> expected;
        size_t consumed;
    };
    const Case cases[] = {
        {"999999999999999999", 999999999999999999, 18}, // the longest read unchecked
        {"9223372036854775807", Max64, 19},
        {"9223372036854775806x", Max64 - 1, 19},
        {"9223372036854775808", Max64, 19},
        {"99999999999999999999999", Max64, 23},
        {"-9223372036854775808", Min64, 20},
        {"-9223372036854775807", Min64 + 1, 20},
        {"-9223372036854775809", Min64, 20},
        {"-123456789012345678901", Min64, 22},
        // Leading zeros count as digits but not towards the value.
        {"00000000000000000000000042 ", 42, 26},
        {"0000000000000000009223372036854775807", Max64, 37},
        {" \t+17-3", 17, 5},
        {"-", std::nullopt, 0},
        {"", std::nullopt, 0},
        {"x1", std::nullopt, 0},
    };
    for (const Case& c : cases) {
        size_t consumed = 0;
        EXPECT_EQ(readDecimal64(c.text, &consumed), c.expected) << c.text;
        EXPECT_EQ(consumed, c.consumed) << c.text;
    }
    EXPECT_EQ(readDecimal32("2147483648"), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(readDecimal32("-2147483649"), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(readDecimal32("-2147483648"), std::numeric_limits<int32_t>::min());
    // Reading stops at the end of the view, not at a terminator beyond it.
    const std::string digits = "12345678901234567890";
    EXPECT_EQ(readDecimal64(std::string_view(digits).substr(0, 5)), 12345);
}

} // namespace
} // namespace velmo::canvas
