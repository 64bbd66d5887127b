#include "store/postgres/pg_connection.h"

#include "support/pg_cluster.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <thread>

namespace velmo::server {
namespace {

class PgConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!cluster.running()) {
            GTEST_SKIP() << cluster.problem();
        }
    }
    testing::PgCluster cluster;
};

TEST_F(PgConnectionTest, ValuesGoAndComeBackInBinaryAsTheyAre) {
    auto conn = PgConnection::open(cluster.uri());
    const std::string bytes("a\0b\xff\x80 'quote\"", 13);
    const int64_t integers[] = {0,
                                -1,
                                1,
                                std::numeric_limits<int64_t>::min(),
                                std::numeric_limits<int64_t>::max(),
                                1291201234567};
    for (const int64_t value : integers) {
        const PgResult result =
            conn->exec("SELECT $1::bytea, $2::int8, $3::bool, $4::bool, $5::bytea IS NULL, "
                       "length($1), $6::int4",
                       PgParams()
                           .bytes(bytes)
                           .int64(value)
                           .boolean(true)
                           .boolean(false)
                           .bytesOrNull(std::nullopt)
                           .int64(value % 1000));
        ASSERT_EQ(result.rows(), 1);
        EXPECT_EQ(result.bytes(0, 0), bytes);
        EXPECT_EQ(result.int64(0, 1), value);
        EXPECT_TRUE(result.boolean(0, 2));
        EXPECT_FALSE(result.boolean(0, 3));
        EXPECT_TRUE(result.boolean(0, 4));
        EXPECT_EQ(result.int64(0, 5), 13); // an int4 column
        EXPECT_EQ(result.int64(0, 6), value % 1000);
    }
    // Arrays, element by element in order, NULLs kept; an empty array is no row.
    const PgResult rows = conn->exec(
        "SELECT b, b IS NULL, t, n FROM unnest($1::bytea[], $2::text[], $3::int8[]) AS u(b, t, n)",
        PgParams()
            .bytesArray({bytes, std::nullopt, std::string_view()})
            .textArray({"one", "", "three"})
            .int64Array({std::numeric_limits<int64_t>::min(), -1, 7}));
    ASSERT_EQ(rows.rows(), 3);
    EXPECT_EQ(rows.bytes(0, 0), bytes);
    EXPECT_TRUE(rows.boolean(1, 1));
    EXPECT_FALSE(rows.boolean(2, 1));
    EXPECT_EQ(rows.bytes(2, 0), "");
    EXPECT_EQ(rows.bytes(2, 2), "three");
    EXPECT_EQ(rows.int64(0, 3), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(rows.int64(1, 3), -1);
    const PgResult none =
        conn->exec("SELECT count(*) FROM unnest($1::int8[])", PgParams().int64Array({}));
    EXPECT_EQ(none.int64(0, 0), 0);
}

TEST_F(PgConnectionTest, APipelineAnswersInOrderAndReportsItsFirstFailure) {
    auto conn = PgConnection::open(cluster.uri());
    const auto results = conn->pipeline({{"SELECT $1::int8 + 1", PgParams().int64(1)},
                                         {"SELECT 10::int8 UNION ALL SELECT 20", {}}});
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].int64(0, 0), 2);
    ASSERT_EQ(results[1].rows(), 2);
    EXPECT_EQ(results[1].int64(1, 0), 20);
    try {
        conn->pipeline({{"SELECT 1", {}}, {"SELECT * FROM no_such_table", {}}, {"SELECT 2", {}}});
        ADD_FAILURE() << "a failed statement went unreported";
    } catch (const PgError& e) {
        EXPECT_NE(std::string(e.what()).find("no_such_table"), std::string::npos) << e.what();
    }
    // The connection goes on.
    EXPECT_TRUE(conn->usable());
    EXPECT_EQ(conn->exec("SELECT 3::int8").int64(0, 0), 3);
    {
        PgTransaction left(*conn);
        conn->run("CREATE TABLE t (x int)");
    } // rolled back
    EXPECT_THROW(conn->exec("SELECT * FROM t"), PgError);
}

TEST_F(PgConnectionTest, APoolWaitsForAFreeConnectionAndReplacesALostOne) {
    PgPool pool(cluster.uri(), 1);
    std::atomic<bool> second_got_one{false};
    std::thread second;
    {
        auto lease = pool.lease();
        second = std::thread([&] {
            auto other = pool.lease();
            second_got_one = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(second_got_one); // waits while the only connection is out
        // This connection is ended by the server: the pool must not hand it out again.
        cluster.run("postgres", "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                                "datname = 'velmo' AND pid <> pg_backend_pid()");
        EXPECT_THROW(lease->exec("SELECT 1"), PgError);
    }
    second.join();
    EXPECT_TRUE(second_got_one);
    auto fresh = pool.lease();
    EXPECT_EQ(fresh->exec("SELECT 5::int8").int64(0, 0), 5);
    PgPool nowhere("postgresql://postgres@127.0.0.1:1/none", 1);
    EXPECT_THROW(nowhere.lease(), PgError);
    EXPECT_THROW(nowhere.lease(), PgError); // a failed open gives its place back
}

} // namespace
} // namespace velmo::server
