#include "store/store.h"
#include "support/store_backends.h"

#include <gtest/gtest.h>

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

// What every backend promises alike, checked on each.
class StoreContractTest : public ::testing::TestWithParam<testing::Backend> {
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
    testing::TempDir dir;
    std::unique_ptr<testing::BackendStore> backend;
    Store* store = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Backends, StoreContractTest,
                         ::testing::Values(testing::Backend::Sqlite, testing::Backend::Postgres),
                         testing::backendName);

TEST_P(StoreContractTest, AKeyBindsItsUserNameTheFirstTimeAndForEver) {
    struct Case {
        const char* user;
        const char* key;
        KeyCheck expected;
    };
    const Case cases[] = {
        {"anna@1", "", KeyCheck::Unbound},        // never bound, no key
        {"anna@1", "hash-a", KeyCheck::Matches},  // binds
        {"anna@1", "hash-a", KeyCheck::Matches},  // the same key again
        {"anna@1", "hash-b", KeyCheck::Mismatch}, // another key
        {"anna@1", "", KeyCheck::Mismatch},       // no key for a bound name
        {"bob@1", "", KeyCheck::Unbound},         // others are not touched
        {"bob@1", "hash-a", KeyCheck::Matches},   // the same hash may bind another name
    };
    for (const Case& c : cases) {
        EXPECT_EQ(store->checkUserKey(c.user, c.key, Now), c.expected)
            << c.user << " with '" << c.key << "'";
    }
}

TEST_P(StoreContractTest, StrokesByAUserAndTheSizeOfACanvasFollowAppendsAndDeletes) {
    EXPECT_EQ(store->hasStrokeBy(Canvas, "anna@1"), false);
    EXPECT_EQ(store->canvasSize(Canvas), Store::CanvasSize{});
    const auto first = store->appendStroke(Canvas, stroke("anna@1", 1), Now);
    ASSERT_TRUE(first);
    ASSERT_TRUE(store->appendStroke(Canvas, stroke("anna@1", 2), Now));
    ASSERT_TRUE(store->appendStroke("other@1", stroke("bob@1", 1), Now));
    const auto stored = store->strokesAfter(Canvas, 0, 10);
    ASSERT_TRUE(stored);
    int64_t bytes = 0;
    for (const StoredStroke& s : *stored) {
        bytes += static_cast<int64_t>(s.text.size());
    }
    EXPECT_EQ(store->canvasSize(Canvas), (Store::CanvasSize{2, bytes}));
    EXPECT_EQ(store->hasStrokeBy(Canvas, "anna@1"), true);
    EXPECT_EQ(store->hasStrokeBy(Canvas, "bob@1"), false);
    EXPECT_EQ(store->hasStrokeBy("other@1", "bob@1"), true);
    // A resend is stored once and counted once.
    EXPECT_EQ(store->appendStroke(Canvas, stroke("anna@1", 1), Now + 5), first);
    EXPECT_EQ(store->canvasSize(Canvas)->strokes, 2);
    ASSERT_EQ(store->deleteStrokes(Canvas, "anna@1", 1, Now), 1u);
    ASSERT_EQ(store->deleteStrokes(Canvas, "anna@1", 2, Now), 1u);
    EXPECT_EQ(store->canvasSize(Canvas), Store::CanvasSize{});
    EXPECT_EQ(store->hasStrokeBy(Canvas, "anna@1"), false);
}

