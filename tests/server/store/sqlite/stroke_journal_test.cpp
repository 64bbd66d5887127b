#include "store/sqlite/stroke_journal.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

JournalRecord record(uint64_t sequence, std::string text = "pen_properties:x points: 1-2") {
    return {sequence, "c@1", 1000 + static_cast<int64_t>(sequence), -5, "anna@1", std::move(text)};
}

std::string encoded(uint64_t first, uint64_t count) {
    std::string bytes;
    for (uint64_t s = first; s < first + count; ++s) {
        StrokeJournal::encode(bytes, record(s));
    }
    return bytes;
}

TEST(StrokeJournalTest, RecordsDecodeInOrderUpToTheFirstBadOne) {
    const std::string bytes = encoded(7, 3);
    EXPECT_EQ(StrokeJournal::decode(bytes, 7),
              (std::vector<JournalRecord>{record(7), record(8), record(9)}));
    // Another first number: these are stale records of an earlier round.
    EXPECT_TRUE(StrokeJournal::decode(bytes, 8).empty());
    EXPECT_TRUE(StrokeJournal::decode(bytes, 1).empty());

    // Cut short by a crash anywhere in the last record: the others stand.
    const size_t two = encoded(7, 2).size();
    for (size_t cut = two; cut < bytes.size(); ++cut) {
        EXPECT_EQ(StrokeJournal::decode(bytes.substr(0, cut), 7).size(), 2u) << cut;
    }
    // A byte changed anywhere in the second record ends the reading there.
    const size_t one = encoded(7, 1).size();
    for (size_t at = one; at < two; ++at) {
        std::string damaged = bytes;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x20);
        EXPECT_EQ(StrokeJournal::decode(damaged, 7).size(), 1u) << at;
    }
    // A size field claiming more than there is, and garbage, read nothing.
    std::string huge = bytes;
    huge[3] = '\x7f';
    EXPECT_TRUE(StrokeJournal::decode(huge, 7).empty());
    EXPECT_TRUE(StrokeJournal::decode(std::string(100, '\0'), 0).empty());
    EXPECT_TRUE(StrokeJournal::decode("", 1).empty());
}

TEST(StrokeJournalTest, LongTextsAndEveryByteValueSurvive) {
    std::string text(300000, '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>(i * 7);
    }
    std::string bytes;
    StrokeJournal::encode(bytes, record(1, text));
    StrokeJournal::encode(bytes, record(2, ""));
    EXPECT_EQ(StrokeJournal::decode(bytes, 1),
              (std::vector<JournalRecord>{record(1, text), record(2, "")}));
}

TEST(StrokeJournalTest, AStartOverLeavesTheOlderRecordsUnread) {
    testing::TempDir dir;
    const std::string path = dir.file("canvas.sqlite-strokes");
    {
        std::string error;
        auto journal = StrokeJournal::open(path, &error);
        ASSERT_TRUE(journal) << error;
        ASSERT_TRUE(journal->write(encoded(1, 5)));
        ASSERT_TRUE(journal->write(encoded(6, 1)));
        ASSERT_TRUE(journal->flush());
        EXPECT_EQ(journal->recover(1).size(), 6u);
        // Everything so far is in the database; fewer new records go over the old ones.
        journal->restart();
        ASSERT_TRUE(journal->write(encoded(7, 2)));
        EXPECT_EQ(journal->recover(7).size(), 2u);
    }
    auto reopened = StrokeJournal::open(path, nullptr);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->recover(7), (std::vector<JournalRecord>{record(7), record(8)}));
    EXPECT_TRUE(reopened->recover(1).empty());

    std::string error;
    EXPECT_FALSE(StrokeJournal::open(dir.file("missing/folder/x-strokes"), &error));
    EXPECT_NE(error.find("missing/folder"), std::string::npos) << error;
}

} // namespace
} // namespace velmo::server
