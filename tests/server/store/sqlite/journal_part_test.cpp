#include "store/sqlite/journal_part.h"

#include <gtest/gtest.h>

#include <string>

namespace velmo::server {
namespace {

size_t keyed(const JournalPart& part, std::string_view canvas_id, std::string_view user_name,
             int64_t client_time) {
    const auto [begin, end] =
        part.keys.equal_range(JournalPart::strokeKey(canvas_id, user_name, client_time));
    return static_cast<size_t>(std::distance(begin, end));
}

TEST(JournalPart, KeepsTextsBackToBackAndForgetsATruncatedTail) {
    JournalPart part;
    const struct {
        std::string canvas_id;
        int64_t server_time;
        int64_t client_time;
        std::string user_name;
        std::string text;
    } added[] = {{"c@1", 10, 1, "anna@1", "first"},
                 {"d@22", 11, 2, "bob@1", ""},
                 {"c@1", 12, 3, "anna@1", "third stroke"}};
    for (const auto& a : added) {
        part.add(JournalPart::strokeKey(a.canvas_id, a.user_name, a.client_time), a.canvas_id,
                 a.server_time, a.client_time, a.user_name, a.text);
    }
    ASSERT_EQ(part.strokes.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const UncopiedStroke& stroke = part.strokes[i];
        EXPECT_EQ(part.canvasId(stroke), added[i].canvas_id) << i;
        EXPECT_EQ(part.userName(stroke), added[i].user_name) << i;
        EXPECT_EQ(part.text(stroke), added[i].text) << i;
        EXPECT_EQ(stroke.server_time, added[i].server_time) << i;
        EXPECT_EQ(stroke.client_time, added[i].client_time) << i;
        EXPECT_EQ(keyed(part, added[i].canvas_id, added[i].user_name, added[i].client_time), 1u);
    }
    part.truncate(5); // past the end: nothing to forget
    EXPECT_EQ(part.strokes.size(), 3u);
    part.truncate(1);
    ASSERT_EQ(part.strokes.size(), 1u);
    EXPECT_EQ(part.texts, "c@1anna@1first");
    EXPECT_EQ(part.keys.size(), 1u);
    EXPECT_EQ(keyed(part, "c@1", "anna@1", 1), 1u);
    EXPECT_EQ(keyed(part, "c@1", "anna@1", 3), 0u);
    // The place is taken again as if the tail had never been.
    part.add(JournalPart::strokeKey("c@1", "anna@1", 3), "c@1", 12, 3, "anna@1", "x");
    EXPECT_EQ(part.text(part.strokes[1]), "x");
}

TEST(JournalPart, TheKeyTellsCanvasAuthorAndClientTimeApart) {
    const uint64_t key = JournalPart::strokeKey("c@1", "anna@1", 7);
    EXPECT_EQ(key, JournalPart::strokeKey("c@1", "anna@1", 7));
    EXPECT_NE(key, JournalPart::strokeKey("c@2", "anna@1", 7));
    EXPECT_NE(key, JournalPart::strokeKey("c@1", "anna@2", 7));
    EXPECT_NE(key, JournalPart::strokeKey("c@1", "anna@1", 8));
}

} // namespace
} // namespace velmo::server
