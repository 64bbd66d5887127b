#include "http/access_log.h"

#include "support/json_line.h"

#include <gtest/gtest.h>

#include <regex>

using namespace velmo::server;
using velmo::testing::JsonLine;

namespace {

std::map<std::string, std::string> fieldsOf(const std::string& line) {
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    const auto fields = JsonLine::read(std::string_view(line).substr(0, line.size() - 1));
    EXPECT_TRUE(fields) << line;
    return fields.value_or(std::map<std::string, std::string>{});
}

} // namespace

TEST(AccessLog, TextLineIsUnchanged) {
    EXPECT_EQ(accessLogLine(LogFormat::Text, "127.0.0.1", "POST", "/a\"b\x01", 429, 12, 1.234,
                            "too many appends"),
              "127.0.0.1 \"POST /a\\x22b\\x01\" 429 12 1.23ms \"too many appends\"\n");
    EXPECT_EQ(accessLogLine(LogFormat::Text, "::1", "GET", "/healthz", 200, 3, 0.5),
              "::1 \"GET /healthz\" 200 3 0.50ms\n");
}

TEST(AccessLog, JsonLineCarriesEveryField) {
    // 2026-12-10T23:18:05.042Z
    const int64_t at = 1796944685042;
    const auto fields =
        fieldsOf(accessLogLine(LogFormat::Json, "10.0.0.7", "POST", "/render/a.png?w=10&h=20", 429,
                               31, 2.5, "too many appends", at));
    EXPECT_EQ(fields.at("time"), "2026-12-10T23:18:05.042Z");
    EXPECT_EQ(fields.at("address"), "10.0.0.7");
    EXPECT_EQ(fields.at("method"), "POST");
    EXPECT_EQ(fields.at("route"), "/render/a.png");
    EXPECT_EQ(fields.at("status"), "429");
    EXPECT_EQ(fields.at("bytes"), "31");
    EXPECT_EQ(fields.at("duration_ms"), "2.50");
    EXPECT_EQ(fields.at("reason"), "too many appends");

    const auto plain = fieldsOf(accessLogLine(LogFormat::Json, "::1", "GET", "/", 200, 0, 0));
    EXPECT_EQ(plain.count("reason"), 0u);
    EXPECT_TRUE(
        std::regex_match(plain.at("time"), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << plain.at("time");
}

TEST(AccessLog, OddBytesStayValidJson) {
    struct Case {
        std::string target;
        std::string route; // as read back
    };
    const Case cases[] = {
        {"/a\"b\\c", "/a\"b\\c"},
        {std::string("/\x01\x1f\x7f\n\r\t", 7), std::string("/\x01\x1f\x7f\n\r\t", 7)},
        {"/caf\xC3\xA9", "/caf\xC3\xA9"},
        {"/\xFF\xC3", "/\xEF\xBF\xBD\xEF\xBF\xBD"},                 // stray bytes
        {"/\xC0\xAF", "/\xEF\xBF\xBD\xEF\xBF\xBD"},                 // overlong
        {"/\xED\xA0\x80", "/\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // surrogate
        {"/\xF0\x9F\x8E\xA8?q=\"", "/\xF0\x9F\x8E\xA8"},
        {std::string(300, 'x'), std::string(200, 'x')},
        {std::string("/\0z", 3), std::string("/\0z", 3)},
    };
    for (const Case& c : cases) {
        const auto fields = fieldsOf(accessLogLine(LogFormat::Json, "1.2.3.4", "G\"E\x02T",
                                                   c.target, 400, 0, 0.1, "bad \"request\"\n"));
        ASSERT_EQ(fields.count("route"), 1u) << c.target;
        EXPECT_EQ(fields.at("route"), c.route) << c.target;
        EXPECT_EQ(fields.at("method"), "G\"E\x02T");
        EXPECT_EQ(fields.at("reason"), "bad \"request\"\n");
    }
}

TEST(AccessLog, CheckerRefusesWhatIsNotJson) {
    // The checker above must itself catch the faults the escaping guards against.
    for (const std::string bad : {"{\"a\":\"x\"y\"}", "{\"a\":\"\x01\"}", "{\"a\":\"\xFF\"}",
                                  "{\"a\":\"\\x41\"}", "{\"a\":1,}", "{\"a\":1} x", "{\"a\":}"}) {
        EXPECT_FALSE(JsonLine::read(bad)) << bad;
    }
    EXPECT_TRUE(JsonLine::read("{\"a\":\"\\u0001\\\"\",\"b\":-1.5}"));
}
