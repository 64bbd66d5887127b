#include "store/postgres/pg_schema.h"

#include "store/postgres/pg_connection.h"

#include <algorithm>
#include <iterator>
#include <string>

namespace velmo::server {

namespace {

// Entry i brings a database from version i to i + 1. Client strings are bytes, stored as
// given: bytea, whatever the database's encoding. The creator nickname is kept ASCII
// lower-cased, as searches ignore ASCII case.
constexpr const char* Migrations[] = {
    R"sql(
    CREATE TABLE canvases (
        canvas_id bytea PRIMARY KEY,
        nickname_folded bytea,
        date_id bytea,
        last_stamp bigint NOT NULL DEFAULT 0,
        last_activity bigint NOT NULL DEFAULT 0,
        stroke_count bigint NOT NULL DEFAULT 0,
        thumbnail_url bytea NOT NULL DEFAULT '',
        fullimage_url bytea NOT NULL DEFAULT ''
    );
    CREATE INDEX canvases_by_nickname ON canvases (nickname_folded, last_activity);
    CREATE INDEX canvases_by_activity ON canvases (last_activity);
    CREATE INDEX canvases_by_date_id ON canvases (date_id);
    CREATE TABLE strokes (
        canvas_id bytea NOT NULL,
        server_time bigint NOT NULL,
        client_time bigint NOT NULL,
        user_name bytea NOT NULL,
        body_hash bigint NOT NULL,
        text bytea NOT NULL,
        PRIMARY KEY (canvas_id, server_time)
    );
    CREATE INDEX strokes_by_author ON strokes (canvas_id, user_name, client_time);
    CREATE TABLE images (
        hash text PRIMARY KEY,
        data bytea NOT NULL,
        created bigint NOT NULL
    );
    )sql",
    // Delivery marks live here, so that every instance answers a user alike.
    R"sql(
    CREATE TABLE delivery_marks (
        canvas_id bytea NOT NULL,
        user_name bytea NOT NULL,
        mark bigint NOT NULL DEFAULT 0,
        owes_notice boolean NOT NULL DEFAULT false,
        last_seen bigint NOT NULL DEFAULT 0,
        PRIMARY KEY (canvas_id, user_name)
    );
    )sql",
    // The key hash a user name is bound to.
    R"sql(
    CREATE TABLE user_keys (
        user_name bytea PRIMARY KEY,
        key_hash bytea NOT NULL,
        bound_at bigint NOT NULL
    );
    )sql",
    // The bytes of stroke text a canvas holds, kept with its count, for its size cap.
    R"sql(
    ALTER TABLE canvases ADD COLUMN stroke_bytes bigint NOT NULL DEFAULT 0;
    UPDATE canvases SET stroke_bytes = counted.bytes FROM (SELECT canvas_id,
        sum(length(text)) AS bytes FROM strokes GROUP BY canvas_id) AS counted
        WHERE canvases.canvas_id = counted.canvas_id;
    )sql",
    // Activity orders the canvas lists and changes with every batch of appends to a canvas:
    // its indexes keep only the minute, so that nearly every update of a canvas's row leaves
    // the indexes alone and stays on its page (PostgreSQL's heap-only updates, for which the
    // pages keep room). Lists order by the minute, then by the time itself.
    R"sql(
    ALTER TABLE canvases ADD COLUMN activity_bucket bigint NOT NULL DEFAULT 0;
    UPDATE canvases SET activity_bucket = last_activity / )sql" VELMO_PG_ACTIVITY_BUCKET R"sql(;
    DROP INDEX canvases_by_nickname;
    DROP INDEX canvases_by_activity;
    CREATE INDEX canvases_by_nickname ON canvases (nickname_folded, activity_bucket);
    CREATE INDEX canvases_by_activity ON canvases (activity_bucket);
    ALTER TABLE canvases SET (fillfactor = 50);
    )sql"
    // A stroke is stored once per author, client time and body: the index finds a resend
    // while the stroke is inserted, with no look of its own.
    R"sql(
    DROP INDEX strokes_by_author;
    CREATE UNIQUE INDEX strokes_by_author ON strokes (canvas_id, user_name, client_time,
        body_hash);
    )sql"
    // The mark and notice an update found, written by the update that moves them, so that it
    // returns them without a lock of its own.
    R"sql(
    ALTER TABLE delivery_marks ADD COLUMN taken_mark bigint NOT NULL DEFAULT 0,
        ADD COLUMN taken_notice boolean NOT NULL DEFAULT false;
    )sql",
    // Bans of user names ('user') and of key hashes ('key'), kept until lifted.
    R"sql(
    CREATE TABLE bans (
        kind text NOT NULL,
        value bytea NOT NULL,
        since bigint NOT NULL,
        PRIMARY KEY (kind, value)
    );
    )sql",
};
static_assert(std::size(Migrations) == PgSchema::Version);

// Any constant shared by every instance; it names the lock of the schema.
constexpr const char* LockSchema = "SELECT pg_advisory_xact_lock(7164590123)";

int readVersion(PgConnection& conn) {
    conn.run("CREATE TABLE IF NOT EXISTS schema_version (version integer NOT NULL)");
    const PgResult result = conn.exec("SELECT max(version) FROM schema_version");
    return result.rows() == 0 || result.isNull(0, 0) ? 0 : static_cast<int>(result.int64(0, 0));
}

void migrateUpTo(PgConnection& conn, int target) {
    PgTransaction transaction(conn);
    conn.exec(LockSchema);
    const int version = readVersion(conn);
    if (version > PgSchema::Version) {
        throw PgError("the database was written by a newer server (schema version " +
                      std::to_string(version) + ")");
    }
    for (int v = version; v < target; ++v) {
        conn.run(Migrations[v]);
    }
    if (version < target) {
        conn.run("DELETE FROM schema_version");
        conn.exec("INSERT INTO schema_version (version) VALUES ($1::int8)",
                  PgParams().int64(target));
    }
    transaction.commit();
}

} // namespace

void PgSchema::migrate(PgConnection& conn) {
    migrateUpTo(conn, Version);
}

void PgSchema::migrateTo(PgConnection& conn, int version) {
    migrateUpTo(conn, version);
}

int PgSchema::version(PgConnection& conn) {
    return readVersion(conn);
}

} // namespace velmo::server

namespace velmo::server {

std::string PgSchema::foldNickname(std::string_view nickname) {
    std::string out(nickname);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::vector<int64_t> PgSchema::canvasLockKeys(const std::vector<std::string_view>& canvas_ids) {
    std::vector<int64_t> keys;
    keys.reserve(canvas_ids.size());
    for (const std::string_view canvas_id : canvas_ids) {
        // FNV-1a, folded to the 32 bits a key of two parts has for each.
        uint64_t hash = 0xcbf29ce484222325ull;
        for (const char c : canvas_id) {
            hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
        }
        keys.push_back(static_cast<int32_t>(static_cast<uint32_t>(hash ^ (hash >> 32))));
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

} // namespace velmo::server
