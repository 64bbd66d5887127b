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

} // namespace
} // namespace velmo::server
