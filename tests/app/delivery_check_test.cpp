#include "app/bot/delivery_check.h"

#include <gtest/gtest.h>

#include <string>

namespace velmo::bot {
namespace {

std::string line(const std::string& user, int64_t client_time, int64_t server_time) {
    return "c@20101201095959123: append:  client_time:" + std::to_string(client_time) +
           " server_time:" + std::to_string(server_time) + " user_name:" + user +
           " pen_properties:color=ff000000,width=2999,density=128 layer:0 points: 5-6";
}

TEST(DeliveryCheck, EachDrawnStrokeMustBeStoredExactlyOnce) {
    const std::string me = "bot@20101201095959123";
    const std::string other = "anna@20101201095959123";
    const struct {
        std::string reply;
        int stored_once, missing, repeated;
        bool complete;
    } cases[] = {
        {line(me, 1, 10) + "\n" + line(me, 2, 11) + "\n" + line(me, 3, 12), 3, 0, 0, true},
        {line(me, 1, 10) + "\n" + line(me, 3, 12), 2, 1, 0, false},
        {line(me, 1, 10) + "\n" + line(me, 2, 11) + "\n" + line(me, 2, 13) + "\n" + line(me, 3, 12),
         2, 0, 1, false},
        // Another user's stroke with the same client time is not ours.
        {line(me, 1, 10) + "\n" + line(other, 2, 11) + "\n" + line(me, 3, 12), 2, 1, 0, false},
        // Strokes not drawn in this run do not count either way.
        {line(me, 1, 10) + "\n" + line(me, 2, 11) + "\n" + line(me, 3, 12) + "\n" + line(me, 9, 14),
         3, 0, 0, true},
        {"", 0, 3, 0, false},
        {"Service Unavailable", 0, 3, 0, false},
    };
    for (const auto& c : cases) {
        const DeliveryCheck check = checkDelivery(c.reply, me, {1, 2, 3});
        EXPECT_EQ(check.drawn, 3) << c.reply;
        EXPECT_EQ(check.stored_once, c.stored_once) << c.reply;
        EXPECT_EQ(check.missing, c.missing) << c.reply;
        EXPECT_EQ(check.repeated, c.repeated) << c.reply;
        EXPECT_EQ(check.complete(), c.complete) << c.reply;
    }
    EXPECT_TRUE(checkDelivery("", me, {}).complete());
}

} // namespace
} // namespace velmo::bot
