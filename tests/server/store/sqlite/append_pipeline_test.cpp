#include "store/sqlite/append_pipeline.h"

#include "canvas/stroke_text.h"
#include "store/sqlite/sqlite_db.h"
#include "store/sqlite/sqlite_schema.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <thread>

namespace velmo::server {
namespace {

using namespace std::chrono_literals;

// The pipeline on its own: a database with its schema and journals, memory, and the pipeline
// over them, as the store puts them together.
class AppendPipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        writer = SqliteWriter::open(path());
        std::optional<OpenedJournals> journals;
        {
            const auto db = writer->hold();
            SqliteSchema::migrate(*db);
            journals = openJournals(path(), *db, nullptr);
        }
        ASSERT_TRUE(journals);
        pipeline = std::make_unique<AppendPipeline>(
            *writer, recent, SqliteConnection::openReader(path()), std::move(*journals));
    }
    std::string path() const { return dir.file("canvas.sqlite"); }

    std::future<std::optional<int64_t>> append(const std::string& canvas_id, int64_t client_time,
                                               int64_t now_ms) {
        auto pending = std::make_unique<PendingAppend>();
        pending->canvas_id = canvas_id;
        pending->stroke.client_time = client_time;
        pending->stroke.user_name = "anna@1";
        pending->stroke.points_x = {1, 2};
        pending->stroke.points_y = {3, 4};
        pending->now_ms = now_ms;
        auto answered = std::make_shared<std::promise<std::optional<int64_t>>>();
        auto stamp = answered->get_future();
        pending->done = [answered](Appended a) { answered->set_value(a.stamp); };
        pipeline->append(std::move(pending));
        return stamp;
    }

    int64_t copiedStrokes() {
        auto reader = SqliteConnection::openReader(path());
        SqliteQuery query(*reader, "SELECT count(*) FROM strokes");
        EXPECT_TRUE(query.step());
        return query.integer(0);
    }

    testing::TempDir dir;
    std::unique_ptr<SqliteWriter> writer;
    RecentStrokes recent;
    std::unique_ptr<AppendPipeline> pipeline;
};

TEST_F(AppendPipelineTest, AnswersDurableStampsPublishesThemAndCopiesThemWhenAsked) {
    EXPECT_EQ(append("c@1", 1, 100).get(), 100);
    EXPECT_EQ(append("c@1", 2, 100).get(), 101);
    EXPECT_EQ(append("c@1", 1, 500).get(), 100); // resent: found in the journal
    EXPECT_EQ(append("d@1", 1, 50).get(), 50);
    // Answered only once remembered.
    EXPECT_EQ(recent.lastStamp("c@1"), 101);
    std::vector<StoredStroke> remembered;
    EXPECT_TRUE(recent.strokesAfter("c@1", 0, 10, remembered));
    ASSERT_EQ(remembered.size(), 2u);
    canvas::MWStroke expected;
    expected.client_time = 2;
    expected.user_name = "anna@1";
    expected.points_x = {1, 2};
    expected.points_y = {3, 4};
    expected.server_time = 101;
    EXPECT_EQ(remembered[1].text, canvas::stroke_to_text(expected));

    ASSERT_TRUE(pipeline->copyAllNow());
    EXPECT_EQ(copiedStrokes(), 3);
    EXPECT_EQ(append("c@1", 2, 900).get(), 101); // resent: found in the database
    EXPECT_EQ(append("c@1", 3, 0).get(), 102);
    pipeline.reset(); // the end copies the rest
    EXPECT_EQ(copiedStrokes(), 4);
}

TEST_F(AppendPipelineTest, APauseHoldsAppendsBackUntilItEnds) {
    EXPECT_EQ(append("c@1", 1, 100).get(), 100);
    std::future<std::optional<int64_t>> held;
    {
        auto pause = pipeline->pause();
        EXPECT_TRUE(pause.copyAll());
        EXPECT_EQ(copiedStrokes(), 1);
        held = append("c@1", 2, 100);
        EXPECT_EQ(held.wait_for(200ms), std::future_status::timeout);
        pause.waitUntilPublished(); // the held append is not committed: nothing to wait for
    }
    EXPECT_EQ(held.get(), 101);
}

} // namespace
} // namespace velmo::server
