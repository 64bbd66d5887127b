#include "handler/canvas_render.h"

#include "canvas/stroke_replay.h"
#include "canvas/stroke_text.h"
#include "handler/render_keeper.h"
#include "png/layers_png.h"
#include "store/in_process_canvas_news.h"
#include "support/failing_store.h"
#include "support/png_test_files.h"
#include "support/random_strokes.h"
#include "support/store_backends.h"
#include "support/temp_dir.h"
#include "wire/command_parser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

namespace velmo::server {
namespace {

constexpr const char* Canvas = "anna@20100704123456789";
constexpr int64_t Now = 1291201234567;
constexpr size_t PageBytes = 1024 * 1024;
using Outcome = RenderResult::Outcome;
using Painted = RenderResult::Painted;

// The truth a render is held to: every stored stroke replayed on one thread from the first.
struct Replay {
    canvas::LayerSurfaces layers;
    canvas::Surface picture;
    int64_t through = 0;
    int64_t strokes = 0;
};

Replay replayOf(Store& store, const std::string& canvas_id, int width, int height) {
    canvas::CanvasGeometry geometry;
    geometry.setScreenSize(static_cast<float>(width), static_cast<float>(height));
    const int w = geometry.canvas_width;
    const int h = geometry.canvas_height;
    Replay replay;
    replay.layers = {canvas::Surface(w, h), canvas::Surface(w, h), canvas::Surface(w, h)};
    canvas::resetLayers(replay.layers);
    const auto stored = store.strokesAfter(canvas_id, INT64_MIN, 1'000'000);
    EXPECT_TRUE(stored);
    canvas::StrokePainter painter;
    for (const StoredStroke& s : *stored) {
        canvas::replayStroke(painter, replay.layers, geometry,
                             canvas::stroke_from_text(s.text, geometry.pixel_scale));
        replay.through = s.server_time;
        ++replay.strokes;
    }
    replay.picture = canvas::Surface(w, h);
    canvas::composeAllLayers(replay.layers, replay.picture, replay.picture.bounds());
    return replay;
}

class CanvasRenderTest : public ::testing::TestWithParam<testing::Backend> {
protected:
    void SetUp() override {
        backend = std::make_unique<testing::BackendStore>(GetParam(), dir);
        if (!backend->ready()) {
            if (GetParam() == testing::Backend::Postgres) {
                GTEST_SKIP() << backend->problem();
            }
            FAIL() << backend->problem();
        }
        store = &backend->store();
    }

    // Appends `count` hand-drawn strokes, every seventh on a layer the engine skips.
    void draw(int count, const std::string& canvas_id = Canvas) {
        for (int i = 0; i < count; ++i) {
            canvas::MWStroke s = hand.next();
            s.user_name = i % 2 ? "anna@1" : "bob@2";
            s.client_time = ++client_time;
            if (client_time % 7 == 0) {
                s.layer = 5;
            }
            ASSERT_TRUE(store->appendStroke(canvas_id, s, Now + client_time));
        }
    }
    RenderResult render(RenderFile file, int width = 60, int height = 80,
                        std::string_view if_none_match = {}, Store* from = nullptr,
                        size_t page_bytes = PageBytes) {
        return renderCanvas(from != nullptr ? *from : *store, cache, Canvas, width, height, file,
                            if_none_match, page_bytes);
    }
    // The file is the one a replay from the first stroke gives, byte for byte for the layers.
    void expectTruth(const RenderResult& result, RenderFile file, int width, int height,
                     const std::string& where) {
        ASSERT_EQ(result.outcome, Outcome::Rendered) << where;
        const Replay truth = replayOf(*store, Canvas, width, height);
        if (file == RenderFile::Layers) {
            // Compared whole, not printed: the bytes say nothing to a reader.
            EXPECT_TRUE(result.png ==
                        png::encodeLayersPng(truth.layers, truth.through, truth.strokes))
                << where;
            const auto decoded = png::decodeLayersPng(result.png);
            ASSERT_TRUE(decoded) << where;
            EXPECT_EQ(decoded->strokes, truth.strokes) << where;
            EXPECT_EQ(decoded->through, truth.through) << where;
        } else {
            EXPECT_TRUE(testing::rgbOfPng(result.png) == testing::rgbOfSurface(truth.picture))
                << where;
        }
    }

