#include "identity/canvas_identity.h"

#include "text/gmt_stamp.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace velmo::identity {
namespace {

constexpr double July4th2010 = 1278246896.789; // 2010-07-04 12:34:56.789 GMT

TEST(CanvasIdentity, MakesIDsFromTheNicknameAndTheGmtMillisecond) {
    EXPECT_EQ(makeID("public", July4th2010), "public@20100704123456789");
    EXPECT_EQ(makeID("", 0.0), "@19700101000000000");
    EXPECT_EQ(makeID("anna", 1267679167.0), "anna@20100304050607000");
    EXPECT_EQ(makeID("x", 1267679167.9999), "x@20100304050607999");
    EXPECT_EQ(text::gmtStampSeconds(1267679167.5), "20100304050607");
    // Leap day and the end of a year.
    EXPECT_EQ(text::gmtStampMillis(951782400.0), "20000229000000000");
    EXPECT_EQ(text::gmtStampMillis(1293839999.999), "20101231235959999");
}

TEST(CanvasIdentity, ClocksOutsideAnyCalendarStillGiveDigits) {
    for (const double seconds : {-1.0, -1e300, 1e300, 1e30}) {
        const std::string stamp = text::gmtStampMillis(seconds);
        EXPECT_GE(stamp.size(), 17u) << seconds;
    }
}

TEST(CanvasIdentity, WritesTheDateCodeInSevenBase62Digits) {
    const struct {
        std::string canvas_id;
        std::optional<std::string> code;
    } cases[] = {
        {"public@20100101000000000", "0000000"},
        {"public@20100101000000061", "000000Z"},
        {"public@20100101000000062", "0000010"},
        {"public@20100704123456789", "0hSboGx"},
        {"20100704123456789", "0hSboGx"},
        // Not a date code: too short, not digits, before 2010.
        {"", std::nullopt},
        {"2010070412345678", std::nullopt},
        {"public@2010070412345678x", std::nullopt},
        {"public@2010-07-04T12:34:56", std::nullopt},
        {"public@20091231235959999", std::nullopt},
        {"public@00000000000000000", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dateID(c.canvas_id), c.code) << c.canvas_id;
    }
    // The largest stamp still gives seven digits of the code.
    const auto largest = dateID("x@99999999999999999");
    ASSERT_TRUE(largest.has_value());
    EXPECT_EQ(largest->size(), 7u);
    // Month 00 and day 00 are read as written, never as an error.
    EXPECT_TRUE(dateID("x@20110000000000000").has_value());
}

TEST(CanvasIdentity, ReadsTheCanvasIDOfALink) {
    const struct {
        std::string link;
        std::optional<std::string> canvas_id;
    } cases[] = {
        {"velmorastra://public@20101201095959123", "public@20101201095959123"},
        {"velmorastra://public%4020101201095959123", "public@20101201095959123"},
        {"velmorastra://", ""},
        {"velmorastra://a@20101201095959123?x=1", "a@20101201095959123?x=1"},
        {"velmorastra://%C3%A9t%C3%A9@20101201095959123", "\xc3\xa9t\xc3\xa9@20101201095959123"},
        {"velmorastra:/", std::nullopt},
        {"", std::nullopt},
        {"velmorastra://a%", std::nullopt},
        {"velmorastra://a%4", std::nullopt},
        {"velmorastra://a%zz", std::nullopt},
        {"velmorastra://a%FF", std::nullopt},
        {"velmorastra://a%C3", std::nullopt},
        {"\xc3\xa9lmorastra://x", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(canvasIDFromLink(c.link), c.canvas_id) << c.link;
    }
}

} // namespace
} // namespace velmo::identity
