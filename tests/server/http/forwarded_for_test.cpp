#include "http/forwarded_for.h"

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

TEST(ForwardedFor, TheLastAddressNamesTheClientAndAnythingElseFallsBack) {
    const struct {
        const char* header;
        const char* client;
    } cases[] = {
        {"10.0.0.1", "10.0.0.1"},
        {" 10.0.0.1 ", "10.0.0.1"},
        {"1.2.3.4, 10.0.0.1", "10.0.0.1"},
        {"1.2.3.4,2001:db8::1", "2001:db8::1"},
        {"", "proxy"},
        {"10.0.0.1,", "proxy"},
        {"10.0.0.1, evil.example", "proxy"},
        {"10.0.0.1, 10.0.0.2\r\nX-Other: 1", "proxy"},
        {"0000:0000:0000:0000:0000:0000:0000:0000:0000:0000", "proxy"}, // longer than any address
    };
    for (const auto& c : cases) {
        EXPECT_EQ(forwardedClient(c.header, "proxy"), c.client) << c.header;
    }
}

} // namespace
} // namespace velmo::server