    testing::TempDir dir;
    std::unique_ptr<testing::BackendStore> backend;
    Store* store = nullptr;
    RenderCache cache{64 * 1024 * 1024};
    testing::HandStrokes hand{20101201};
    int64_t client_time = 0;
};

INSTANTIATE_TEST_SUITE_P(Backends, CanvasRenderTest,
                         ::testing::Values(testing::Backend::Sqlite, testing::Backend::Postgres),
                         testing::backendName);

// The cache beside the truth: after seeded random appends, deletes and renders of both files at
// two sizes, every file is that of a replay from the first stroke, and each change took the
// cheapest way there: nothing for no change, the new strokes for appends, everything for a
// delete.
TEST_P(CanvasRenderTest, RendersMatchAReplayFromTheFirstStrokeAfterSeededChanges) {
    std::mt19937 random(20100704);
    draw(12);
    const struct {
        int width;
        int height;
    } sizes[] = {{60, 80}, {45, 31}};
    // What changed for each size since it was last rendered.
    enum class Change { New, None, Appends, Delete };
    Change since[2] = {Change::New, Change::New};
    for (int step = 0; step < 40; ++step) {
        const unsigned pick = random() % 6;
        if (pick == 0) {
            draw(1 + static_cast<int>(random() % 3));
            for (Change& c : since) {
                c = c == Change::None ? Change::Appends : c;
            }
            continue;
        }
        if (pick == 1) {
            const auto stored = store->strokesAfter(Canvas, INT64_MIN, 1000);
            ASSERT_TRUE(stored && !stored->empty());
            const auto victim = canvas::stroke_from_text((*stored)[random() % stored->size()].text,
                                                         wire::ServerPixelScale);
            ASSERT_EQ(store->deleteStrokes(Canvas, victim.user_name, victim.client_time, Now), 1u);
            for (Change& c : since) {
                c = c == Change::New ? c : Change::Delete;
            }
            continue;
        }
        const size_t which = random() % 2;
        const RenderFile file = random() % 2 ? RenderFile::Picture : RenderFile::Layers;
        const RenderResult result = render(file, sizes[which].width, sizes[which].height);
        const std::string where = "step " + std::to_string(step);
        expectTruth(result, file, sizes[which].width, sizes[which].height, where);
        const Painted expected = since[which] == Change::None      ? Painted::Nothing
                                 : since[which] == Change::Appends ? Painted::Appended
                                                                   : Painted::Everything;
        EXPECT_EQ(result.painted, expected) << where;
        since[which] = Change::None;
    }
}

TEST_P(CanvasRenderTest, ETagsNameTheBytesAndANamedOneIsNotSentAgain) {
    draw(5);
    const RenderResult first = render(RenderFile::Picture);
    ASSERT_EQ(first.outcome, Outcome::Rendered);
    ASSERT_EQ(first.etag.size(), 34u);
    EXPECT_EQ(first.etag.front(), '"');
    const RenderResult layers = render(RenderFile::Layers);
    EXPECT_NE(layers.etag, first.etag);

    const RenderResult again = render(RenderFile::Picture, 60, 80, first.etag);
    EXPECT_EQ(again.outcome, Outcome::NotModified);
    EXPECT_TRUE(again.png.empty());
    EXPECT_EQ(again.etag, first.etag);
    EXPECT_EQ(render(RenderFile::Picture, 60, 80, "\"other\", W/" + first.etag).outcome,
              Outcome::NotModified);
    EXPECT_TRUE(render(RenderFile::Picture, 60, 80, "\"other\"").png == first.png);
    // A cache that starts over (another server, a restart) names the same bytes alike.
    RenderCache fresh(1 << 20);
    EXPECT_EQ(
        renderCanvas(*store, fresh, Canvas, 60, 80, RenderFile::Picture, first.etag, PageBytes)
            .outcome,
        Outcome::NotModified);

    draw(1);
    const RenderResult changed = render(RenderFile::Picture, 60, 80, first.etag);
    EXPECT_EQ(changed.outcome, Outcome::Rendered);
    EXPECT_NE(changed.etag, first.etag);
    EXPECT_EQ(render(RenderFile::Layers, 60, 80, layers.etag).outcome, Outcome::Rendered);
}

TEST_P(CanvasRenderTest, ACanvasWithoutStrokesOrPicturesIsNoneAndKeepsNoEntry) {
    EXPECT_EQ(render(RenderFile::Picture).outcome, Outcome::NoSuchCanvas);
    EXPECT_EQ(render(RenderFile::Layers).outcome, Outcome::NoSuchCanvas);
    EXPECT_EQ(cache.entries(), 0u);

    // Only a picture registered: blank layers, nothing painted.
    ASSERT_TRUE(store->setImageUrl(Canvas, ImageKind::Thumbnail, "http://t.test/x.png", Now));
    const RenderResult blank = render(RenderFile::Layers);
    expectTruth(blank, RenderFile::Layers, 60, 80, "picture only");
    EXPECT_EQ(png::decodeLayersPng(blank.png)->through, 0);
    EXPECT_EQ(cache.entries(), 1u);

    // Every stroke deleted from a canvas without a picture: gone, and so is its entry.
    draw(2, "other@20100704123456789");
    ASSERT_EQ(renderCanvas(*store, cache, "other@20100704123456789", 60, 80, RenderFile::Picture,
                           {}, PageBytes)
                  .outcome,
              Outcome::Rendered);
    EXPECT_EQ(cache.entries(), 2u);
    ASSERT_EQ(store->deleteStrokes("other@20100704123456789", "bob@2", client_time - 1, Now), 1u);
    ASSERT_EQ(store->deleteStrokes("other@20100704123456789", "anna@1", client_time, Now), 1u);
    EXPECT_EQ(renderCanvas(*store, cache, "other@20100704123456789", 60, 80, RenderFile::Picture,
                           {}, PageBytes)
                  .outcome,
              Outcome::NoSuchCanvas);
    EXPECT_EQ(cache.entries(), 1u);
}

TEST_P(CanvasRenderTest, AFailedReadIsAFailureAndLeavesNoHalfPaintedEntry) {
    testing::FailingStore failing(*store);
    draw(40);
    // Pages of a stroke or so: the reads fail in the middle of the paint.
    constexpr size_t SmallPages = 1;
    const auto attempt = [&](RenderFile file, int width = 60) {
        return render(file, width, 80, {}, &failing, SmallPages);
    };
    struct Case {
        const char* what;
        int width; // a width not rendered before: a new entry
        std::function<void()> change;
        std::function<void()> fail;
    };
    const Case cases[] = {
        {"the size", 60, [] {}, [&] { failing.fail_sizes = true; }},
        {"a read of the strokes appended", 60, [&] { draw(3); },
         [&] { failing.strokes_after_left = 0; }},
        // One read finds nothing after the newest painted, then the count says a stroke went.
        {"a read in the middle of a paint from the first stroke", 60,
         [&] {
             const auto victim = canvas::stroke_from_text(
                 store->strokesAfter(Canvas, INT64_MIN, 1)->front().text, wire::ServerPixelScale);
             ASSERT_EQ(store->deleteStrokes(Canvas, victim.user_name, victim.client_time, Now), 1u);
         },
         [&] { failing.strokes_after_left = 5; }},
        {"the first read of a new entry", 61, [] {}, [&] { failing.strokes_after_left = 0; }},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(attempt(RenderFile::Picture).outcome, Outcome::Rendered) << c.what;
        c.change();
        c.fail();
        EXPECT_EQ(attempt(RenderFile::Layers, c.width).outcome, Outcome::StorageFailed) << c.what;
        // What was read in part is not served: until the reads work, every render fails.
        EXPECT_EQ(attempt(RenderFile::Picture, c.width).outcome, Outcome::StorageFailed) << c.what;
        failing.fail_sizes = false;
        failing.strokes_after_left = -1;
        expectTruth(attempt(RenderFile::Layers, c.width), RenderFile::Layers, c.width, 80, c.what);
        expectTruth(attempt(RenderFile::Picture, c.width), RenderFile::Picture, c.width, 80,
                    c.what);
    }
    // A canvas without strokes needs its row; when that read fails, so does the render.
    ASSERT_TRUE(store->setImageUrl("image@20100704123456789", ImageKind::FullImage,
                                   "http://t.test/x.png", Now));
    failing.fail_lookups = true;
    EXPECT_EQ(renderCanvas(failing, cache, "image@20100704123456789", 60, 80, RenderFile::Picture,
                           {}, PageBytes)
                  .outcome,
              Outcome::StorageFailed);
    EXPECT_EQ(attempt(RenderFile::Picture).outcome, Outcome::Rendered); // has strokes: no row read
}

TEST_P(CanvasRenderTest, RequestsForOneEntryAtOnceTakeTurnsAndPaintItOnce) {
    draw(150);
    constexpr int Requests = 4;
    std::vector<RenderResult> results(Requests);
    std::vector<std::thread> threads;
    for (int i = 0; i < Requests; ++i) {
        threads.emplace_back(
            [&, i] { results[static_cast<size_t>(i)] = render(RenderFile::Layers); });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    int everything = 0;
    for (const RenderResult& result : results) {
        EXPECT_TRUE(result.png == results[0].png);
        everything += result.painted == Painted::Everything;
        EXPECT_NE(result.painted, Painted::Appended);
    }
    EXPECT_EQ(everything, 1);
    expectTruth(results[0], RenderFile::Layers, 60, 80, "after the race");
}

// On a big canvas a delete newer than a save point paints from it, one older than both from
// the first stroke, and either way the file is a replay's.
TEST_P(CanvasRenderTest, ADeleteOfARecentStrokePaintsFromTheNewestSavePointStillGood) {
    RenderCache points(1 << 24, {10, 4});
    const auto deleteAt = [&](size_t index) {
        const auto stored = store->strokesAfter(Canvas, INT64_MIN, 1000);
        ASSERT_TRUE(stored && index < stored->size());
        const auto victim = canvas::stroke_from_text((*stored)[index].text, wire::ServerPixelScale);
        ASSERT_EQ(store->deleteStrokes(Canvas, victim.user_name, victim.client_time, Now), 1u);
    };
    const auto step = [&](const std::string& where, Painted expected) {
        const RenderResult result =
            renderCanvas(*store, points, Canvas, 60, 80, RenderFile::Layers, {}, PageBytes);
        EXPECT_EQ(result.painted, expected) << where;
        expectTruth(result, RenderFile::Layers, 60, 80, where);
    };
    // The strokes the older and the recent point hold, 0 for none.
    using Points = std::pair<int64_t, int64_t>;
    const auto placed = [&] {
        RenderCache::Lease lease = points.take(Canvas, 60, 80);
        const CanvasRender& entry = lease.render();
        return std::pair(entry.older ? entry.older->strokes : 0,
                         entry.recent ? entry.recent->strokes : 0);
    };
    draw(12);
    step("12 strokes: a point at 12", Painted::Everything);
    EXPECT_EQ(placed(), Points(0, 12));
    draw(3);
    step("15: too close for another point", Painted::Appended);
    draw(2);
    step("17: points at 12 and 17", Painted::Appended);
    EXPECT_EQ(placed(), Points(12, 17));
    deleteAt(16);
    step("the newest deleted: from 12", Painted::FromSavePoint);
    draw(2);
    step("18: points at 12 and 16", Painted::Appended);
    deleteAt(13);
    step("the 14th deleted: from 12 again", Painted::FromSavePoint);
    deleteAt(0);
    step("the first deleted: from the first stroke", Painted::Everything);
    draw(4);
    step("20: points at 16 and 20", Painted::Appended);
    deleteAt(19);
    step("the newest deleted after a repaint: from 16", Painted::FromSavePoint);
    EXPECT_EQ(placed(), Points(16, 19));
}

// A new cache (a start) over kept layers paints only the strokes after them, and only while the
// store still holds what they were painted from.
TEST_P(CanvasRenderTest, KeptLayersStartANewCacheOnlyWhileTheyStillHoldTheCanvas) {
    const RenderFolder folder(dir.file("renders"));
    const auto start = [&](const std::string& where, Painted expected, Store* from = nullptr) {
        RenderCache fresh(1 << 24);
        const RenderResult result =
            renderCanvas(from != nullptr ? *from : *store, fresh, Canvas, 60, 80,
                         RenderFile::Layers, {}, PageBytes, &folder);
        EXPECT_EQ(result.painted, expected) << where;
        if (from == nullptr) {
            expectTruth(result, RenderFile::Layers, 60, 80, where);
        }
        return result;
    };
    draw(20);
    start("the first render", Painted::Everything);
    draw(3);
    start("appends since", Painted::Appended);

    // Another database under the same names: the canvas, its stamps and its count alike, its
    // strokes not.
    testing::TempDir other_dir;
    testing::BackendStore other(testing::Backend::Sqlite, other_dir);
    ASSERT_TRUE(other.ready());
    const auto stored = store->strokesAfter(Canvas, INT64_MIN, 1000);
    ASSERT_TRUE(stored);
    for (const StoredStroke& s : *stored) {
        canvas::MWStroke moved = canvas::stroke_from_text(s.text, wire::ServerPixelScale);
        moved.layer = (moved.layer + 1) % 3;
        ASSERT_EQ(other.store().appendStroke(Canvas, moved, s.server_time), s.server_time);
    }
    const RenderResult elsewhere = start("another database", Painted::Everything, &other.store());
    EXPECT_FALSE(elsewhere.png == start("back", Painted::Everything).png);

    const auto victim = canvas::stroke_from_text(
        store->strokesAfter(Canvas, INT64_MIN, 1)->front().text, wire::ServerPixelScale);
    ASSERT_EQ(store->deleteStrokes(Canvas, victim.user_name, victim.client_time, Now), 1u);
    start("a delete of an old stroke", Painted::Everything);

    // Damaged files, or one of another canvas put under this one's name, are not read.
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("renders"))) {
        std::filesystem::resize_file(entry.path(), std::filesystem::file_size(entry.path()) - 9);
    }
    start("a cut file", Painted::Everything);
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("renders"))) {
        std::fstream file(entry.path(), std::ios::in | std::ios::out | std::ios::binary);
        std::string bytes(std::istreambuf_iterator<char>(file), {});
        file.seekp(static_cast<std::streamoff>(bytes.find(Canvas)));
        file.write("bert", 4);
    }
    start("another canvas's file", Painted::Everything);
    start("kept again", Painted::Appended); // none after them
}

