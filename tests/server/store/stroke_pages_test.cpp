#include "store/stroke_pages.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace velmo::server {
namespace {

// One canvas in memory; counts what each ask of strokesAfter returned.
class OneCanvasStore final : public Store {
public:
    std::vector<StoredStroke> strokes;
    size_t largest_ask_bytes = 0;
    bool failing = false;

    std::optional<std::vector<StoredStroke>> strokesAfter(std::string_view, int64_t after,
                                                          size_t limit) override {
        if (failing) {
            return std::nullopt;
        }
        std::vector<StoredStroke> out;
        size_t bytes = 0;
        for (const StoredStroke& s : strokes) {
            if (s.server_time > after && out.size() < limit) {
                out.push_back(s);
                bytes += s.text.size();
            }
        }
        largest_ask_bytes = std::max(largest_ask_bytes, bytes);
        return out;
    }
    std::optional<int64_t> appendStroke(std::string_view, const canvas::MWStroke&,
                                        int64_t) override {
        return std::nullopt;
    }
    int64_t lastStamp(std::string_view) override { return 0; }
    std::optional<size_t> deleteStrokes(std::string_view, std::string_view, int64_t,
                                        int64_t) override {
        return std::nullopt;
    }
    bool setImageUrl(std::string_view, ImageKind, std::string_view, int64_t) override {
        return false;
    }
    std::optional<std::vector<CanvasInfo>> findCanvases(std::string_view, size_t) override {
        return std::nullopt;
    }
    std::optional<std::vector<CanvasInfo>> canvasesByDateId(std::string_view, size_t) override {
        return std::nullopt;
    }
    CanvasLookup canvas(std::string_view) override { return CanvasLookup::failure(); }
    std::optional<CanvasSize> canvasSize(std::string_view) override { return std::nullopt; }
    std::optional<KeyCheck> checkUserKey(std::string_view, std::string_view, int64_t) override {
        return std::nullopt;
    }
    std::optional<KeyCheck> knownUserKey(std::string_view, std::string_view) override {
        return std::nullopt;
    }
    std::optional<bool> hasStrokeBy(std::string_view, std::string_view) override {
        return std::nullopt;
    }
    bool saveMarks(const std::vector<SavedMark>&) override { return false; }
    std::optional<std::vector<SavedMark>> takeSavedMarks() override { return std::nullopt; }
    std::optional<std::vector<CanvasSummary>> listCanvases(std::string_view, size_t) override {
        return std::nullopt;
    }
    std::optional<std::vector<CanvasUser>> canvasUsers(std::string_view, std::string_view,
                                                       size_t) override {
        return std::nullopt;
    }
    std::optional<size_t> removeStrokes(std::string_view, std::optional<std::string_view>,
                                        int64_t) override {
        return std::nullopt;
    }
    bool setBan(const Ban&, bool) override { return false; }
    std::optional<std::vector<Ban>> bans() override { return std::nullopt; }
    bool putImage(std::string_view, std::string_view, int64_t) override { return false; }
    std::optional<std::string> image(std::string_view) override { return std::nullopt; }
};

size_t textBytes(const std::vector<StoredStroke>& strokes) {
    size_t bytes = 0;
    for (const StoredStroke& s : strokes) {
        bytes += s.text.size();
    }
    return bytes;
}

TEST(StrokePages, PagesFollowBytesWhenLargeStrokesComeAfterManyTinyOnes) {
    constexpr size_t PageBytes = 64 * 1024;
    constexpr size_t Tiny = 100;
    constexpr size_t Large = 8 * 1024;
    OneCanvasStore store;
    for (int64_t i = 1; i <= 6000; ++i) {
        store.strokes.push_back({i, i, std::string(i <= 5000 ? Tiny : Large, 'x')});
    }
    StrokePages pages(store, "c@1", PageBytes);
    std::vector<StoredStroke> all;
    size_t largest_page = 0;
    size_t largest_page_after_the_change = 0;
    while (!pages.done()) {
        const auto page = pages.next();
        ASSERT_TRUE(page);
        const bool had_large = !all.empty() && all.back().text.size() == Large;
        largest_page = std::max(largest_page, textBytes(*page));
        if (had_large) {
            largest_page_after_the_change =
                std::max(largest_page_after_the_change, textBytes(*page));
        }
        all.insert(all.end(), page->begin(), page->end());
    }
    EXPECT_EQ(all, store.strokes); // every stroke once, in order
    // The page the large strokes begin in overshoots by one ask at most; read by the average
    // of the tiny ones, it held thousands of large strokes.
    EXPECT_LE(largest_page, PageBytes + StrokePages::MaxStrokesPerAsk * Large);
    EXPECT_LE(store.largest_ask_bytes, StrokePages::MaxStrokesPerAsk * Large);
    // Once they are known, a page is its bytes and one stroke at most.
    EXPECT_LE(largest_page_after_the_change, PageBytes + Large);
    EXPECT_GT(largest_page_after_the_change, 0u);
}

TEST(StrokePages, StrokesLargerThanAPageComeOneAPageAndAFailedAskIsReported) {
    OneCanvasStore store;
    for (int64_t i = 1; i <= 40; ++i) {
        store.strokes.push_back({i, i, std::string(500, 'a')});
    }
    StrokePages pages(store, "c@1", 100);
    const auto first = pages.next(); // the first ask knows no stroke yet
    ASSERT_TRUE(first);
    int64_t next_stamp = static_cast<int64_t>(first->size()) + 1;
    store.failing = true;
    EXPECT_FALSE(pages.next());
    store.failing = false;
    // After a failure the pages go on where they were.
    while (!pages.done()) {
        const auto page = pages.next();
        ASSERT_TRUE(page);
        ASSERT_LE(page->size(), 1u);
        if (!page->empty()) {
            EXPECT_EQ(page->front().server_time, next_stamp++);
        }
    }
    EXPECT_EQ(next_stamp, 41);
    const auto after_the_end = pages.next();
    ASSERT_TRUE(after_the_end);
    EXPECT_TRUE(after_the_end->empty());
}

TEST(StrokePages, PagesStartingAfterAStampHoldOnlyTheStrokesAfterIt) {
    OneCanvasStore store;
    for (int64_t i = 1; i <= 30; ++i) {
        store.strokes.push_back({i * 10, i, std::string(50, 'a')});
    }
    const struct {
        int64_t after;
        int64_t first;
        size_t count;
    } cases[] = {{0, 10, 30}, {10, 20, 29}, {15, 20, 29}, {290, 300, 1}, {300, 0, 0}};
    for (const auto& c : cases) {
        StrokePages pages(store, "c@1", 120, c.after);
        std::vector<StoredStroke> all;
        while (!pages.done()) {
            const auto page = pages.next();
            ASSERT_TRUE(page);
            all.insert(all.end(), page->begin(), page->end());
        }
        ASSERT_EQ(all.size(), c.count) << "after " << c.after;
        if (c.count > 0) {
            EXPECT_EQ(all.front().server_time, c.first);
            EXPECT_EQ(all.back().server_time, 300);
        }
    }
}

} // namespace
} // namespace velmo::server
