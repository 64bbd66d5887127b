#include "store/sqlite/sqlite_store.h"

#include "store/sqlite/stroke_journal.h"

#include "canvas/stroke_text.h"
#include "support/temp_dir.h"
#include "wire/command_parser.h"

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

namespace velmo::server {
namespace {

canvas::MWStroke stroke(int64_t client_time, const std::string& user = "anna@20101201100000001") {
    canvas::MWStroke s;
    s.client_time = client_time;
    s.user_name = user;
    s.pen_properties = {static_cast<int32_t>(0xFF000000u), 2999, 128};
    s.points_x = {1, 2};
    s.points_y = {3, 4};
    return s;
}

class SqliteStoreTest : public ::testing::Test {
protected:
    std::unique_ptr<SqliteStore> open() {
        std::string error;
        auto store = SqliteStore::open(dir.file("canvas.sqlite"), &error);
        EXPECT_TRUE(store) << error;
        return store;
    }
    testing::TempDir dir;
};

TEST_F(SqliteStoreTest, StampsStrictlyIncreaseEvenWhenTheClockDoesNot) {
    auto store = open();
    const int64_t times[] = {1000, 1000, 999, 5000, 10, 5001};
    int64_t last = 0;
    for (int i = 0; i < 6; ++i) {
        const auto stamp = store->appendStroke("c@1", stroke(i), times[i]);
        ASSERT_TRUE(stamp);
        EXPECT_GT(*stamp, last);
        EXPECT_GE(*stamp, times[i]);
        last = *stamp;
    }
    EXPECT_EQ(last, 5002);
    EXPECT_EQ(store->lastStamp("c@1"), 5002);
    EXPECT_EQ(store->lastStamp("unknown"), 0);
    // Another canvas has its own sequence.
    EXPECT_EQ(store->appendStroke("d@1", stroke(1), 10), 10);
}

TEST_F(SqliteStoreTest, StoredTextCarriesTheStampAndDecodesToTheStroke) {
    auto store = open();
    const auto stamp = store->appendStroke("c@1", stroke(7), 1234);
    const auto strokes = store->strokesAfter("c@1", 0, 10);
    ASSERT_TRUE(strokes);
    ASSERT_EQ(strokes->size(), 1u);
    canvas::MWStroke expected = stroke(7);
    expected.server_time = *stamp;
    EXPECT_EQ((*strokes)[0].text, canvas::stroke_to_text(expected));
    EXPECT_EQ(canvas::stroke_from_text((*strokes)[0].text, wire::ServerPixelScale), expected);
}

TEST_F(SqliteStoreTest, AResentStrokeIsStoredOnce) {
    auto store = open();
    const auto first = store->appendStroke("c@1", stroke(7), 100);
    const auto again = store->appendStroke("c@1", stroke(7), 200);
    EXPECT_EQ(first, again);
    canvas::MWStroke different = stroke(7);
    different.points_x[0] = 99;
    EXPECT_NE(store->appendStroke("c@1", different, 300), first);
    EXPECT_EQ(store->strokesAfter("c@1", 0, 10)->size(), 2u);
}

TEST_F(SqliteStoreTest, StrokesAfterIsOrderedAndLimited) {
    auto store = open();
    for (int i = 0; i < 10; ++i) {
        store->appendStroke("c@1", stroke(100 - i), 1000 + i);
    }
    const auto some = store->strokesAfter("c@1", 1003, 4);
    ASSERT_TRUE(some);
    ASSERT_EQ(some->size(), 4u);
    EXPECT_EQ((*some)[0].server_time, 1004);
    EXPECT_EQ((*some)[3].server_time, 1007);
    EXPECT_EQ(store->strokesAfter("c@1", 1009, 4)->size(), 0u);
}

TEST_F(SqliteStoreTest, DeleteRemovesByUserAndClientTimeOnly) {
    auto store = open();
    store->appendStroke("c@1", stroke(1, "anna@1"), 10);
    store->appendStroke("c@1", stroke(1, "bob@1"), 11);
    store->appendStroke("c@1", stroke(2, "anna@1"), 12);
    EXPECT_EQ(store->deleteStrokes("c@1", "anna@1", 1, 20), 1u);
    EXPECT_EQ(store->deleteStrokes("c@1", "anna@1", 1, 21), 0u);
    EXPECT_EQ(store->deleteStrokes("other@1", "bob@1", 1, 21), 0u);
    EXPECT_EQ(store->strokesAfter("c@1", 0, 10)->size(), 2u);
    // The stamp sequence does not restart after a delete of the newest stroke.
    EXPECT_EQ(store->deleteStrokes("c@1", "anna@1", 2, 22), 1u);
    EXPECT_EQ(store->appendStroke("c@1", stroke(3), 5), 13);
}

TEST_F(SqliteStoreTest, SearchFindsNicknamesIgnoringAsciiCaseNewestFirst) {
    auto store = open();
    store->appendStroke("Anna@20101201095959001", stroke(1), 100);
    store->appendStroke("anna@20101201095959002", stroke(1), 300);
    store->setImageUrl("ANNA@20101201095959003", ImageKind::Thumbnail, "http://t/3.png", 200);
    store->appendStroke("annabel@20101201095959004", stroke(1), 400);
    store->appendStroke("\xc3\x84nna@20101201095959005", stroke(1), 500);
    const auto found = store->findCanvases("aNNa", 200);
    ASSERT_TRUE(found);
    ASSERT_EQ(found->size(), 3u);
    EXPECT_EQ((*found)[0].canvas_id, "anna@20101201095959002");
    EXPECT_EQ((*found)[1].canvas_id, "ANNA@20101201095959003");
    EXPECT_EQ((*found)[1].thumbnail_url, "http://t/3.png");
    EXPECT_EQ((*found)[2].canvas_id, "Anna@20101201095959001");
    EXPECT_EQ(store->findCanvases("", 200)->size(), 5u);
    EXPECT_EQ(store->findCanvases("", 2)->size(), 2u);
    EXPECT_EQ((*store->findCanvases("", 1))[0].canvas_id, "\xc3\x84nna@20101201095959005");
}

TEST_F(SqliteStoreTest, OnlyCanvasesWithAStrokeOrAnImageAreListed) {
    auto store = open();
    store->appendStroke("anna@20101201095959001", stroke(1), 100);
    store->deleteStrokes("anna@20101201095959001", "anna@20101201100000001", 1, 101);
    EXPECT_EQ(store->findCanvases("anna", 200)->size(), 0u);
    EXPECT_EQ(store->canvas("anna@20101201095959001"), CanvasLookup::none());
    store->setImageUrl("anna@20101201095959001", ImageKind::FullImage, "http://f/1.png", 102);
    EXPECT_EQ(store->findCanvases("anna", 200)->size(), 1u);
    EXPECT_EQ(store->canvas("anna@20101201095959001").info.fullimage_url, "http://f/1.png");
}

// A full disk made deterministic: the database refuses every stroke row, so journaled strokes
// cannot be copied and the canvas rows cannot say what exists.
TEST_F(SqliteStoreTest, ALookUpTheDatabaseCannotAnswerIsAFailureNotAnUnknownCanvas) {
    auto store = open();
    const auto exec = [&](const char* sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(dir.file("canvas.sqlite").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    };
    ASSERT_TRUE(store->appendStroke("anna@20101201095959001", stroke(1), 100));
    EXPECT_TRUE(store->canvas("anna@20101201095959001").found());
    exec("CREATE TRIGGER disk_full BEFORE INSERT ON strokes "
         "BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END");
    ASSERT_TRUE(store->appendStroke("bob@20101201095959002", stroke(1), 200)); // journaled
    EXPECT_EQ(store->canvas("bob@20101201095959002"), CanvasLookup::failure());
    EXPECT_EQ(store->canvas("anna@20101201095959001"), CanvasLookup::failure());
    EXPECT_EQ(store->canvas("nobody@1"), CanvasLookup::failure());
    exec("DROP TRIGGER disk_full");
    EXPECT_TRUE(store->canvas("bob@20101201095959002").found());
    EXPECT_EQ(store->canvas("nobody@1"), CanvasLookup::none());
}

TEST_F(SqliteStoreTest, DateIdNamesItsFirstHolderFirstHoweverActiveTheOthers) {
    auto store = open();
    const auto ids = [&](size_t limit) {
        std::vector<std::string> out;
        const auto found = store->canvasesByDateId("0hSboGx", limit);
        for (const CanvasInfo& c : found.value()) {
            out.push_back(c.canvas_id);
        }
        return out;
    };
    EXPECT_TRUE(store->canvasesByDateId("0hSboGx", 10)->empty());
    // Each step, then the canvases the code names in order.
    struct Step {
        std::function<void()> act;
        std::vector<std::string> expected;
    };
    const std::string anna = "anna@20100704123456789";
    const std::string mallory = "mallory@20100704123456789";
    const std::string zed = "zed@20100704123456789";
    const std::string image_only = "aaron@20100704123456789";
    const Step steps[] = {
        {[&] { store->appendStroke(anna, stroke(1), 100); }, {anna}},
        // A later canvas with the same stamp, far more active, stays second.
        {[&] {
             for (int i = 0; i < 5; ++i) {
                 store->appendStroke(mallory, stroke(10 + i), 200 + i);
             }
         },
         {anna, mallory}},
        {[&] { store->appendStroke(anna, stroke(2), 900); }, {anna, mallory}},
        // Only an image: after every canvas with strokes, though its ID sorts first.
        {[&] { store->setImageUrl(image_only, ImageKind::FullImage, "http://f/1.png", 50); },
         {anna, mallory, image_only}},
        // Strokes stamped in the same millisecond: by ID.
        {[&] { store->appendStroke(zed, stroke(20), 200); }, {anna, mallory, zed, image_only}},
    };
    for (const Step& step : steps) {
        step.act();
        EXPECT_EQ(ids(10), step.expected);
    }
    EXPECT_EQ(ids(2), (std::vector<std::string>{anna, mallory}));
    EXPECT_EQ(store->canvasesByDateId("0hSboGx", 1)->front().canvas_id, anna);
    EXPECT_TRUE(store->canvasesByDateId("0000000", 10)->empty());
}

TEST_F(SqliteStoreTest, ImagesKeepTheirFirstCopy) {
    auto store = open();
    EXPECT_TRUE(store->putImage("h1", std::string("\0png", 4), 1));
    EXPECT_TRUE(store->putImage("h1", "other", 2));
    EXPECT_EQ(store->image("h1"), std::string("\0png", 4));
    EXPECT_EQ(store->image("h2"), std::nullopt);
}

TEST_F(SqliteStoreTest, EverythingSurvivesReopening) {
    {
        auto store = open();
        store->appendStroke("c@1", stroke(1), 5000);
        store->setImageUrl("c@1", ImageKind::Thumbnail, "http://t.png", 5001);
    }
    auto store = open();
    EXPECT_EQ(store->lastStamp("c@1"), 5000);
    EXPECT_EQ(store->appendStroke("c@1", stroke(2), 10), 5001);
    EXPECT_EQ(store->canvas("c@1").info.thumbnail_url, "http://t.png");
}

TEST_F(SqliteStoreTest, CanvasSizeFollowsAppendsResendsAndDeletesAndSurvivesReopening) {
    const auto textOf = [](canvas::MWStroke s, int64_t stamp) {
        s.server_time = stamp;
        return static_cast<int64_t>(canvas::stroke_to_text(s).size());
    };
    // Strokes and bytes; (-1, -1) on a failure.
    using Size = std::pair<int64_t, int64_t>;
    const auto sizeOf = [](Store& store, std::string_view canvas_id) {
        const auto size = store.canvasSize(canvas_id);
        return size ? Size{size->strokes, size->bytes} : Size{-1, -1};
    };
    int64_t bytes = 0;
    {
        auto store = open();
        EXPECT_EQ(sizeOf(*store, "c@1"), (Size{0, 0}));
        bytes += textOf(stroke(1, "anna@1"), *store->appendStroke("c@1", stroke(1, "anna@1"), 10));
        bytes += textOf(stroke(2, "anna@1"), *store->appendStroke("c@1", stroke(2, "anna@1"), 11));
        const int64_t third = *store->appendStroke("c@1", stroke(3, "bob@1"), 12);
        store->appendStroke("c@1", stroke(3, "bob@1"), 13); // a resend: stored once
        store->appendStroke("d@1", stroke(1), 14);
        EXPECT_EQ(sizeOf(*store, "c@1"), (Size{3, bytes + textOf(stroke(3, "bob@1"), third)}));
        EXPECT_EQ(store->deleteStrokes("c@1", "bob@1", 3, 20), 1u);
        EXPECT_EQ(sizeOf(*store, "c@1"), (Size{2, bytes}));
    }
    // Counted again from the database at the start.
    auto store = open();
    EXPECT_EQ(sizeOf(*store, "c@1"), (Size{2, bytes}));
    EXPECT_EQ(store->canvasSize("d@1")->strokes, 1);
    EXPECT_EQ(sizeOf(*store, "unknown@1"), (Size{0, 0}));
}

TEST_F(SqliteStoreTest, ConcurrentAppendsGetDistinctIncreasingStamps) {
    auto store = open();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                ASSERT_TRUE(store->appendStroke("c@1", stroke(t * 1000 + i), 100));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto all = store->strokesAfter("c@1", 0, 1000);
    ASSERT_EQ(all->size(), 400u);
    for (size_t i = 1; i < all->size(); ++i) {
        EXPECT_EQ((*all)[i].server_time, (*all)[i - 1].server_time + 1);
    }
}

// Replies come from the strokes kept in memory when they reach back far enough and from the
// database otherwise; both must give the same strokes, deletes included.
TEST_F(SqliteStoreTest, RecentStrokesAgreeWithTheDatabase) {
    auto store = open();
    for (int i = 0; i < 1200; ++i) {
        ASSERT_TRUE(store->appendStroke(i % 2 ? "c@1" : "d@1", stroke(i), 1000 + i));
    }
    ASSERT_EQ(store->deleteStrokes("c@1", "anna@20101201100000001", 1197, 3000), 1u);
    ASSERT_EQ(store->deleteStrokes("c@1", "anna@20101201100000001", 3, 3000), 1u);
    const auto reference = [&](int64_t after, size_t limit) {
        auto fresh = open(); // a new store starts with nothing in memory
        return *fresh->strokesAfter("c@1", after, limit);
    };
    for (const int64_t after :
         {int64_t{0}, int64_t{1100}, int64_t{2150}, int64_t{2190}, int64_t{2199}, int64_t{2200}}) {
        for (const size_t limit : {size_t{1}, size_t{5}, size_t{5000}}) {
            EXPECT_EQ(*store->strokesAfter("c@1", after, limit), reference(after, limit))
                << after << " " << limit;
        }
    }
    EXPECT_EQ(store->strokesAfter("c@1", 0, 5000)->size(), 598u);
    EXPECT_EQ(store->strokesAfter("c@1", 2190, 5000)->size(), 4u); // 2191 .. 2199, odd, minus 2197
}

TEST_F(SqliteStoreTest, AsyncAppendsReportTheirStampsOnceDurable) {
    auto store = open();
    std::mutex mutex;
    std::condition_variable done;
    std::vector<int64_t> stamps;
    for (int i = 0; i < 20; ++i) {
        store->appendStrokeAsync("c@1", stroke(i), 100, 1 << 20, [&](Appended appended) {
            std::lock_guard lock(mutex);
            EXPECT_FALSE(appended.delivery); // the book in memory is asked by the reply
            stamps.push_back(appended.stamp.value_or(-1));
            done.notify_one();
        });
    }
    {
        std::unique_lock lock(mutex);
        done.wait(lock, [&] { return stamps.size() == 20; });
    }
    std::sort(stamps.begin(), stamps.end());
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(stamps[static_cast<size_t>(i)], 100 + i);
    }
    store.reset();
    EXPECT_EQ(open()->strokesAfter("c@1", 0, 100)->size(), 20u);
}

TEST_F(SqliteStoreTest, SavedMarksAreTakenBackOnce) {
    const std::vector<SavedMark> marks = {{"c@1", "anna@1", 5, true, 100},
                                          {"c@1", "bob@1", 7, false, 101}};
    {
        auto store = open();
        EXPECT_TRUE(store->saveMarks(marks));
    }
    auto store = open();
    auto taken = store->takeSavedMarks();
    ASSERT_TRUE(taken);
    std::sort(taken->begin(), taken->end(),
              [](const SavedMark& a, const SavedMark& b) { return a.user_name < b.user_name; });
    EXPECT_EQ(*taken, marks);
    EXPECT_TRUE(store->takeSavedMarks()->empty());
}

TEST_F(SqliteStoreTest, MigratesAVersion1Database) {
    {
        auto store = open();
        store->appendStroke("c@1", stroke(1), 10);
    }
    // Back to what version 1 had: no saved_marks, fresh_strokes, journal_state or user_keys
    // table.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir.file("canvas.sqlite").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "DROP TABLE saved_marks; DROP TABLE fresh_strokes; "
                           "DROP TABLE journal_state; DROP TABLE user_keys; DROP TABLE bans; "
                           "PRAGMA user_version=1",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    auto store = open();
    ASSERT_TRUE(store);
    EXPECT_EQ(store->strokesAfter("c@1", 0, 10)->size(), 1u);
    EXPECT_TRUE(store->saveMarks({{"c@1", "u", 1, false, 1}}));
    ASSERT_EQ(sqlite3_open(dir.file("canvas.sqlite").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &statement, nullptr);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(statement, 0), SqliteStore::SchemaVersion);
    sqlite3_finalize(statement);
    sqlite3_close(db);
}

TEST_F(SqliteStoreTest, MigratesAVersion2Database) {
    {
        auto store = open();
        store->appendStroke("c@1", stroke(1), 10);
        store->appendStroke("c@1", stroke(2), 11);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir.file("canvas.sqlite").c_str(), &db), SQLITE_OK);
    // A clean close left no fresh stroke behind; version 2 had no such table.
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM strokes", -1, &statement, nullptr);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(statement, 0), 2);
    sqlite3_finalize(statement);
    ASSERT_EQ(sqlite3_exec(db,
                           "DROP TABLE fresh_strokes; DROP TABLE journal_state; "
                           "DROP TABLE user_keys; DROP TABLE bans; PRAGMA user_version=2",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    auto store = open();
    ASSERT_TRUE(store);
    EXPECT_EQ(store->strokesAfter("c@1", 0, 10)->size(), 2u);
    EXPECT_EQ(store->appendStroke("c@1", stroke(3), 5), 12);
    EXPECT_EQ(store->appendStroke("c@1", stroke(1), 50), 10); // resent, from the old table
    EXPECT_EQ(store->appendStroke("c@1", stroke(3), 60), 12); // resent, a fresh one
    EXPECT_EQ(store->deleteStrokes("c@1", "anna@20101201100000001", 3, 70), 1u);
    EXPECT_EQ(store->strokesAfter("c@1", 0, 10)->size(), 2u);
}

TEST_F(SqliteStoreTest, JournaledStrokesAreCopiedWithoutChangingWhatIsRead) {
    auto store = open();
    // More than one copy's worth on two canvases, with resends and deletes on the way.
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(store->appendStroke(i % 2 ? "c@1" : "d@1", stroke(i), 1000), 1000 + i / 2);
        if (i % 700 == 1) {
            EXPECT_EQ(store->appendStroke("c@1", stroke(i), 1000), 1000 + i / 2);
            EXPECT_EQ(store->appendStroke("c@1", stroke(i - 2 > 0 ? i - 2 : 1), 1000),
                      1000 + (i - 2 > 0 ? i - 2 : 1) / 2);
        }
        if (i % 1000 == 999) {
            EXPECT_EQ(store->deleteStrokes("c@1", "anna@20101201100000001", i - 4, 1000), 1u);
        }
    }
    const auto all = store->strokesAfter("c@1", 0, 10000);
    ASSERT_EQ(all->size(), 2500u - 5u);
    for (size_t i = 1; i < all->size(); ++i) {
        EXPECT_LT((*all)[i - 1].server_time, (*all)[i].server_time);
    }
    store.reset();
    store = open();
    EXPECT_EQ(*store->strokesAfter("c@1", 0, 10000), *all);
    EXPECT_EQ(store->strokesAfter("d@1", 0, 10000)->size(), 2500u);
}

int64_t journalCopied(const std::string& path) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT copied FROM journal_state", -1, &statement, nullptr);
    EXPECT_EQ(sqlite3_step(statement), SQLITE_ROW);
    const int64_t copied = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return copied;
}

// What a crash leaves: journaled strokes the database does not have yet.
TEST_F(SqliteStoreTest, AStartCopiesWhatTheJournalKept) {
    const std::string canvas_id = "bea@20101201100000001";
    {
        auto store = open();
        ASSERT_EQ(store->appendStroke("c@1", stroke(1), 10), 10);
        ASSERT_EQ(store->appendStroke("c@1", stroke(2), 11), 11);
    }
    const auto copied = static_cast<uint64_t>(journalCopied(dir.file("canvas.sqlite")));
    ASSERT_GT(copied, 0u);
    const auto stamped = [](int64_t client_time, int64_t stamp) {
        canvas::MWStroke s = stroke(client_time);
        s.server_time = stamp;
        return canvas::stroke_to_text(s);
    };
    {
        // The copy of the first file's strokes had not finished: the numbers run on from the
        // second file into the first, which had started over.
        // (Emptied first: a record cut short must not find its missing bytes in a stale one.)
        std::filesystem::resize_file(dir.file("canvas.sqlite-strokes.0"), 0);
        auto second = StrokeJournal::open(dir.file("canvas.sqlite-strokes.1"), nullptr);
        auto first = StrokeJournal::open(dir.file("canvas.sqlite-strokes.0"), nullptr);
        ASSERT_TRUE(first && second);
        std::string records;
        StrokeJournal::encode(records, copied + 1, "c@1", 12, 3, "anna@20101201100000001",
                              stamped(3, 12));
        StrokeJournal::encode(records, copied + 2, canvas_id, 20, 4, "anna@20101201100000001",
                              stamped(4, 20));
        ASSERT_TRUE(second->write(records));
        records.clear();
        StrokeJournal::encode(records, copied + 3, "c@1", 13, 6, "anna@20101201100000001",
                              stamped(6, 13));
        std::string torn;
        StrokeJournal::encode(torn, copied + 4, "c@1", 14, 5, "anna@20101201100000001",
                              stamped(5, 14));
        records += torn.substr(0, torn.size() - 3);
        ASSERT_TRUE(first->write(records));
    }
    {
        auto store = open();
        EXPECT_EQ(store->strokesAfter("c@1", 0, 10)->size(), 4u);
        EXPECT_EQ(store->lastStamp("c@1"), 13);
        EXPECT_EQ(store->appendStroke("c@1", stroke(3), 5), 12); // a resend of the copied one
        EXPECT_EQ(store->appendStroke("c@1", stroke(5), 5), 14); // the torn one was never stored
        const auto found = store->findCanvases("bea", 10);
        ASSERT_EQ(found->size(), 1u);
        EXPECT_EQ((*found)[0].canvas_id, canvas_id);
        EXPECT_EQ((*found)[0].last_activity, 20);
    }
    // Copied once: the next start finds nothing more to copy.
    auto store = open();
    EXPECT_EQ(store->strokesAfter("c@1", 0, 10)->size(), 5u);
    EXPECT_EQ(store->strokesAfter(canvas_id, 0, 10)->size(), 1u);
}

// Strokes not yet copied into the database are the newest; a user far behind gets the
// database's strokes followed by them.
TEST_F(SqliteStoreTest, FarBehindReadsFindStrokesNotYetCopied) {
    auto store = open();
    for (int i = 0; i < 1500; ++i) {
        ASSERT_EQ(store->appendStroke("c@1", stroke(i), 1000), 1000 + i);
    }
    const auto check = [&] {
        const auto all = store->strokesAfter("c@1", 0, 5000);
        ASSERT_EQ(all->size(), 1500u);
        for (size_t i = 0; i < all->size(); ++i) {
            ASSERT_EQ((*all)[i].server_time, 1000 + static_cast<int64_t>(i));
        }
        EXPECT_EQ(*store->strokesAfter("c@1", 0, 700),
                  std::vector<StoredStroke>(all->begin(), all->begin() + 700));
        EXPECT_EQ(store->strokesAfter("c@1", 1099, 5000)->size(), 1400u);
        EXPECT_EQ(store->strokesAfter("c@1", 2499, 5000)->size(), 0u);
    };
    check();
    EXPECT_EQ(store->findCanvases("", 10)->size(), 1u); // copies the journal first
    for (int i = 1500; i < 1700; ++i) {
        ASSERT_EQ(store->appendStroke("c@1", stroke(i), 1000), 1000 + i);
    }
    const auto all = store->strokesAfter("c@1", 0, 5000);
    ASSERT_EQ(all->size(), 1700u);
    EXPECT_EQ(all->back().server_time, 2699);
    EXPECT_EQ(store->strokesAfter("c@1", 0, 1600)->back().server_time, 2599);
}

// Appends from several threads while the copier works, with readers alongside: every read
// sees each stroke once, in stamp order, whether it comes from memory or the database.
TEST_F(SqliteStoreTest, ReadsDuringCopiesSeeEveryStrokeOnce) {
    auto store = open();
    constexpr int Writers = 4;
    constexpr int PerWriter = 2500;
    std::atomic<bool> writing{true};
    std::atomic<int> bad_reads{0};
    std::thread reader([&] {
        while (writing) {
            for (const int64_t after : {int64_t{0}, int64_t{3000}}) {
                const auto strokes = store->strokesAfter("c@1", after, 100000);
                for (size_t i = 1; strokes && i < strokes->size(); ++i) {
                    if ((*strokes)[i].server_time <= (*strokes)[i - 1].server_time) {
                        ++bad_reads;
                    }
                }
            }
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < Writers; ++t) {
        writers.emplace_back([&, t] {
            const std::string user = "u" + std::to_string(t) + "@1";
            for (int i = 0; i < PerWriter; ++i) {
                ASSERT_TRUE(store->appendStroke("c@1", stroke(t * 100000 + i, user), 1000));
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    writing = false;
    reader.join();
    EXPECT_EQ(bad_reads, 0);
    EXPECT_EQ(store->deleteStrokes("c@1", "u1@1", 100007, 1000), 1u);
    const auto all = store->strokesAfter("c@1", 0, 100000);
    ASSERT_EQ(all->size(), size_t{Writers * PerWriter} - 1);
    EXPECT_EQ(all->front().server_time, 1000);
    EXPECT_EQ(all->back().server_time, 1000 + Writers * PerWriter - 1);
    store.reset();
    EXPECT_EQ(*open()->strokesAfter("c@1", 0, 100000), *all);
}

TEST_F(SqliteStoreTest, MigratesAVersion3DatabaseWithFreshStrokes) {
    {
        auto store = open();
        ASSERT_EQ(store->appendStroke("c@1", stroke(1), 10), 10);
    }
    // A version 3 server killed with a stroke still in fresh_strokes, its row not counting it.
    canvas::MWStroke left = stroke(2);
    left.server_time = 15;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir.file("canvas.sqlite").c_str(), &db), SQLITE_OK);
    const std::string sql = "DROP TABLE journal_state; DROP TABLE user_keys; DROP TABLE bans; "
                            "PRAGMA user_version=3; "
                            "INSERT INTO fresh_strokes VALUES "
                            "('c@1', 15, 2, 'anna@20101201100000001', '" +
                            canvas::stroke_to_text(left) + "')";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    auto store = open();
    ASSERT_TRUE(store);
    EXPECT_EQ(store->strokesAfter("c@1", 0, 10)->size(), 2u);
    EXPECT_EQ(store->lastStamp("c@1"), 15);
    EXPECT_EQ(store->appendStroke("c@1", stroke(2), 1), 15); // resent: it was stored
    EXPECT_EQ(store->appendStroke("c@1", stroke(3), 1), 16);
    EXPECT_EQ(store->deleteStrokes("c@1", "anna@20101201100000001", 1, 20), 1u);
    EXPECT_EQ(store->deleteStrokes("c@1", "anna@20101201100000001", 2, 20), 1u);
    EXPECT_EQ(store->findCanvases("", 10)->size(), 1u); // one stroke left of three
    EXPECT_EQ(store->deleteStrokes("c@1", "anna@20101201100000001", 3, 20), 1u);
    EXPECT_EQ(store->findCanvases("", 10)->size(), 0u);
}

TEST_F(SqliteStoreTest, AFirstKeyBindsItsUserNameForGood) {
    const std::string anna(64, 'a'), other(64, 'b');
    {
        auto store = open();
        const struct {
            const char* user;
            const std::string& hash;
            KeyCheck expected;
        } steps[] = {
            {"anna@1", "", KeyCheck::Unbound},     // never bound, no key: as before
            {"anna@1", anna, KeyCheck::Matches},   // the first key binds
            {"anna@1", anna, KeyCheck::Matches},   // and is known again
            {"anna@1", other, KeyCheck::Mismatch}, // another key
            {"anna@1", "", KeyCheck::Mismatch},    // no key for a bound name
            {"bob@1", other, KeyCheck::Matches},   // names are bound one by one
            {"anna@1x", "", KeyCheck::Unbound},
        };
        for (const auto& step : steps) {
            EXPECT_EQ(store->checkUserKey(step.user, step.hash, 10), step.expected)
                << step.user << " " << step.hash;
        }
    }
    // The bindings live in the database, not only in the store's memory.
    auto store = open();
    EXPECT_EQ(store->checkUserKey("anna@1", "", 20), KeyCheck::Mismatch);
    EXPECT_EQ(store->checkUserKey("anna@1", other, 20), KeyCheck::Mismatch);
    EXPECT_EQ(store->checkUserKey("anna@1", anna, 20), KeyCheck::Matches);
    EXPECT_EQ(store->checkUserKey("bob@1", anna, 20), KeyCheck::Mismatch);
}

TEST_F(SqliteStoreTest, RacingFirstKeysBindOneOfThem) {
    auto store = open();
    std::vector<std::optional<KeyCheck>> checks(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < checks.size(); ++i) {
        threads.emplace_back([&, i] {
            checks[i] =
                store->checkUserKey("anna@1", std::string(64, static_cast<char>('a' + i)), 1);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(std::count(checks.begin(), checks.end(), KeyCheck::Matches), 1);
    EXPECT_EQ(std::count(checks.begin(), checks.end(), KeyCheck::Mismatch), 7);
}

TEST_F(SqliteStoreTest, HasStrokeByLooksAtTheCanvasAndTheUserName) {
    auto store = open();
    ASSERT_TRUE(store->appendStroke("c@1", stroke(1, "anna@1"), 10));
    EXPECT_EQ(store->hasStrokeBy("c@1", "anna@1"), true); // still journaled, not copied
    EXPECT_EQ(store->hasStrokeBy("c@1", "bob@1"), false);
    EXPECT_EQ(store->hasStrokeBy("c@2", "anna@1"), false);
    ASSERT_EQ(store->deleteStrokes("c@1", "anna@1", 1, 20), 1u);
    EXPECT_EQ(store->hasStrokeBy("c@1", "anna@1"), false);
}

TEST_F(SqliteStoreTest, MigratesAVersion4DatabaseToKeys) {
    {
        auto store = open();
        ASSERT_EQ(store->appendStroke("c@1", stroke(1), 10), 10);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir.file("canvas.sqlite").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP TABLE user_keys; DROP TABLE bans; PRAGMA user_version=4",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    {
        auto store = open();
        ASSERT_TRUE(store);
        EXPECT_EQ(store->strokesAfter("c@1", 0, 10)->size(), 1u);
        // Nobody is bound after the migration: every name works as before until a key comes.
        EXPECT_EQ(store->checkUserKey("anna@20101201100000001", "", 20), KeyCheck::Unbound);
        EXPECT_EQ(store->checkUserKey("anna@20101201100000001", std::string(64, 'c'), 20),
                  KeyCheck::Matches);
        EXPECT_EQ(store->hasStrokeBy("c@1", "anna@20101201100000001"), true);
    }
    ASSERT_EQ(sqlite3_open(dir.file("canvas.sqlite").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT (SELECT user_version FROM pragma_user_version), count(*) "
                       "FROM user_keys",
                       -1, &statement, nullptr);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(statement, 0), SqliteStore::SchemaVersion);
    EXPECT_EQ(sqlite3_column_int(statement, 1), 1);
    sqlite3_finalize(statement);
    sqlite3_close(db);
}

TEST_F(SqliteStoreTest, RefusesADatabaseFromANewerVersion) {
    { open(); }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir.file("canvas.sqlite").c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    std::string error;
    EXPECT_FALSE(SqliteStore::open(dir.file("canvas.sqlite"), &error));
    EXPECT_NE(error.find("newer"), std::string::npos) << error;
}

TEST_F(SqliteStoreTest, ReportsAnUnusablePath) {
    std::string error;
    EXPECT_FALSE(SqliteStore::open(dir.file("missing/dir/canvas.sqlite"), &error));
    EXPECT_FALSE(error.empty());
    if (geteuid() != 0) { // root writes anywhere
        { open(); }
        chmod(dir.file("canvas.sqlite").c_str(), 0444);
        chmod(dir.path().c_str(), 0555);
        EXPECT_FALSE(SqliteStore::open(dir.file("canvas.sqlite"), &error));
        chmod(dir.path().c_str(), 0755);
    }
}

} // namespace
} // namespace velmo::server
