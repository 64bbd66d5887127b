#include "store/postgres/pg_schema.h"

#include "store/postgres/pg_connection.h"
#include "store/postgres/pg_store.h"
#include "support/pg_cluster.h"

#include <gtest/gtest.h>

#include <thread>

namespace velmo::server {
namespace {

constexpr const char* Canvas = "anna@20100704123456789";
constexpr int64_t Now = 1291201234567;

canvas::MWStroke stroke() {
    canvas::MWStroke s;
    s.client_time = 7;
    s.user_name = "bob";
    s.points_x = {1000};
    s.points_y = {2000};
    return s;
}

class PgSchemaTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!cluster.running()) {
            GTEST_SKIP() << cluster.problem();
        }
    }
    testing::PgCluster cluster;
};

TEST_F(PgSchemaTest, AnEmptyDatabaseGetsTheNewestSchemaEvenFromTwoInstancesAtOnce) {
    std::vector<std::thread> starts;
    std::vector<std::string> errors(2);
    for (int i = 0; i < 2; ++i) {
        starts.emplace_back([&, i] {
            try {
                auto conn = PgConnection::open(cluster.uri());
                PgSchema::migrate(*conn);
            } catch (const PgError& e) {
                errors[i] = e.what();
            }
        });
    }
    for (auto& t : starts) {
        t.join();
    }
    EXPECT_EQ(errors, std::vector<std::string>(2));
    auto conn = PgConnection::open(cluster.uri());
    EXPECT_EQ(PgSchema::version(*conn), PgSchema::Version);
    for (const char* table : {"canvases", "strokes", "images", "delivery_marks", "user_keys"}) {
        EXPECT_EQ(cluster.value(std::string("SELECT to_regclass('") + table + "') IS NOT NULL"),
                  "t")
            << table;
    }
}

TEST_F(PgSchemaTest, EachEarlierVersionIsBroughtUpKeepingItsData) {
    for (int version = 1; version < PgSchema::Version; ++version) {
        const std::string name = "from_" + std::to_string(version);
        ASSERT_TRUE(cluster.run("postgres", "CREATE DATABASE " + name));
        {
            auto conn = PgConnection::open(cluster.uri(name));
            PgSchema::migrateTo(*conn, version);
            EXPECT_EQ(PgSchema::version(*conn), version);
        }
        // What a server of that version left: a canvas with one stroke and a picture.
        // From version 5 on, a server writes the minute of the activity with it.
        const std::string counted = version >= 5   ? ", stroke_bytes, activity_bucket) VALUES ('"
                                    : version >= 4 ? ", stroke_bytes) VALUES ('"
                                                   : ") VALUES ('";
        const std::string bytes = version >= 5   ? ", 15, " + std::to_string(Now / 60000)
                                  : version >= 4 ? ", 15"
                                                 : "";
        ASSERT_TRUE(cluster.run(
            name, std::string("INSERT INTO canvases (canvas_id, nickname_folded, date_id, "
                              "last_stamp, last_activity, stroke_count") +
                      counted + Canvas + "', 'anna', '0hSboGx', " + std::to_string(Now) + ", " +
                      std::to_string(Now) + ", 1" + bytes + "); INSERT INTO strokes VALUES ('" +
                      Canvas + "', " + std::to_string(Now) +
                      ", 5, 'anna', 0, 'the stroke text'); " +
                      "INSERT INTO images VALUES ('ab', 'png', 1)"));
        std::string error;
        auto store = PgStore::open(cluster.uri(name), nullptr, &error);
        ASSERT_TRUE(store) << "from version " << version << ": " << error;
        EXPECT_EQ(store->lastStamp(Canvas), Now) << version;
        const auto strokes = store->strokesAfter(Canvas, 0, 10);
        ASSERT_TRUE(strokes);
        ASSERT_EQ(strokes->size(), 1u);
        EXPECT_EQ(strokes->front().text, "the stroke text");
        EXPECT_EQ(store->image("ab"), "png");
        EXPECT_EQ(store->canvasSize(Canvas), (Store::CanvasSize{1, 15})); // counted on the way
        EXPECT_EQ(store->findCanvases("ANNA", 10)->size(), 1u);
        // Its activity keeps its place among canvases active since.
        ASSERT_TRUE(store->appendStroke("bob@20100704123456789", stroke(), Now - 3'600'000));
        const auto listed = store->findCanvases("", 10);
        ASSERT_TRUE(listed && listed->size() == 2u) << version;
        EXPECT_EQ(listed->front().canvas_id, Canvas) << version;
        store.reset();
        auto conn = PgConnection::open(cluster.uri(name));
        EXPECT_EQ(PgSchema::version(*conn), PgSchema::Version);
    }
}

TEST_F(PgSchemaTest, ADatabaseOfANewerServerIsRefused) {
    {
        auto conn = PgConnection::open(cluster.uri());
        PgSchema::migrate(*conn);
    }
    ASSERT_TRUE(cluster.run("velmo", "UPDATE schema_version SET version = version + 1"));
    std::string error;
    EXPECT_FALSE(PgStore::open(cluster.uri(), nullptr, &error));
    EXPECT_NE(error.find("newer server"), std::string::npos) << error;
    EXPECT_FALSE(PgStore::open("postgresql://postgres@127.0.0.1:1/none", nullptr, &error));
    EXPECT_NE(error.find("cannot connect"), std::string::npos) << error;
}

} // namespace
} // namespace velmo::server
