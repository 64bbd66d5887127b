#pragma once

#include <string>
#include <string_view>

namespace velmo::server {

class PgConnection;

// The tables of the PostgreSQL store, versioned: the version is a row of schema_version, and
// each step from one version to the next is one migration; the steps a start takes are
// applied together in one transaction.
struct PgSchema {
    static constexpr int Version = 4;

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
};

} // namespace velmo::server