// The keeper paints what the news tells of, for the sizes asked before and the default one, so
// that requests find their entries painted; after a delete it leaves the paint to the request.
TEST_P(CanvasRenderTest, TheKeeperPaintsAsStrokesComeAndStopsInTheMiddle) {
    const RenderFolder folder(dir.file("renders"));
    InProcessCanvasNews hub;
    KeepingNews news(hub);
    RenderKeeper::Options options;
    options.width = 30;
    options.height = 40;
    options.pause = std::chrono::milliseconds(1);
    options.page_bytes = 1; // a stroke a page: a stop is heard between any two
    auto keeper = std::make_unique<RenderKeeper>(*store, cache, &folder, options);
    news.keepWith(keeper.get());
    draw(6);
    render(RenderFile::Picture, 45, 31);
    draw(4);
    news.publish(Canvas, StrokeNews{});
    keeper->waitIdle();
    EXPECT_EQ(render(RenderFile::Picture, 45, 31).painted, Painted::Nothing);
    const RenderResult default_size = render(RenderFile::Layers, 30, 40);
    EXPECT_EQ(default_size.painted, Painted::Nothing);
    expectTruth(default_size, RenderFile::Layers, 30, 40, "the default size");
    EXPECT_TRUE(folder.load(Canvas, 30, 40));

    const auto victim = canvas::stroke_from_text(
        store->strokesAfter(Canvas, INT64_MIN, 1)->front().text, wire::ServerPixelScale);
    ASSERT_EQ(store->deleteStrokes(Canvas, victim.user_name, victim.client_time, Now), 1u);
    news.publish(Canvas, StrokeNews{StrokeNews::Kind::Delete, 0});
    keeper->waitIdle();
    EXPECT_EQ(render(RenderFile::Picture, 45, 31).painted, Painted::Everything);

    // Stopped in the middle of a paint from the first stroke: nothing half painted stays.
    draw(300, "other@20100704123456789");
    news.publish("other@20100704123456789", StrokeNews{});
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    news.keepWith(nullptr);
    keeper.reset();
    const RenderResult after = renderCanvas(*store, cache, "other@20100704123456789", 30, 40,
                                            RenderFile::Picture, {}, PageBytes);
    ASSERT_EQ(after.outcome, Outcome::Rendered);
    EXPECT_TRUE(testing::rgbOfPng(after.png) ==
                testing::rgbOfSurface(replayOf(*store, "other@20100704123456789", 30, 40).picture));
}

