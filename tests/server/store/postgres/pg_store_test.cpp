#include "store/postgres/pg_store.h"

#include "canvas/stroke_text.h"
#include "store/delivery_book.h"
#include "store/in_process_canvas_news.h"
#include "store/postgres/pg_appender.h"
#include "store/postgres/pg_connection.h"
#include "support/pg_cluster.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

namespace velmo::server {
namespace {

constexpr const char* Canvas = "anna@20100704123456789";
constexpr int64_t Now = 1291201234567;

canvas::MWStroke stroke(const std::string& user, int64_t client_time) {
    canvas::MWStroke s;
    s.client_time = client_time;
    s.user_name = user;
    s.pen_properties = {static_cast<int32_t>(0xFF000000u), 2999, 128};
    s.points_x = {1000, 2000};
    s.points_y = {3000, 4000};
    return s;
}

// Waits up to ten seconds for `done`.
bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Two stores on one database, as two server instances have them.
class PgStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!cluster.running()) {
            GTEST_SKIP() << cluster.problem();
        }
        std::string error;
        a = PgStore::open(cluster.uri(), &news_a, &error);
        ASSERT_TRUE(a) << error;
        b = PgStore::open(cluster.uri(), &news_b, &error);
        ASSERT_TRUE(b) << error;
    }

    testing::PgCluster cluster;
    InProcessCanvasNews news_a, news_b;
    std::unique_ptr<PgStore> a, b;
};

