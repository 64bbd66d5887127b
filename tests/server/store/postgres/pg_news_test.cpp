#include "store/postgres/pg_news.h"

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

TEST(PgNews, PayloadsCarryAnyCanvasIdAndReadBack) {
    const PgNews cases[] = {
        {"0123abcd", {StrokeNews::Kind::Append, 1291201234567}, "anna@20100704123456789"},
        {"ff", {StrokeNews::Kind::Delete, 0}, "x"},
        {"1", {StrokeNews::Kind::Append, 5}, std::string("caf\xc3\xa9\xff\x01 id", 9)},
        {"2", {StrokeNews::Kind::Delete, 0}, "c@1", true},
    };
    for (const PgNews& news : cases) {
        const std::string payload = newsPayload(news);
        for (const char c : payload) {
            EXPECT_TRUE(c >= 0x20 && c < 0x7F) << payload; // plain ASCII on the wire
        }
        const auto back = parseNewsPayload(payload);
        ASSERT_TRUE(back) << payload;
        EXPECT_EQ(*back, news);
    }
}

TEST(PgNews, PayloadsOfAnythingElseAreIgnored) {
    const char* bad[] = {"",          "abc",       "i x 1 61",  "i a  61",
                         "i a 1",     "i a 1 6",   "i a 1 zz",  " a 1 61",
                         "i a 1x 61", "i a 1 61 ", "i ad 1 61", "i a 99999999999999999999 61"};
    for (const char* payload : bad) {
        EXPECT_FALSE(parseNewsPayload(payload)) << payload;
    }
}

} // namespace
} // namespace velmo::server
