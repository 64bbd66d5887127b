#include "http/metrics_access.h"

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

TEST(MetricsAccess, NetworksReadAsTheOperatorWritesThem) {
    const struct {
        const char* range;
        bool valid;
        const char* inside;
        const char* outside;
    } cases[] = {
        {"10.1.2.3", true, "10.1.2.3", "10.1.2.4"},
        {"10.1.0.0/16", true, "10.1.255.7", "10.2.0.1"},
        {"10.1.2.3/16", true, "10.1.9.9", "10.0.9.9"}, // the host bits are not looked at
        {"192.168.1.128/25", true, "192.168.1.200", "192.168.1.127"},
        {"0.0.0.0/0", true, "203.0.113.9", "::1"}, // IPv4 only
        {"2001:db8::/32", true, "2001:db8:1::5", "2001:db9::5"},
        {"2001:db8::1", true, "2001:db8::1", "2001:db8::2"},
        {"::ffff:10.0.0.1", true, "10.0.0.1", "10.0.0.2"}, // mapped is IPv4
        {"10.0.0.0/8", true, "::ffff:10.9.9.9", "::ffff:11.0.0.1"},
        {"10.0.0.0/33", false, "", ""},
        {"::/129", false, "", ""},
        {"10.0.0.0/", false, "", ""},
        {"10.0.0.0/-1", false, "", ""},
        {"10.0.0.0/8x", false, "", ""},
        {"10.0.0.0/0008", false, "", ""},
        {"10.0.0", false, "", ""},
        {"host.example", false, "", ""},
        {"", false, "", ""},
        {"/8", false, "", ""},
        {"10.0.0.1\n", false, "", ""},
        {"1111:2222:3333:4444:5555:6666:7777:8888:9999:0000", false, "", ""},
    };
    for (const auto& c : cases) {
        const auto range = parseAddressRange(c.range);
        ASSERT_EQ(range.has_value(), c.valid) << c.range;
        if (!range) {
            continue;
        }
        EXPECT_TRUE(inRange(c.inside, *range)) << c.range << " " << c.inside;
        EXPECT_FALSE(inRange(c.outside, *range)) << c.range << " " << c.outside;
        EXPECT_FALSE(inRange("not an address", *range));
        EXPECT_FALSE(inRange("", *range));
    }
    for (const char* loopback : {"127.0.0.1", "127.9.8.7", "::1", "::ffff:127.0.0.1"}) {
        EXPECT_TRUE(isLoopbackAddress(loopback)) << loopback;
    }
    for (const char* other : {"128.0.0.1", "::2", "10.0.0.1", "", "localhost", "-"}) {
        EXPECT_FALSE(isLoopbackAddress(other)) << other;
    }
}

TEST(MetricsAccess, LoopbackTheOperatorsNetworksAndTheTokenAreLetIn) {
    const MetricsAccess access({*parseAddressRange("203.0.113.0/24")}, "s3cret-token");
    const struct {
        const char* client;
        const char* authorization;
        bool allowed;
    } cases[] = {
        {"127.0.0.1", "", true},
        {"::1", "", true},
        {"203.0.113.77", "", true},
        {"198.51.100.1", "", false},
        {"", "", false}, // no address counts
        {"198.51.100.1", "Bearer s3cret-token", true},
        {"198.51.100.1", "bearer   s3cret-token  ", true},
        {"", "BEARER s3cret-token", true},
        {"198.51.100.1", "Bearer s3cret-toke", false},
        {"198.51.100.1", "Bearer s3cret-token2", false},
        {"198.51.100.1", "Bearer", false},
        {"198.51.100.1", "Bearer ", false},
        {"198.51.100.1", "Basic s3cret-token", false},
        {"198.51.100.1", "s3cret-token", false},
        {"198.51.100.1", "Bearers3cret-token", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(access.allows(c.client, c.authorization), c.allowed)
            << c.client << " / " << c.authorization;
    }
    // Without a token, no Authorization header lets anyone in, an empty bearer least of all.
    const MetricsAccess no_token({}, "");
    EXPECT_FALSE(no_token.allows("198.51.100.1", "Bearer "));
    EXPECT_FALSE(no_token.allows("198.51.100.1", "Bearer x"));
    EXPECT_TRUE(no_token.allows("127.0.0.1", ""));
}

TEST(MetricsAccess, TheAddressThatCountsIsTheForwardedOneOnlyThroughATrustedProxy) {
    const struct {
        const char* peer;
        bool trusted;
        std::optional<std::string_view> forwarded;
        const char* counted;
    } cases[] = {
        {"127.0.0.1", false, std::nullopt, "127.0.0.1"},
        {"10.0.0.5", false, std::nullopt, "10.0.0.5"},
        // A proxy not named trusted in front: its loopback peer says nothing.
        {"127.0.0.1", false, "203.0.113.7", ""},
        {"127.0.0.1", false, "127.0.0.1", ""},
        {"127.0.0.1", false, "", ""},
        // Through a trusted proxy, the address it appended last.
        {"127.0.0.1", true, "203.0.113.7", "203.0.113.7"},
        {"127.0.0.1", true, "127.0.0.1, 203.0.113.7", "203.0.113.7"},
        {"127.0.0.1", true, "203.0.113.7, 127.0.0.1", "127.0.0.1"},
        {"127.0.0.1", true, " ::1 ", "::1"},
        // ... and none when it names none: never the proxy's own loopback address.
        {"127.0.0.1", true, std::nullopt, ""},
        {"127.0.0.1", true, "", ""},
        {"127.0.0.1", true, "localhost", ""},
        {"127.0.0.1", true, "203.0.113.7, ", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(metricsClient(c.peer, c.trusted, c.forwarded), c.counted)
            << c.peer << " " << c.trusted << " " << c.forwarded.value_or("(none)");
    }
}

} // namespace
} // namespace velmo::server
