#include "wire/date_id.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace velmo::wire {
namespace {

TEST(DateId, EncodesTheCreationTimeInSevenBase62Digits) {
    const struct {
        std::string canvas_id;
        std::optional<std::string> code;
    } cases[] = {
        {"public@20100101000000000", "0000000"},
        {"public@20100101000000061", "000000Z"},
        {"public@20100101000000062", "0000010"},
        {"anna@20100704123456789", "0hSboGx"},
        {"public@20100704123456789", "0hSboGx"},
        {"20100704123456789", "0hSboGx"},
        // Not a date code: too short, not digits, before 2010.
        {"", std::nullopt},
        {"2010070412345678", std::nullopt},
        {"public@2010010100000000", std::nullopt}, // 16 digits
        {"public@2010010100000000x", std::nullopt},
        {"public@2010070412345678x", std::nullopt},
        {"public@2010-07-04T12:34:56", std::nullopt},
        {"public@20091231235959999", std::nullopt},
        {"public@00000000000000000", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dateID(c.canvas_id), c.code) << c.canvas_id;
    }
}

TEST(DateId, FarStampsAndOddDatesStillGiveSevenDigits) {
    // Far future: the higher digits are dropped, with no overflow.
    EXPECT_TRUE(dateID("public@99991231235959999").has_value());
    const auto largest = dateID("x@99999999999999999");
    ASSERT_TRUE(largest.has_value());
    EXPECT_EQ(largest->size(), 7u);
    // Month 00 and day 00 are read as written, never as an error.
    EXPECT_TRUE(dateID("x@20110000000000000").has_value());
}

} // namespace
} // namespace velmo::wire