TEST_F(PgStoreTest, StampsRiseStrictlyAcrossInstancesAndResendsAreStoredOnce) {
    // Both instances stamp at the same clock reading, from several threads at once.
    std::vector<std::thread> threads;
    std::vector<std::optional<int64_t>> stamps(40);
    for (int i = 0; i < 40; ++i) {
        threads.emplace_back([&, i] {
            PgStore& store = i % 2 ? *a : *b;
            stamps[i] = store.appendStroke(Canvas, stroke("u" + std::to_string(i % 4), i), Now);
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    const auto stored = a->strokesAfter(Canvas, 0, 1000);
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->size(), 40u);
    for (size_t i = 1; i < stored->size(); ++i) {
        EXPECT_LT((*stored)[i - 1].server_time, (*stored)[i].server_time);
    }
    for (const auto& stamp : stamps) {
        ASSERT_TRUE(stamp);
    }
    // A resent append on the other instance finds the stored stroke and its stamp; a stroke
    // of the same author and client time with other points is another stroke.
    const auto first = a->appendStroke(Canvas, stroke("anna", 7), Now + 10);
    const auto again = b->appendStroke(Canvas, stroke("anna", 7), Now + 20);
    ASSERT_TRUE(first);
    EXPECT_EQ(again, first);
    canvas::MWStroke other = stroke("anna", 7);
    other.points_x[1] = 9999;
    const auto different = b->appendStroke(Canvas, other, Now + 20);
    ASSERT_TRUE(different);
    EXPECT_GT(*different, *first);
    EXPECT_EQ(b->strokesAfter(Canvas, 0, 1000)->size(), 42u);
    EXPECT_TRUE(a->canvas(Canvas).found());
}

TEST_F(PgStoreTest, AnInstanceHearsOfTheOthersAppendsAndDeletes) {
    std::atomic<int> appends{0}, deletes{0};
    auto subscription = news_b.subscribe(Canvas, [&](const StrokeNews& news) {
        (news.kind == StrokeNews::Kind::Append ? appends : deletes)++;
    });
    // B knows the canvas and remembers its strokes; then A appends.
    const auto own = b->appendStroke(Canvas, stroke("bob", 1), Now);
    ASSERT_TRUE(own);
    ASSERT_EQ(b->strokesAfter(Canvas, 0, 10)->size(), 1u);
    const auto stamp = a->appendStroke(Canvas, stroke("anna", 2), Now);
    ASSERT_TRUE(stamp);
    EXPECT_GT(*stamp, *own);
    ASSERT_TRUE(eventually([&] { return b->lastStamp(Canvas) == *stamp; }));
    EXPECT_TRUE(eventually([&] { return appends == 1; }));
    const auto seen = b->strokesAfter(Canvas, 0, 10);
    ASSERT_TRUE(seen);
    ASSERT_EQ(seen->size(), 2u);
    EXPECT_EQ((*seen)[1].server_time, *stamp);
    EXPECT_EQ(b->strokesAfter(Canvas, *own, 10)->size(), 1u);

    EXPECT_EQ(a->deleteStrokes(Canvas, "bob", 1, Now), 1u);
    EXPECT_TRUE(eventually([&] { return deletes == 1; }));
    EXPECT_EQ(b->strokesAfter(Canvas, 0, 10)->size(), 1u);
    EXPECT_EQ(appends, 1); // B's own append is told by its handler, not by the database
}

TEST_F(PgStoreTest, AnAppendFindsStrokesOfOthersNotYetHeardOf) {
    const auto first = b->appendStroke(Canvas, stroke("bob", 1), Now);
    ASSERT_TRUE(first);
    // Another instance's stroke whose announcement has not come yet (none is sent here).
    const std::string later = std::to_string(Now + 100);
    ASSERT_TRUE(cluster.run(
        "velmo", std::string("INSERT INTO strokes VALUES ('") + Canvas + "', " + later +
                     ", 2, 'anna', 0, 'elsewhere'); UPDATE canvases SET last_stamp = " + later +
                     ", stroke_count = stroke_count + 1 WHERE canvas_id = '" + Canvas + "'"));
    const auto own = b->appendStroke(Canvas, stroke("bob", 3), Now);
    ASSERT_TRUE(own);
    EXPECT_GT(*own, Now + 100);
    const auto all = b->strokesAfter(Canvas, 0, 10);
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 3u);
    EXPECT_EQ((*all)[1].text, "elsewhere");
    EXPECT_EQ(b->strokesAfter(Canvas, *first, 10)->size(), 2u);
}

TEST_F(PgStoreTest, AResendFindingAStrokeNotYetHeardOfBringsMemoryUpToDate) {
    const auto first = b->appendStroke(Canvas, stroke("bob", 1), Now);
    ASSERT_TRUE(first);
    // Stored, but its instance's answer and announcement were lost (none is sent here).
    canvas::MWStroke lost = stroke("anna", 2);
    lost.server_time = Now + 100;
    auto conn = PgConnection::open(cluster.uri());
    conn->exec("INSERT INTO strokes VALUES ($1, $2, $3, $4, $5, $6)",
               PgParams()
                   .bytes(Canvas)
                   .int64(lost.server_time)
                   .int64(lost.client_time)
                   .bytes(lost.user_name)
                   .int64(PgAppender::bodyHash(lost))
                   .bytes(canvas::stroke_to_text(lost)));
    conn->exec("UPDATE canvases SET last_stamp = $2 WHERE canvas_id = $1",
               PgParams().bytes(Canvas).int64(lost.server_time));
    // The client sends it again to this instance, which finds it stored.
    EXPECT_EQ(b->appendStroke(Canvas, stroke("anna", 2), Now + 200), Now + 100);
    EXPECT_EQ(b->lastStamp(Canvas), Now + 100);
    const auto after = b->strokesAfter(Canvas, *first, 10);
    ASSERT_TRUE(after);
    ASSERT_EQ(after->size(), 1u);
    EXPECT_EQ(after->front().server_time, Now + 100);
}

TEST_F(PgStoreTest, DeliveryMarksAreSharedAndOwedNoticesGivenOnce) {
    DeliveryBook& on_a = a->deliveries();
    DeliveryBook& on_b = b->deliveries();
    EXPECT_EQ(on_a.take(Canvas, "bob", Now)->mark, 0);
    const auto stamp = a->appendStroke(Canvas, stroke("anna", 1), Now);
    on_a.advance(Canvas, "bob", *stamp);
    EXPECT_EQ(on_b.take(Canvas, "bob", Now)->mark, *stamp);
    // A delete on A owes bob a notice on whichever instance he asks next, once.
    on_b.take(Canvas, "anna", Now);
    ASSERT_EQ(a->deleteStrokes(Canvas, "anna", 1, Now), 1u);
    on_a.noteDelete(Canvas, "anna");
    ASSERT_TRUE(eventually([&] {
        const auto taken = on_b.take(Canvas, "bob", Now);
        return taken && taken->owes_notice;
    }));
    EXPECT_FALSE(on_a.take(Canvas, "bob", Now)->owes_notice);
    EXPECT_FALSE(on_b.take(Canvas, "bob", Now)->owes_notice);
    EXPECT_FALSE(on_a.take(Canvas, "anna", Now)->owes_notice); // not to the one who deleted
    // Owed again after a failed reply on A: B, which has bob's mark cached, hears of it.
    on_a.oweNotice(Canvas, "bob");
    EXPECT_TRUE(eventually([&] {
        const auto taken = on_b.take(Canvas, "bob", Now);
        return taken && taken->owes_notice;
    }));
    // A mark never moves back, whichever instance saves an older one.
    EXPECT_TRUE(b->saveMarks({{Canvas, "bob", 1, false, Now}}));
    EXPECT_EQ(on_a.take(Canvas, "bob", Now)->mark, *stamp);
    EXPECT_TRUE(a->takeSavedMarks()->empty());
}

// An append whose author's unsent strokes are all in memory takes the author's delivery in its
// own transaction: the reply carries exactly what the author has not had, on any instance.
TEST_F(PgStoreTest, AnAppendTakesItsAuthorsDeliveryWhenMemoryHoldsItAll) {
    const auto append = [](PgStore& store, const canvas::MWStroke& s, size_t reply_bytes) {
        std::promise<Appended> done;
        store.appendStrokeAsync(Canvas, s, Now, reply_bytes, [&done](Appended appended) {
            done.set_value(std::move(appended));
        });
        return done.get_future().get();
    };
    const auto stamps = [](const TakenDelivery& taken) {
        std::vector<int64_t> out;
        for (const StoredStroke& s : taken.strokes) {
            out.push_back(s.server_time);
        }
        return out;
    };
    // A user this instance knows nothing of is answered the usual way.
    const Appended first = append(*a, stroke("anna", 1), 1 << 20);
    ASSERT_TRUE(first.stamp);
    EXPECT_FALSE(first.delivery);
    ASSERT_TRUE(a->deliveries().take(Canvas, "anna", Now));
    a->deliveries().advance(Canvas, "anna", *first.stamp);

    const auto carl = a->appendStroke(Canvas, stroke("carl", 2), Now);
    const Appended second = append(*a, stroke("anna", 3), 1 << 20);
    ASSERT_TRUE(second.delivery);
    EXPECT_EQ(second.delivery->mark, *first.stamp);
    EXPECT_FALSE(second.delivery->owes_notice);
    EXPECT_EQ(stamps(*second.delivery), (std::vector<int64_t>{*carl, *second.stamp}));
    EXPECT_EQ(second.delivery->strokes[0].text,
              a->strokesAfter(Canvas, *first.stamp, 1)->front().text);
    EXPECT_EQ(a->deliveries().take(Canvas, "anna", Now)->mark, *second.stamp);

    // B sends anna carl's next stroke; A, whose memory of her mark is older, does not again.
    const auto carl_again = a->appendStroke(Canvas, stroke("carl", 4), Now);
    ASSERT_EQ(b->deliveries().take(Canvas, "anna", Now)->mark, *second.stamp);
    b->deliveries().advance(Canvas, "anna", *carl_again);
    const Appended third = append(*a, stroke("anna", 5), 1 << 20);
    ASSERT_TRUE(third.delivery);
    EXPECT_EQ(third.delivery->mark, *carl_again);
    EXPECT_EQ(stamps(*third.delivery), (std::vector<int64_t>{*third.stamp}));

    // A delete's notice goes with the next reply, once; a reply beyond its bound pages.
    ASSERT_EQ(a->deleteStrokes(Canvas, "carl", 2, Now), 1u);
    const Appended fourth = append(*a, stroke("anna", 6), 1 << 20);
    ASSERT_TRUE(fourth.delivery);
    EXPECT_TRUE(fourth.delivery->owes_notice);
    EXPECT_FALSE(a->deliveries().take(Canvas, "anna", Now)->owes_notice);
    ASSERT_TRUE(a->appendStroke(Canvas, stroke("carl", 7), Now));
    const Appended small = append(*a, stroke("anna", 8), 10);
    ASSERT_TRUE(small.stamp);
    EXPECT_FALSE(small.delivery);
    EXPECT_EQ(a->deliveries().take(Canvas, "anna", Now)->mark, *fourth.stamp);
}

// Appends queued together go in one batch: a resend racing its first try is stored once, and a
// canvas another instance stored on unheard of is stored after it, beside canvases that were not.
TEST_F(PgStoreTest, ABatchStoresRacingResendsOnceAndCanvasesChangedElsewhereAfterTheirNews) {
    const auto async = [](PgStore& store, const std::string& canvas_id, const canvas::MWStroke& s) {
        auto done = std::make_shared<std::promise<Appended>>();
        store.appendStrokeAsync(canvas_id, s, Now, 1 << 20, [done](Appended appended) {
            done->set_value(std::move(appended));
        });
        return done->get_future();
    };
    const std::string other = "bob@20100704123456790";
    for (int round = 0; round < 20; ++round) {
        auto first = async(*a, Canvas, stroke("anna", round));
        auto resent = async(*a, Canvas, stroke("anna", round));
        auto elsewhere = async(*a, other, stroke("bob", round));
        const auto one = first.get().stamp;
        ASSERT_TRUE(one) << round;
        EXPECT_EQ(resent.get().stamp, one) << round;
        EXPECT_TRUE(elsewhere.get().stamp) << round;
    }
    EXPECT_EQ(a->strokesAfter(Canvas, 0, 100)->size(), 20u);

    // B stores on `other` behind A's back: A's memory of its stamp is behind the database.
    const auto before = a->lastStamp(other);
    ASSERT_TRUE(cluster.run("velmo", "UPDATE canvases SET last_stamp = last_stamp + 1000 WHERE "
                                     "canvas_id = '" +
                                         other + "'"));
    auto behind = async(*a, other, stroke("bob", 100));
    auto current = async(*a, Canvas, stroke("anna", 100));
    const auto stamp = behind.get().stamp;
    ASSERT_TRUE(stamp);
    EXPECT_GT(*stamp, before + 1000);
    EXPECT_TRUE(current.get().stamp);
    EXPECT_EQ(a->lastStamp(other), *stamp);
    EXPECT_EQ(a->strokesAfter(other, before, 100)->size(), 1u);
}

// A poll whose user's unsent strokes are all in memory reads and moves the mark in one step.
TEST_F(PgStoreTest, APollWhoseStrokesAreAllInMemoryTakesThemInOneStep) {
    DeliveryBook& marks = a->deliveries();
    const auto first = a->appendStroke(Canvas, stroke("anna", 1), Now);
    EXPECT_FALSE(marks.takeAll(Canvas, "bob", Now, 1 << 20)); // a user not known here
    ASSERT_TRUE(marks.take(Canvas, "bob", Now));
    marks.advance(Canvas, "bob", *first);
    EXPECT_FALSE(marks.takeAll(Canvas, "bob", Now, 1 << 20)); // nothing new
    const auto second = a->appendStroke(Canvas, stroke("anna", 2), Now);
    const auto third = a->appendStroke(Canvas, stroke("anna", 3), Now);
    // Bob had the second stroke from B already: only the third comes.
    ASSERT_EQ(b->deliveries().take(Canvas, "bob", Now)->mark, *first);
    b->deliveries().advance(Canvas, "bob", *second);
    EXPECT_FALSE(marks.takeAll(Canvas, "bob", Now, 10)); // beyond the reply's bound
    const auto all = marks.takeAll(Canvas, "bob", Now, 1 << 20);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->mark, *second);
    ASSERT_EQ(all->strokes.size(), 1u);
    EXPECT_EQ(all->strokes[0].server_time, *third);
    EXPECT_FALSE(marks.takeAll(Canvas, "bob", Now, 1 << 20));
    ASSERT_TRUE(eventually([&] { return b->lastStamp(Canvas) == *third; }));
    EXPECT_EQ(b->deliveries().take(Canvas, "bob", Now)->mark, *third); // moved in the database
}

