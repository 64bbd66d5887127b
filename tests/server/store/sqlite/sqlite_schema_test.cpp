#include "store/sqlite/sqlite_schema.h"

#include "store/sqlite/sqlite_db.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

int64_t integer(SqliteConnection& db, const char* sql) {
    SqliteQuery query(db, sql);
    EXPECT_TRUE(query.step()) << sql;
    return query.integer(0);
}

// The migrations from version 1 on, with data in the tables, are checked through the store
// (sqlite_store_test.cpp); these are the schema's own promises.
TEST(SqliteSchema, AnEmptyDatabaseGetsEveryTableOnce) {
    testing::TempDir dir;
    auto db = SqliteConnection::open(dir.file("db.sqlite"), true);
    SqliteSchema::migrate(*db);
    EXPECT_EQ(integer(*db, "PRAGMA user_version"), SqliteSchema::Version);
    for (const char* table : {"canvases", "strokes", "images", "saved_marks", "fresh_strokes",
                              "journal_state", "user_keys"}) {
        SqliteQuery query(*db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                               "name = ?1");
        query.bind(1, table);
        ASSERT_TRUE(query.step());
        EXPECT_EQ(query.integer(0), 1) << table;
    }
    EXPECT_EQ(integer(*db, "SELECT copied FROM journal_state"), 0);
    // Again on an up-to-date database: nothing changes.
    SqliteSchema::migrate(*db);
    EXPECT_EQ(integer(*db, "SELECT count(*) FROM journal_state"), 1);
}

TEST(SqliteSchema, ANewerDatabaseIsRefusedUntouched) {
    testing::TempDir dir;
    auto db = SqliteConnection::open(dir.file("db.sqlite"), true);
    db->exec("PRAGMA user_version=99");
    try {
        SqliteSchema::migrate(*db);
        ADD_FAILURE() << "a database from a newer version was migrated";
    } catch (const SqliteError& e) {
        EXPECT_NE(std::string(e.what()).find("newer"), std::string::npos) << e.what();
    }
    EXPECT_EQ(integer(*db, "PRAGMA user_version"), 99);
    EXPECT_EQ(integer(*db, "SELECT count(*) FROM sqlite_master"), 0);
}

} // namespace
} // namespace velmo::server
