#include "wire/stroke_progress.h"

#include "wire/server_events.h"

#include <gtest/gtest.h>

#include <string>

namespace velmo::wire {
namespace {

constexpr float Scale = 0.001f;

StrokeProgress sample() {
    StrokeProgress p;
    p.user_name = "ann@20261210120000000";
    p.stroke = 1765368000123;
    p.from = 7;
    p.at = 1765368000456;
    p.pen = {static_cast<int32_t>(0x80FF2010u), 2999, 200};
    p.layer = 2;
    p.points_x = {0, -15, 320000};
    p.points_y = {-5, 480000, 7};
    return p;
}

TEST(StrokeProgress, RoundTripsAsOneLineAndCancelsCarryNoPoints) {
    const StrokeProgress p = sample();
    const std::string text = progressText(p);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(parseProgress(text, Scale), p);
    EXPECT_EQ(progressCommand("c@1", p), "c@1: progress: " + text);

    StrokeProgress cancel;
    cancel.user_name = p.user_name;
    cancel.stroke = p.stroke;
    cancel.cancel = true;
    cancel.pen = canvas::defaultPen(Scale);
    EXPECT_EQ(progressText(cancel), "user_name:ann@20261210120000000 stroke:1765368000123 cancel");
    EXPECT_EQ(parseProgress(progressText(cancel), Scale), cancel);

    // The most a command may carry fits the bound its notification needs.
    StrokeProgress full = p;
    full.user_name = std::string(256, 'u');
    full.points_x.assign(MaxProgressPoints, -320000);
    full.points_y.assign(MaxProgressPoints, -480000);
    EXPECT_LE(progressText(full).size(), MaxProgressText);
    EXPECT_TRUE(parseProgress(progressText(full), Scale));
}

TEST(StrokeProgress, RefusesWhatNoDrawerSends) {
    const std::string good = progressText(sample());
    std::string later = good;
    later.insert(later.find(" points:"), " later_field:1");
    EXPECT_EQ(parseProgress(later, Scale), sample()) << "unknown fields are skipped";
    for (const std::string& bad : {
             std::string(),
             std::string("stroke:1 from:0 at:1 layer:0 points: 1-1"),              // no user
             std::string("user_name:a from:0 at:1 layer:0 points: 1-1"),           // no stroke
             std::string("user_name:a stroke:1 at:1 layer:0 points: 1-1"),         // no from
             std::string("user_name:a stroke:1 from:0 at:1 layer:0 points:"),      // no point
             std::string("user_name:a stroke:1 from:0 at:1 layer:3 points: 1-1"),  // layer
             std::string("user_name:a stroke:1 from:0 at:1 layer:0 points: 1-x"),  // point
             std::string("user_name:a stroke:1 from:-1 at:1 layer:0 points: 1-1"), // index
             std::string("user_name:a\x01 stroke:1 cancel"),                       // control byte
             good + std::string(MaxProgressText, ' '),                             // too long
         }) {
        EXPECT_FALSE(parseProgress(bad, Scale)) << bad;
    }
    StrokeProgress many = sample();
    many.points_x.assign(MaxProgressPoints + 1, 1);
    many.points_y.assign(MaxProgressPoints + 1, 1);
    EXPECT_FALSE(parseProgress(progressText(many), Scale));
}

TEST(StrokeProgress, TheStreamNamesItsUserInItsQuery) {
    const std::string url = presenceStreamURL("http://h:1", "c 1", "ann@2026 x");
    EXPECT_EQ(url, eventStreamURL("http://h:1", "c 1") + "?user=ann@2026%20x");
    EXPECT_EQ(presenceUserOf(url.substr(url.find("/events/"))), "ann@2026 x");
    EXPECT_EQ(presenceUserOf("/events/c?x=1&user=b"), "b");
    EXPECT_FALSE(presenceUserOf("/events/c"));
    EXPECT_FALSE(presenceUserOf("/events/c?user=%zz"));
    EXPECT_FALSE(isPresenceUser("ann@2026 x"));
    EXPECT_TRUE(isPresenceUser("ann@2026"));
}

} // namespace
} // namespace velmo::wire