TEST_P(StoreContractTest, ModerationListsCanvasesAndUsersAndRemovesTheirStrokes) {
    ASSERT_EQ(store->checkUserKey("anna@1", "hash-a", Now), KeyCheck::Matches);
    for (int64_t t = 1; t <= 2; ++t) {
        ASSERT_TRUE(store->appendStroke(Canvas, stroke("anna@1", t), Now));
    }
    ASSERT_TRUE(store->appendStroke(Canvas, stroke("bob@1", 1), Now));
    ASSERT_TRUE(store->appendStroke("b@1", stroke("bob@1", 1), Now + 1));
    ASSERT_TRUE(store->setImageUrl("c@1", ImageKind::Thumbnail, "http://x/c.png", Now + 2));

    // Canvases by ID, a page at a time.
    const auto all = store->listCanvases("", 10);
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 3u);
    // The last change is the newest stamp: a few ms after Now when several came at once.
    EXPECT_EQ((*all)[0].canvas_id, Canvas);
    EXPECT_EQ((*all)[0].strokes, 3);
    EXPECT_GE((*all)[0].last_activity, Now);
    EXPECT_EQ((*all)[1].canvas_id, "b@1");
    EXPECT_EQ((*all)[1].strokes, 1);
    EXPECT_EQ((*all)[2].canvas_id, "c@1");
    EXPECT_EQ((*all)[2].strokes, 0);
    const auto first = store->listCanvases("", 2);
    ASSERT_TRUE(first && first->size() == 2u);
    const auto rest = store->listCanvases(first->back().canvas_id, 2);
    ASSERT_TRUE(rest && rest->size() == 1u);
    EXPECT_EQ(rest->front().canvas_id, "c@1");

    // Users by name with the key each is bound to.
    EXPECT_EQ(store->canvasUsers(Canvas, "", 10),
              (std::vector<CanvasUser>{{"anna@1", 2, "hash-a"}, {"bob@1", 1, ""}}));
    EXPECT_EQ(store->canvasUsers(Canvas, "anna@1", 10),
              (std::vector<CanvasUser>{{"bob@1", 1, ""}}));
    EXPECT_EQ(store->canvasUsers("nowhere@1", "", 10), std::vector<CanvasUser>{});

    // Every user of the canvas owes a notice once strokes are removed, the removed one too.
    for (const char* user : {"anna@1", "bob@1"}) {
        ASSERT_TRUE(backend->marks().take(Canvas, user, Now));
    }
    const int64_t last = store->lastStamp(Canvas);
    EXPECT_EQ(store->removeStrokes(Canvas, "anna@1", Now + 10), 2u);
    backend->marks().noteDelete(Canvas, {});
    for (const char* user : {"anna@1", "bob@1"}) {
        const auto taken = backend->marks().take(Canvas, user, Now + 11);
        ASSERT_TRUE(taken);
        EXPECT_TRUE(taken->owes_notice) << user;
    }
    const auto left = store->strokesAfter(Canvas, 0, 10);
    ASSERT_TRUE(left);
    ASSERT_EQ(left->size(), 1u);
    EXPECT_EQ(store->canvasSize(Canvas),
              (Store::CanvasSize{1, static_cast<int64_t>(left->front().text.size())}));
    EXPECT_EQ(store->hasStrokeBy(Canvas, "anna@1"), false);
    EXPECT_EQ(store->lastStamp(Canvas), last);
    EXPECT_EQ(store->removeStrokes(Canvas, "nobody@1", Now + 10), 0u);

    // A whole canvas goes with its pictures; its stamps go on from where they were.
    EXPECT_EQ(store->removeStrokes(Canvas, std::nullopt, Now + 12), 1u);
    EXPECT_EQ(store->removeStrokes("c@1", std::nullopt, Now + 12), 0u);
    EXPECT_EQ(store->canvas(Canvas), CanvasLookup::none());
    EXPECT_EQ(store->canvas("c@1"), CanvasLookup::none());
    EXPECT_EQ(store->strokesAfter(Canvas, 0, 10), std::vector<StoredStroke>{});
    EXPECT_EQ(store->canvasSize(Canvas), Store::CanvasSize{});
    const auto listed = store->listCanvases("", 10);
    ASSERT_TRUE(listed);
    ASSERT_EQ(listed->size(), 1u);
    EXPECT_EQ(listed->front().canvas_id, "b@1");
    const auto again = store->appendStroke(Canvas, stroke("bob@1", 5), Now);
    ASSERT_TRUE(again);
    EXPECT_GT(*again, last);
    EXPECT_EQ(store->canvasSize(Canvas)->strokes, 1);
}

TEST_P(StoreContractTest, BansAreKeptUntilLifted) {
    EXPECT_EQ(store->bans(), std::vector<Ban>{});
    const Ban user{Ban::Kind::UserName, "vandal@1", Now};
    const Ban key{Ban::Kind::Key, std::string(64, 'a'), Now + 1};
    const Ban other{Ban::Kind::UserName, "anna@1", Now + 2};
    EXPECT_TRUE(store->setBan(key, true));
    EXPECT_TRUE(store->setBan(user, true));
    EXPECT_TRUE(store->setBan(Ban{Ban::Kind::UserName, "vandal@1", Now + 9}, true)); // kept
    EXPECT_TRUE(store->setBan(other, true));
    EXPECT_EQ(store->bans(), (std::vector<Ban>{other, user, key}));
    EXPECT_TRUE(store->setBan(user, false));
    EXPECT_TRUE(store->setBan(user, false)); // lifted already
    EXPECT_EQ(store->bans(), (std::vector<Ban>{other, key}));
}

} // namespace
} // namespace velmo::server
