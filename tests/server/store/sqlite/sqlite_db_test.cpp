#include "store/sqlite/sqlite_db.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

int64_t count(SqliteConnection& db, const char* sql) {
    SqliteQuery query(db, sql);
    EXPECT_TRUE(query.step());
    return query.integer(0);
}

class SqliteDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        db = SqliteConnection::open(dir.file("db.sqlite"), true);
        db->exec("CREATE TABLE t (k INTEGER PRIMARY KEY, v TEXT)");
    }
    testing::TempDir dir;
    std::unique_ptr<SqliteConnection> db;
};

TEST_F(SqliteDbTest, ATransactionRollsBackUnlessCommitted) {
    static constexpr const char* Insert = "INSERT INTO t (k, v) VALUES (?1, ?2)";
    {
        SqliteTransaction transaction(*db);
        SqliteQuery(*db, Insert).bind(1, int64_t{1}).bind(2, "one").step();
    }
    EXPECT_EQ(count(*db, "SELECT count(*) FROM t"), 0);
    {
        SqliteTransaction transaction(*db);
        SqliteQuery(*db, Insert).bind(1, int64_t{1}).bind(2, "one").step();
        transaction.commit();
    }
    EXPECT_EQ(count(*db, "SELECT count(*) FROM t"), 1);
    // A failed step inside a transaction throws and leaves nothing of it.
    EXPECT_THROW(
        {
            SqliteTransaction transaction(*db);
            SqliteQuery(*db, Insert).bind(1, int64_t{2}).bind(2, "two").step();
            SqliteQuery(*db, Insert).bind(1, int64_t{1}).bind(2, "again").step();
            transaction.commit();
        },
        SqliteError);
    EXPECT_EQ(count(*db, "SELECT count(*) FROM t"), 1);
}

TEST_F(SqliteDbTest, StatementsAreCachedAndReadBackBytesNullsAndBlobs) {
    static constexpr const char* Insert = "INSERT INTO t (k, v) VALUES (?1, ?2)";
    static constexpr const char* Select = "SELECT v FROM t WHERE k = ?1";
    EXPECT_EQ(db->prepare(Select), db->prepare(Select));
    SqliteQuery(*db, Insert).bind(1, int64_t{1}).bind(2, std::string_view("a\0b", 3)).step();
    SqliteQuery(*db, Insert).bind(1, int64_t{2}).bindNullable(2, std::nullopt).step();
    SqliteQuery(*db, Insert).bind(1, int64_t{3}).bindBlob(2, std::string_view("\0\x01", 2)).step();
    const struct {
        int64_t key;
        bool null;
        std::string value;
    } cases[] = {{1, false, std::string("a\0b", 3)}, {2, true, ""}, {3, false, {"\0\x01", 2}}};
    for (const auto& c : cases) {
        SqliteQuery query(*db, Select); // reused: each use resets its bindings
        query.bind(1, c.key);
        ASSERT_TRUE(query.step()) << c.key;
        EXPECT_EQ(query.isNull(0), c.null) << c.key;
        EXPECT_EQ(query.text(0), c.value) << c.key;
        EXPECT_FALSE(query.step());
    }
    EXPECT_THROW(db->prepare("SELECT nonsense FROM nowhere"), SqliteError);
    EXPECT_THROW(db->exec("NOT SQL"), SqliteError);
    EXPECT_THROW(SqliteConnection::open(dir.file("missing/db.sqlite"), true), SqliteError);
    EXPECT_THROW(SqliteConnection::open(dir.file("absent.sqlite"), false), SqliteError);
}

TEST_F(SqliteDbTest, TheWriterIsDurableInWalModeAndReadersCannotWrite) {
    db.reset();
    auto writer = SqliteWriter::open(dir.file("db.sqlite"));
    {
        const auto held = writer->hold();
        SqliteQuery mode(*held, "PRAGMA journal_mode");
        ASSERT_TRUE(mode.step());
        EXPECT_EQ(mode.text(0), "wal");
        EXPECT_EQ(count(*held, "PRAGMA synchronous"), 2); // FULL
        held->exec("INSERT INTO t (k, v) VALUES (1, 'one')");
    }
    auto reader = SqliteConnection::openReader(dir.file("db.sqlite"));
    EXPECT_EQ(count(*reader, "SELECT count(*) FROM t"), 1);
    EXPECT_THROW(reader->exec("INSERT INTO t (k, v) VALUES (2, 'two')"), SqliteError);
}

TEST_F(SqliteDbTest, ReadersAreLentOneCallAtATimeAndKept) {
    SqliteReaders readers(dir.file("db.sqlite"));
    SqliteConnection* first = nullptr;
    {
        auto lease = readers.lease();
        first = &*lease;
        auto other = readers.lease(); // the first is still lent: a second one opens
        EXPECT_NE(&*other, first);
        EXPECT_EQ(count(*other, "SELECT count(*) FROM t"), 0);
    }
    auto again = readers.lease();
    auto and_again = readers.lease();
    EXPECT_TRUE(&*again == first || &*and_again == first);
    EXPECT_THROW(SqliteReaders(dir.file("absent.sqlite")).lease(), SqliteError);
}

} // namespace
} // namespace velmo::server
