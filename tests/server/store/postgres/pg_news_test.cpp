#include "store/postgres/pg_news.h"

#include "wire/stroke_progress.h"
#include "wire/wire_limits.h"

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

TEST(PgNews, LivePayloadsCarryTheLargestProgressOfTheLongestCanvasIdAndReadBack) {
    const std::string long_id = std::string(wire::MaxCanvasId - 2, '\xff') + "@1";
    const RemoteLive cases[] = {
        {RemoteLive::Kind::Progress, "0123456789abcdef", long_id,
         std::string(wire::MaxProgressText, 'p')},
        {RemoteLive::Kind::Join, "0123456789abcdef", "anna@20100704123456789", "bob@1"},
        {RemoteLive::Kind::Leave, "1", "c@1", "caf\xc3\xa9 x"},
    };
    for (const RemoteLive& news : cases) {
        const auto payload = livePayload(news);
        ASSERT_TRUE(payload);
        EXPECT_LE(payload->size(), MaxLivePayload);
        for (const char c : *payload) {
            EXPECT_TRUE(c >= 0x20 && c < 0x7F);
        }
        EXPECT_EQ(parseLivePayload(*payload), news);
    }
    // What would not fit is not sent.
    EXPECT_FALSE(livePayload(
        {RemoteLive::Kind::Progress, "1", "c@1", std::string(wire::MaxProgressText + 1, 'p')}));
    EXPECT_FALSE(livePayload({RemoteLive::Kind::Join, "", "c@1", "u@1"}));
    for (const char* bad : {"", "i", "i j 61", "i x 61 62", "i j 6 62", "i j 61 6z", "i j  62"}) {
        EXPECT_FALSE(parseLivePayload(bad)) << bad;
    }
}

} // namespace
} // namespace velmo::server
