#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velmo::server {

// What a backup holds.
struct BackupSummary {
    int64_t pages = 0;
    int64_t canvases = 0;
    int64_t strokes = 0;
    // Acknowledged strokes that were in the stroke journal, not yet in the database file.
    int64_t journaled = 0;
};

enum class BackupFailure {
    OutExists,  // nothing was written
    CannotCopy, // the reason in `error`; nothing is left at `out`
};

// The summary of a finished copy, or why there is none.
struct BackupOutcome {
    std::optional<BackupSummary> summary;
    BackupFailure failure = BackupFailure::CannotCopy;
};

// Copies the SQLite database at `db` (a server may be using it) to the new file `out`, which
// then holds every stroke acknowledged before the call, its own journal folded in, and opens
// alone: `out` needs no journal files beside it. The copy is written beside `out` and renamed
// once complete, never over an existing file.
//
// An acknowledged append may be in the journal (`db`-strokes.0 and .1) and not in the
// database file, and the server starts a journal file over once its strokes are copied. So
// the database is copied first (SQLite's online backup, in steps), then the journal files are
// read, then the database's record of the last journaled stroke it holds is read again: if it
// has not moved, the server copied no journal into the database since the snapshot, so no file
// holding strokes the snapshot lacks was started over, and each of them is in the files as
// read (a record being written as they are read fails its checksum and was not yet
// acknowledged); otherwise the whole copy is made again. The journal is then
// folded into the copy by the store's own start-up recovery.
//
// Blocking; the server's writes go on meanwhile (the database is in WAL mode).
BackupOutcome backupSqlite(const std::string& db, const std::string& out, std::string* error);

} // namespace velmo::server
