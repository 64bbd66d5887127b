#pragma once

namespace velmo::server {

class SqliteConnection;

// The tables of the SQLite store, versioned in the database's user_version.
struct SqliteSchema {
    // The schema version this build writes.
    static constexpr int Version = 6;

    // Brings the database's schema up to Version, one transaction a version, and moves into
    // the strokes table what a crash of a version 3 server left beside it. Throws SqliteError
    // when a step fails or the database is from a newer version. For the start, on the
    // writer, before anyone else uses the database.
    static void migrate(SqliteConnection& writer);
};

} // namespace velmo::server
