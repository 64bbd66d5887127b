#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// canvases.activity_bucket is last_activity (ms) divided by this, in SQL text: every statement
// that moves last_activity moves it too, and lists order by it first.
#define VELMO_PG_ACTIVITY_BUCKET "60000"

namespace velmo::server {

class PgConnection;

// The tables of the PostgreSQL store, versioned: the version is a row of schema_version, and
// each step from one version to the next is one migration; the steps a start takes are
// applied together in one transaction.
struct PgSchema {
    static constexpr int Version = 6;

    // Brings the database to Version. Instances starting at once take turns (an advisory lock
    // held by the migrating transaction). Throws PgError, also for a database of a newer
    // version.
    static void migrate(PgConnection& conn);
    // Brings an empty database to `version` only, as an older server left it (for tests of the
    // migrations).
    static void migrateTo(PgConnection& conn, int version);
    // The version the database has now, 0 when it has none.
    static int version(PgConnection& conn);

    // The creator nickname as canvases.nickname_folded keeps it: ASCII lower-cased, as
    // searches ignore ASCII case.
    static std::string foldNickname(std::string_view nickname);

    // Whoever changes a canvas's strokes (appends, deletes) first holds a transaction lock
    // for it, so that stamps rise strictly and resends are recognised across instances. An
    // advisory lock writes nothing, unlike a lock on the canvas's row. Several are taken in
    // ascending key order, so two writers never wait for each other in a circle; canvases
    // sharing a key only take turns.
    static constexpr const char* LockCanvases =
        "SELECT pg_advisory_xact_lock(1447382349, k::int4) FROM unnest($1::int8[]) AS k";
    // The keys of the canvases, for LockCanvases: ascending, each once.
    static std::vector<int64_t> canvasLockKeys(const std::vector<std::string_view>& canvas_ids);
};

} // namespace velmo::server
