#include "wire/percent_codec.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace velmo::wire {
namespace {

TEST(PercentCodec, EncodingRoundTrips) {
    const std::string id = "a b/c?d#e%f@1\xc3\xa9";
    EXPECT_EQ(percentEncode(id), "a%20b%2Fc%3Fd%23e%25f@1%C3%A9");
    EXPECT_EQ(percentDecode(percentEncode(id)), id);
    EXPECT_EQ(percentEncode("AZaz09-._~@"), "AZaz09-._~@");

    std::string every_byte;
    for (int b = 0; b < 256; ++b) {
        every_byte += static_cast<char>(b);
    }
    const std::string encoded = percentEncode(every_byte);
    EXPECT_EQ(encoded.size(), 3 * 256 - 2 * 67u); // 67 bytes stay as they are
    EXPECT_EQ(percentDecode(encoded), every_byte);
}

TEST(PercentCodec, DecodesEitherCaseAndRefusesMalformedEscapes) {
    const struct {
        std::string text;
        std::optional<std::string> decoded;
    } cases[] = {
        {"ok%41", "okA"},
        {"%c3%a9%C3%A9", "\xc3\xa9\xc3\xa9"},
        {"%00", std::string(1, '\0')},
        {"a+b", "a+b"},
        {"%2541", "%41"}, // decoded once
        {"", ""},
        {"%4", std::nullopt},
        {"%zz", std::nullopt},
        {"%", std::nullopt},
        {"a%4g", std::nullopt},
        {"%%41", std::nullopt},
        {"%41%", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(percentDecode(c.text), c.decoded) << c.text;
    }
}

} // namespace
} // namespace velmo::wire
