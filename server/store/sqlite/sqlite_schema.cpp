#include "store/sqlite/sqlite_schema.h"

#include "store/sqlite/sqlite_db.h"

#include <iterator>
#include <string>

namespace velmo::server {

namespace {

// Schema versions in order; entry i brings a database from version i to i + 1.
constexpr const char* Migrations[] = {
    R"sql(
    CREATE TABLE canvases (
        canvas_id TEXT PRIMARY KEY,
        nickname TEXT,
        date_id TEXT,
        last_stamp INTEGER NOT NULL DEFAULT 0,
        last_activity INTEGER NOT NULL DEFAULT 0,
        stroke_count INTEGER NOT NULL DEFAULT 0,
        thumbnail_url TEXT NOT NULL DEFAULT '',
        fullimage_url TEXT NOT NULL DEFAULT ''
    );
    CREATE INDEX canvases_by_nickname ON canvases (nickname COLLATE NOCASE, last_activity);
    CREATE INDEX canvases_by_activity ON canvases (last_activity);
    CREATE INDEX canvases_by_date_id ON canvases (date_id, last_activity);
    CREATE TABLE strokes (
        canvas_id TEXT NOT NULL,
        server_time INTEGER NOT NULL,
        client_time INTEGER NOT NULL,
        user_name TEXT NOT NULL,
        text TEXT NOT NULL
    );
    CREATE UNIQUE INDEX strokes_by_stamp ON strokes (canvas_id, server_time);
    CREATE INDEX strokes_by_author ON strokes (canvas_id, user_name, client_time);
    CREATE TABLE images (
        hash TEXT PRIMARY KEY,
        data BLOB NOT NULL,
        created INTEGER NOT NULL
    );
    )sql",
    R"sql(
    CREATE TABLE saved_marks (
        canvas_id TEXT NOT NULL,
        user_name TEXT NOT NULL,
        mark INTEGER NOT NULL,
        owes_notice INTEGER NOT NULL,
        last_seen INTEGER NOT NULL,
        PRIMARY KEY (canvas_id, user_name)
    );
    )sql",
    R"sql(
    CREATE TABLE fresh_strokes (
        canvas_id TEXT NOT NULL,
        server_time INTEGER NOT NULL,
        client_time INTEGER NOT NULL,
        user_name TEXT NOT NULL,
        text TEXT NOT NULL
    );
    )sql",
    // Appends go to the stroke journal; this is the sequence number of the last journal record
    // copied into the strokes table. fresh_strokes is only read to move what a crash of a
    // version 3 server left in it.
    R"sql(
    CREATE TABLE journal_state (
        id INTEGER PRIMARY KEY CHECK (id = 1),
        copied INTEGER NOT NULL
    );
    INSERT INTO journal_state (id, copied) VALUES (1, 0);
    )sql",
    // The hash of each user name's secret key, kept from the first command that brought one.
    R"sql(
    CREATE TABLE user_keys (
        user_name TEXT PRIMARY KEY,
        key_hash TEXT NOT NULL,
        bound INTEGER NOT NULL
    ) WITHOUT ROWID;
    )sql",
    // Bans of user names ('user') and of key hashes ('key'), kept until lifted.
    R"sql(
    CREATE TABLE bans (
        kind TEXT NOT NULL,
        value TEXT NOT NULL,
        since INTEGER NOT NULL,
        PRIMARY KEY (kind, value)
    ) WITHOUT ROWID;
    )sql",
};
static_assert(std::size(Migrations) == SqliteSchema::Version);

// What a version 3 server left in fresh_strokes, moved into the strokes table. Its canvas rows
// may lack the last commits' strokes: they are counted again. A stamp stands in for the time
// of its append, which it equals unless the canvas received several in one millisecond.
constexpr const char* MoveFresh =
    "INSERT INTO strokes (canvas_id, server_time, client_time, user_name, text) "
    "SELECT canvas_id, server_time, client_time, user_name, text FROM fresh_strokes "
    "ORDER BY canvas_id, server_time";
constexpr const char* ClearFresh = "DELETE FROM fresh_strokes";
constexpr const char* RecountFresh =
    "WITH fresh AS (SELECT canvas_id, max(server_time) AS newest, count(*) AS added FROM "
    "fresh_strokes GROUP BY canvas_id) UPDATE canvases SET last_stamp = max(last_stamp, "
    "fresh.newest), last_activity = max(last_activity, fresh.newest), stroke_count = "
    "fresh.added + (SELECT count(*) FROM strokes WHERE strokes.canvas_id = canvases.canvas_id) "
    "FROM fresh WHERE canvases.canvas_id = fresh.canvas_id";

} // namespace

void SqliteSchema::migrate(SqliteConnection& writer) {
    int version = 0;
    {
        SqliteQuery query(writer, "PRAGMA user_version");
        if (query.step()) {
            version = static_cast<int>(query.integer(0));
        }
    }
    if (version > Version) {
        throw SqliteError("the database was written by a newer server (schema version " +
                          std::to_string(version) + ")");
    }
    for (int v = version; v < Version; ++v) {
        SqliteTransaction transaction(writer);
        writer.exec(Migrations[v]);
        writer.exec(("PRAGMA user_version=" + std::to_string(v + 1)).c_str());
        transaction.commit();
    }
    {
        SqliteTransaction transaction(writer);
        SqliteQuery(writer, RecountFresh).step();
        SqliteQuery(writer, MoveFresh).step();
        SqliteQuery(writer, ClearFresh).step();
        transaction.commit();
    }
}

} // namespace velmo::server
