#include "http/pending_live.h"

#include "wire/command_parser.h"
#include "wire/server_events.h"

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

wire::StrokeProgress progressOf(const std::string& user, int64_t stroke, uint32_t from, int points,
                                int64_t at = 1) {
    wire::StrokeProgress p;
    p.user_name = user;
    p.stroke = stroke;
    p.from = from;
    p.at = at;
    p.pen = canvas::defaultPen(wire::ServerPixelScale);
    for (int i = 0; i < points; ++i) {
        p.points_x.push_back(static_cast<int32_t>(10 * (from + i)));
        p.points_y.push_back(static_cast<int32_t>(from + i));
    }
    return p;
}

std::vector<wire::ServerEvent> eventsOf(const std::string& text) {
    std::vector<wire::ServerEvent> events;
    wire::ServerEventParser parser;
    parser.feed(text, [&](const wire::ServerEvent& e) { events.push_back(e); });
    return events;
}

std::optional<wire::StrokeProgress> read(const wire::ServerEvent& event) {
    EXPECT_EQ(event.type, "progress");
    return wire::parseProgress(event.data, wire::ServerPixelScale);
}

TEST(PendingLive, AContiguousProgressIsMergedIntoTheOneNotYetWritten) {
    PendingLive pending;
    EXPECT_EQ(pending.take(), "");
    EXPECT_TRUE(pending.addProgress(makeLiveProgress(progressOf("a@1", 7, 0, 3, 100))));
    auto next = progressOf("a@1", 7, 3, 2, 200);
    next.layer = 2;
    EXPECT_FALSE(pending.addProgress(makeLiveProgress(next)));
    const auto events = eventsOf(pending.take());
    ASSERT_EQ(events.size(), 1u);
    const auto merged = read(events[0]);
    ASSERT_TRUE(merged);
    EXPECT_EQ(merged->from, 0u);
    EXPECT_EQ(merged->at, 200);
    EXPECT_EQ(merged->layer, 2);
    EXPECT_EQ(merged->points_x, (std::vector<int32_t>{0, 10, 20, 30, 40}));
    EXPECT_EQ(pending.take(), "");
    EXPECT_EQ(pending.progressBytes(), 0u);
}

TEST(PendingLive, AGapOrACancelReplacesAndOtherStrokesAndUsersKeepTheirOwn) {
    PendingLive pending;
    pending.addProgress(makeLiveProgress(progressOf("a@1", 7, 0, 3)));
    pending.addProgress(makeLiveProgress(progressOf("a@1", 7, 10, 2))); // a gap
    pending.addProgress(makeLiveProgress(progressOf("b@1", 7, 0, 1)));  // another user
    pending.addProgress(makeLiveProgress(progressOf("a@1", 8, 0, 1)));  // another stroke
    auto cancel = progressOf("b@1", 7, 0, 0);
    cancel.cancel = true;
    pending.addProgress(makeLiveProgress(cancel));
    EXPECT_EQ(pending.strokes(), 3u);
    const auto events = eventsOf(pending.take());
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(read(events[0])->from, 10u);
    EXPECT_EQ(read(events[0])->points_x.size(), 2u);
    EXPECT_TRUE(read(events[1])->cancel);
    EXPECT_EQ(read(events[2])->stroke, 8);
    // After a cancel, a progress of the stroke starts over in its place.
    pending.addProgress(makeLiveProgress(cancel));
    pending.addProgress(makeLiveProgress(progressOf("b@1", 7, 0, 2)));
    const auto again = eventsOf(pending.take());
    ASSERT_EQ(again.size(), 1u);
    EXPECT_FALSE(read(again[0])->cancel);
}

TEST(PendingLive, AMergedProgressStaysReadableByDroppingItsOldestPoints) {
    PendingLive pending({.max_bytes = 1 << 20, .max_strokes = 64, .max_users = 16});
    uint32_t from = 0;
    for (int i = 0; i < 40; ++i) {
        pending.addProgress(makeLiveProgress(progressOf("a@1", 7, from, 20)));
        from += 20;
    }
    const auto events = eventsOf(pending.take());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_LE(events[0].data.size(), wire::MaxProgressText);
    const auto merged = read(events[0]);
    ASSERT_TRUE(merged) << events[0].data.size();
    EXPECT_LE(merged->points_x.size(), wire::MaxProgressPoints);
    EXPECT_EQ(merged->from + merged->points_x.size(), from);
    EXPECT_EQ(merged->points_x.back(), static_cast<int32_t>(10 * (from - 1)));
}

TEST(PendingLive, WhatAStreamHoldsIsBoundedHoweverMuchComes) {
    PendingLive pending({.max_bytes = 16 * 1024, .max_strokes = 64, .max_users = 100});
    for (int64_t stroke = 0; stroke < 10'000; ++stroke) {
        pending.addProgress(makeLiveProgress(progressOf("a@1", stroke, 0, 150)));
        pending.addProgress(makeLiveProgress(progressOf("b@1", stroke % 3, 0, 150)));
        pending.addPresence("u" + std::to_string(stroke) + "@1", stroke % 2 == 0);
        EXPECT_LE(pending.progressBytes(), 16u * 1024);
        EXPECT_LE(pending.strokes(), 64u);
    }
    EXPECT_GT(pending.dropped(), 0u);
    const std::string owed = pending.take();
    EXPECT_LT(owed.size(), 16u * 1024 + 100 * 64);
    EXPECT_EQ(pending.take(), "");
}

TEST(PendingLive, PresenceKeepsTheNewestStateOfEachUserInTheOrderTheyCame) {
    PendingLive pending;
    EXPECT_TRUE(pending.addPresence("a@1", true));
    EXPECT_FALSE(pending.addPresence("b@1", true));
    EXPECT_FALSE(pending.addPresence("a@1", false));
    EXPECT_FALSE(pending.addProgress(makeLiveProgress(progressOf("c@1", 1, 0, 1))));
    const auto events = eventsOf(pending.take());
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], (wire::ServerEvent{"leave", "a@1", ""}));
    EXPECT_EQ(events[1], (wire::ServerEvent{"join", "b@1", ""}));
    EXPECT_EQ(events[2].type, "progress");
    EXPECT_TRUE(pending.addPresence("a@1", true));
}

} // namespace
} // namespace velmo::server
