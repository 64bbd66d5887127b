#include "store/sqlite/journal_copy.h"

#include "store/sqlite/sqlite_db.h"
#include "store/sqlite/sqlite_schema.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

class JournalCopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        db = SqliteConnection::open(path(), true);
        SqliteSchema::migrate(*db);
    }
    std::string path() const { return dir.file("canvas.sqlite"); }
    int64_t integer(const char* sql, std::string_view canvas_id = {}) {
        SqliteQuery query(*db, sql);
        if (!canvas_id.empty()) {
            query.bind(1, canvas_id);
        }
        EXPECT_TRUE(query.step()) << sql;
        return query.integer(0);
    }
    testing::TempDir dir;
    std::unique_ptr<SqliteConnection> db;
};

TEST_F(JournalCopyTest, CopiesCountPerCanvasAndARecordCopiedTwiceCountsOnce) {
    JournalPart part;
    // Out of canvas order, as appends come: the copy sorts them.
    const struct {
        const char* canvas_id;
        int64_t server_time;
    } added[] = {{"anna@20100704123456789", 10}, {"bob@1", 11}, {"anna@20100704123456789", 12}};
    for (const auto& a : added) {
        part.add(JournalPart::strokeKey(a.canvas_id, "u@1", a.server_time), a.canvas_id,
                 a.server_time, a.server_time, "u@1", "text");
    }
    part.last_sequence = 17;
    for (int round = 0; round < 2; ++round) {
        SqliteTransaction transaction(*db);
        insertJournaled(*db, part);
        transaction.commit();
        EXPECT_EQ(integer("SELECT count(*) FROM strokes"), 3);
        EXPECT_EQ(integer("SELECT stroke_count FROM canvases WHERE canvas_id = ?1",
                          "anna@20100704123456789"),
                  2);
        EXPECT_EQ(integer("SELECT last_stamp FROM canvases WHERE canvas_id = ?1",
                          "anna@20100704123456789"),
                  12);
        EXPECT_EQ(integer("SELECT last_activity FROM canvases WHERE canvas_id = ?1", "bob@1"), 11);
        EXPECT_EQ(integer("SELECT copied FROM journal_state"), 17);
    }
    // The row knows the canvas's creator and share link.
    SqliteQuery row(*db, "SELECT nickname, date_id FROM canvases WHERE canvas_id = ?1");
    row.bind(1, "anna@20100704123456789");
    ASSERT_TRUE(row.step());
    EXPECT_EQ(row.text(0), "anna");
    EXPECT_EQ(row.text(1), "0hSboGx");
}

TEST_F(JournalCopyTest, OpeningCopiesWhatTheJournalsKeptAndNumbersOnFromIt) {
    {
        auto opened = openJournals(path(), *db, nullptr);
        ASSERT_TRUE(opened);
        EXPECT_EQ(opened->files.size(), 2u);
        EXPECT_EQ(opened->next_sequence, 1u);
        std::string records;
        for (uint64_t sequence = 1; sequence <= 3; ++sequence) {
            const auto stamp = static_cast<int64_t>(100 + sequence);
            StrokeJournal::encode(records, sequence, "c@1", stamp, stamp, "u@1", "text");
        }
        ASSERT_TRUE(opened->files[0]->write(records));
    }
    EXPECT_EQ(integer("SELECT count(*) FROM strokes"), 0);
    {
        auto opened = openJournals(path(), *db, nullptr);
        ASSERT_TRUE(opened);
        EXPECT_EQ(opened->next_sequence, 4u);
        EXPECT_EQ(integer("SELECT count(*) FROM strokes"), 3);
        EXPECT_EQ(integer("SELECT copied FROM journal_state"), 3);
    }
    // Those records are copied: a third start finds nothing more.
    auto opened = openJournals(path(), *db, nullptr);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->next_sequence, 4u);
    EXPECT_EQ(integer("SELECT stroke_count FROM canvases WHERE canvas_id = ?1", "c@1"), 3);

    std::string error;
    EXPECT_FALSE(openJournals(dir.file("missing/canvas.sqlite"), *db, &error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
}

} // namespace
} // namespace velmo::server
