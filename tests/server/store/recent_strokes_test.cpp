#include "store/recent_strokes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmo::server {
namespace {

std::vector<RecentStroke> strokes(int64_t first, int64_t last, size_t text_size = 8,
                                  const std::string& user = "anna@1") {
    std::vector<RecentStroke> made;
    for (int64_t stamp = first; stamp <= last; ++stamp) {
        made.push_back({stamp, -stamp, user, std::string(text_size, 'x')});
    }
    return made;
}

void remember(RecentStrokes& recent, const std::string& canvas_id, std::vector<RecentStroke> add) {
    recent.remember(canvas_id, add);
}

struct Read {
    bool complete = false;
    std::vector<int64_t> stamps;
};

Read read(const RecentStrokes& recent, std::string_view canvas_id, int64_t after,
          size_t limit = 100000) {
    std::vector<StoredStroke> out;
    Read result;
    result.complete = recent.strokesAfter(canvas_id, after, limit, out);
    for (const StoredStroke& stroke : out) {
        result.stamps.push_back(stroke.server_time);
    }
    return result;
}

void noteCopied(RecentStrokes& recent, const std::string& canvas_id, int64_t up_to) {
    auto copied = recent.noteCopied();
    copied.note(canvas_id, up_to);
}

TEST(RecentStrokes, ASeededCanvasIsCompleteOnlyAfterWhatTheDatabaseHolds) {
    RecentStrokes recent;
    recent.seed("c@1", 100);
    EXPECT_EQ(recent.lastStamp("c@1"), 100);
    EXPECT_EQ(recent.lastStamp("unknown@1"), 0);
    EXPECT_FALSE(read(recent, "unknown@1", 0).complete);

    remember(recent, "c@1", strokes(101, 103));
    EXPECT_EQ(recent.lastStamp("c@1"), 103);
    const struct {
        int64_t after;
        size_t limit;
        bool complete;
        std::vector<int64_t> stamps;
    } cases[] = {
        {0, 100, false, {101, 102, 103}}, // the database holds the older ones
        {99, 100, false, {101, 102, 103}},
        {100, 100, true, {101, 102, 103}},
        {101, 100, true, {102, 103}},
        {100, 2, true, {101, 102}},
        {103, 100, true, {}},
        {500, 100, true, {}},
    };
    for (const auto& c : cases) {
        const Read got = read(recent, "c@1", c.after, c.limit);
        EXPECT_EQ(got.complete, c.complete) << c.after << " " << c.limit;
        EXPECT_EQ(got.stamps, c.stamps) << c.after << " " << c.limit;
    }
}

TEST(RecentStrokes, ANewCanvasIsCompleteFromTheStartWithTheTextsGiven) {
    RecentStrokes recent;
    std::vector<RecentStroke> add = {{5, 1, "anna@1", "first"}, {9, 2, "bob@1", "second"}};
    recent.remember("c@1", add);
    std::vector<StoredStroke> out;
    EXPECT_TRUE(recent.strokesAfter("c@1", 0, 10, out));
    EXPECT_EQ(out, (std::vector<StoredStroke>{{5, 1, "first"}, {9, 2, "second"}}));
    // A negative mark (a read from the very start) is complete too.
    EXPECT_TRUE(read(recent, "c@1", -100).complete);
}

TEST(RecentStrokes, OnlyCopiedStrokesLeaveACanvasBeyondItsBound) {
    RecentStrokes recent;
    remember(recent, "c@1", strokes(1, 600));
    // Nothing is in the database yet: every stroke stays.
    EXPECT_TRUE(read(recent, "c@1", 0).complete);
    EXPECT_EQ(read(recent, "c@1", 0).stamps.size(), 600u);

    noteCopied(recent, "c@1", 300);
    remember(recent, "c@1", strokes(601, 601));
    // 601 strokes, 512 kept: the 89 oldest go, all of them copied.
    const Read all = read(recent, "c@1", 0);
    EXPECT_FALSE(all.complete);
    ASSERT_EQ(all.stamps.size(), 512u);
    EXPECT_EQ(all.stamps.front(), 90);
    EXPECT_TRUE(read(recent, "c@1", 89).complete);
    EXPECT_FALSE(read(recent, "c@1", 88).complete);

    // Beyond what was copied nothing goes, however many strokes come.
    remember(recent, "c@1", strokes(602, 1000));
    const Read later = read(recent, "c@1", 0);
    EXPECT_EQ(later.stamps.front(), 301);
    EXPECT_EQ(later.stamps.size(), 700u);
    EXPECT_TRUE(read(recent, "c@1", 300).complete);
}

TEST(RecentStrokes, TheOldestCopiedStrokesOfAnyCanvasGoBeyondTheBytesBound) {
    RecentStrokes recent;
    constexpr size_t Big = 64 << 10;
    remember(recent, "a@1", strokes(1, 200, Big));         // 12.5 MiB
    remember(recent, "b@1", strokes(1, 100, Big));         // 6.25 MiB: past the 16 MiB bound
    EXPECT_EQ(read(recent, "a@1", 0).stamps.size(), 200u); // nothing copied, nothing goes
    {
        auto copied = recent.noteCopied();
        copied.note("a@1", 200);
        copied.note("b@1", 100);
    }
    remember(recent, "b@1", strokes(101, 101));
    const Read a = read(recent, "a@1", 0);
    EXPECT_FALSE(a.complete);
    ASSERT_FALSE(a.stamps.empty());
    EXPECT_GT(a.stamps.front(), 1);
    EXPECT_LT(a.stamps.front(), 100); // only about 3 MiB had to go
    EXPECT_EQ(a.stamps.back(), 200);
    EXPECT_TRUE(read(recent, "a@1", a.stamps.front() - 1).complete);
    const Read b = read(recent, "b@1", 0);
    EXPECT_TRUE(b.complete);
    EXPECT_EQ(b.stamps.size(), 101u);
}

TEST(RecentStrokes, ForgetRemovesOnlyTheAuthorsStrokeWithThatClientTime) {
    RecentStrokes recent;
    std::vector<RecentStroke> add = {
        {1, 7, "anna@1", "a7"}, {2, 7, "bob@1", "b7"}, {3, 8, "anna@1", "a8"}};
    recent.remember("c@1", add);
    recent.forget("c@1", "anna@1", 7);
    recent.forget("other@1", "bob@1", 7);
    recent.forget("c@1", "carl@1", 8);
    EXPECT_EQ(read(recent, "c@1", 0).stamps, (std::vector<int64_t>{2, 3}));
    EXPECT_EQ(recent.lastStamp("c@1"), 3); // stamps never go back
    // The bound still counts what is left.
    noteCopied(recent, "c@1", 700);
    remember(recent, "c@1", strokes(4, 700));
    const Read left = read(recent, "c@1", 0);
    ASSERT_EQ(left.stamps.size(), 512u);
    EXPECT_EQ(left.stamps.front(), 189);
}

TEST(RecentStrokes, ForeignNewsEmptiesTheCanvasAndLaterOwnStrokesBehindItArePassedOver) {
    RecentStrokes recent;
    remember(recent, "c", strokes(1, 5));
    remember(recent, "other", strokes(1, 3));
    // Another instance stored stroke 8: memory cannot tell what it lacks before it.
    recent.noteForeign("c", 8);
    EXPECT_EQ(recent.lastStamp("c"), 8);
    EXPECT_FALSE(read(recent, "c", 4).complete);
    EXPECT_FALSE(read(recent, "c", 0).complete);
    const Read after = read(recent, "c", 8);
    EXPECT_TRUE(after.complete);
    EXPECT_TRUE(after.stamps.empty());
    // This instance's stroke 7, committed before 8 but remembered after: the database has it.
    remember(recent, "c", strokes(7, 7));
    remember(recent, "c", strokes(9, 10));
    EXPECT_EQ(read(recent, "c", 8).stamps, (std::vector<int64_t>{9, 10}));
    EXPECT_EQ(recent.lastStamp("c"), 10);
    // A delete elsewhere (stamp 0) empties memory without moving the stamp back; other canvases
    // keep theirs, and an unknown canvas becomes known.
    recent.noteForeign("c", 0);
    EXPECT_EQ(recent.lastStamp("c"), 10);
    EXPECT_FALSE(read(recent, "c", 8).complete);
    EXPECT_EQ(read(recent, "other", 0).stamps.size(), 3u);
    recent.noteForeign("new", 4);
    EXPECT_EQ(recent.lastStamp("new"), 4);
    EXPECT_FALSE(read(recent, "new", 0).complete);
}

} // namespace
} // namespace velmo::server