TEST_F(PgStoreTest, APollWithNothingNewNeedsNoDatabase) {
    DeliveryBook& marks = a->deliveries();
    const auto stamp = a->appendStroke(Canvas, stroke("anna", 1), Now);
    ASSERT_TRUE(marks.take(Canvas, "bob", Now));
    marks.advance(Canvas, "bob", *stamp);
    cluster.stop();
    // Known to be up to date: answered from memory while the database is gone.
    const auto known = marks.take(Canvas, "bob", Now + 1);
    ASSERT_TRUE(known);
    EXPECT_EQ(known->mark, *stamp);
    // A user this instance knows nothing of needs the database.
    EXPECT_FALSE(marks.take(Canvas, "carol", Now + 1));
    EXPECT_FALSE(a->appendStroke(Canvas, stroke("anna", 2), Now + 2));
    EXPECT_FALSE(a->findCanvases("", 10));
    EXPECT_EQ(a->canvas(Canvas), CanvasLookup::failure()); // not "no such canvas"
}

TEST_F(PgStoreTest, CanvasRowsImagesAndSearchAgreeOnBothInstances) {
    ASSERT_TRUE(a->appendStroke("Anna@20100704123456789", stroke("anna", 1), Now));
    ASSERT_TRUE(b->appendStroke("bob@20100704123456790", stroke("bob", 1), Now + 5));
    ASSERT_TRUE(a->setImageUrl("ANNA@20100704123456791", ImageKind::Thumbnail,
                               "http://x.test/t.png", Now + 9));
    ASSERT_TRUE(b->setImageUrl("ANNA@20100704123456791", ImageKind::FullImage,
                               "http://x.test/f.png", Now + 9));
    for (PgStore* store : {a.get(), b.get()}) {
        const auto anna = store->findCanvases("aNNa", 10);
        ASSERT_TRUE(anna);
        ASSERT_EQ(anna->size(), 2u);
        EXPECT_EQ((*anna)[0].canvas_id, "ANNA@20100704123456791");
        EXPECT_EQ((*anna)[0].thumbnail_url, "http://x.test/t.png");
        EXPECT_EQ((*anna)[0].fullimage_url, "http://x.test/f.png");
        EXPECT_EQ((*anna)[1].canvas_id, "Anna@20100704123456789");
        EXPECT_EQ(store->findCanvases("", 10)->size(), 3u);
        EXPECT_EQ(store->findCanvases("", 1)->size(), 1u);
        EXPECT_TRUE(store->findCanvases("nobody", 10)->empty());
        EXPECT_EQ(store->canvas("nobody@1"), CanvasLookup::none());
    }
    const std::string png("\x89PNG\r\n\x1a\n\0\0binary", 17);
    ASSERT_TRUE(a->putImage("abc123", png, Now));
    ASSERT_TRUE(b->putImage("abc123", "another copy", Now));
    EXPECT_EQ(b->image("abc123"), png);
    EXPECT_FALSE(b->image("def456"));
}

} // namespace
} // namespace velmo::server
