#include "handler/request_handler.h"

#include "canvas/mw_stroke.h"
#include "store/postgres/pg_store.h"
#include "support/pg_cluster.h"
#include "wire/command_text.h"
#include "wire/reply_line.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

namespace velmo::server {
namespace {

constexpr const char* Anna = "anna@20100704130000001";
constexpr const char* Bob = "bob@20100704130000002";
constexpr int64_t Now = 1291201234567;

canvas::MWStroke stroke(const std::string& user, int64_t client_time, int points = 2) {
    canvas::MWStroke s;
    s.client_time = client_time;
    s.user_name = user;
    s.pen_properties = {static_cast<int32_t>(0xFF000000u), 2999, 128};
    for (int i = 0; i < points; ++i) {
        s.points_x.push_back(10000 + 1000 * i);
        s.points_y.push_back(240000);
    }
    return s;
}

struct Instance {
    std::unique_ptr<PgStore> store;
    std::unique_ptr<HandlerContext> context;

    // The delete notices in the reply to `command`, which must be a 200.
    int notices(const std::string& command, int64_t now) {
        const Response response = handleRequest({"POST", "/", "", command, ""}, *context, now);
        EXPECT_EQ(response.status, 200) << response.body;
        int count = 0;
        for (const auto line : wire::splitReplyLines(response.body)) {
            count += wire::classifyReplyLine(line).kind == wire::ReplyLineKind::Delete;
        }
        return count;
    }
};

Instance open(const testing::PgCluster& cluster) {
    std::string error;
    Instance instance;
    instance.store = PgStore::open(cluster.uri(), nullptr, &error);
    EXPECT_TRUE(instance.store) << error;
    if (instance.store) {
        instance.context = std::make_unique<HandlerContext>(
            HandlerContext{*instance.store, instance.store->deliveries(), "http://canvas.test/"});
    }
    return instance;
}

// A user's delete on one instance owes the other users a notice, which the next reply to them
// carries exactly once, whichever instance answers and whenever the deleting instance's news
// reaches the answering one: early, while the reply is made, late (after the reply) or never
// (the listener's connection broke and came back).
TEST(TwoInstances, ADeleteOwesItsNoticeOnceWhereverAndWheneverItsNewsArrives) {
    testing::PgCluster cluster;
    if (!cluster.running()) {
        GTEST_SKIP() << cluster.problem();
    }
    enum class News { Early, During, Late, Lost };
    for (int round = 0; round < 32; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Fresh instances: their memories start empty, as after a start.
        Instance first = open(cluster);
        Instance second = open(cluster);
        ASSERT_TRUE(first.store && second.store);
        const std::string canvas = "pair@20100704" + std::to_string(100000000 + round);
        const News news = static_cast<News>(round % 4);
        const bool anna_polled = round % 8 >= 4;
        const bool anna_appends = round % 16 < 8;
        int64_t now = Now + 1000 * round;
        const auto append = [&](Instance& on, const std::string& user, int64_t client_time) {
            return on.notices(wire::appendCommand(canvas, stroke(user, client_time)), ++now);
        };
        const auto poll = [&](Instance& on, const std::string& user) {
            ++now;
            return on.notices(wire::appendCommand(canvas, stroke(user, now, 0)), now);
        };

        EXPECT_EQ(append(first, Bob, 1), 0);
        if (anna_polled) {
            EXPECT_EQ(poll(first, Anna), 0);
        }
        EXPECT_EQ(append(first, Anna, 2), 0);
        first.store->holdNews(true);
        const Response deleted =
            handleRequest({"POST", "/", "", wire::deleteCommand(canvas, stroke(Bob, 1)), ""},
                          *second.context, ++now);
        ASSERT_EQ(deleted.status, 200) << deleted.body;
        if (news == News::Early) {
            first.store->holdNews(false);
        }
        std::thread hearing;
        if (news == News::During) {
            hearing = std::thread([&] { first.store->holdNews(false); });
        }
        const int at_once = anna_appends ? append(first, Anna, 3) : poll(first, Anna);
        if (hearing.joinable()) {
            hearing.join();
        }
        EXPECT_EQ(at_once, 1) << "the reply after the delete carries its notice";
        if (news == News::Lost) {
            first.store->loseHeldNews();
        } else {
            first.store->holdNews(false);
        }
        EXPECT_EQ(poll(first, Anna), 0) << "given once";
        EXPECT_EQ(poll(second, Anna), 0) << "given once, on either instance";
        EXPECT_EQ(append(first, Anna, 4), 0);
    }
}

} // namespace
} // namespace velmo::server