TEST(RenderFolder, FilesUsedLeastRecentlyGoFirstOncePastTheBound) {
    testing::TempDir dir;
    canvas::LayerSurfaces layers{canvas::Surface(8, 6), canvas::Surface(8, 6),
                                 canvas::Surface(8, 6)};
    canvas::resetLayers(layers);
    const std::string file = *png::encodeLayersPng(layers, 5, 1);
    const uint64_t one = file.size() + 32; // with its header
    const RenderFolder folder(dir.file("renders"), 2 * one + one / 2);
    ASSERT_TRUE(folder.save("a@1", 8, 6, "h", file));
    ASSERT_EQ(std::filesystem::begin(std::filesystem::directory_iterator(dir.file("renders")))
                  ->file_size(),
              one);
    ASSERT_TRUE(folder.save("b@1", 8, 6, "h", file));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(folder.load("a@1", 8, 6));  // used: b is now the oldest
    EXPECT_FALSE(folder.load("a@1", 8, 7)); // another size
    ASSERT_TRUE(folder.save("c@1", 8, 6, "h", file));
    EXPECT_TRUE(folder.load("a@1", 8, 6));
    EXPECT_FALSE(folder.load("b@1", 8, 6));
    EXPECT_TRUE(folder.load("c@1", 8, 6));
    EXPECT_EQ(folder.load("c@1", 8, 6)->picture.through, 5);
}

TEST(RenderValidators, IfNoneMatchNamesAnEtagOrEverything) {
    const std::string tag = "\"0123abcd\"";
    const struct {
        const char* header;
        bool names;
    } cases[] = {
        {"", false},
        {"\"0123abcd\"", true},
        {"W/\"0123abcd\"", true},
        {"\"x\", \"0123abcd\"", true},
        {"\"x\",\"0123abcd\" ", true},
        {"*", true},
        {"\"0123abcd", false},
        {"0123abcd", false},
        {"\"0123ABCD\"", false},
        {"\"x\", \"y\"", false},
        {",,,", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(noneMatchNames(c.header, tag), c.names) << c.header;
    }
}

} // namespace
} // namespace velmo::server
