#pragma once

#include "store/sqlite/journal_part.h"
#include "store/sqlite/stroke_journal.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmo::server {

class SqliteConnection;

// Inserts journaled strokes into the strokes table, sorted by canvas so that each canvas's
// index pages are written once, counts them in the canvases' rows and records the last
// journal record copied; inside the caller's transaction. Throws SqliteError.
void insertJournaled(SqliteConnection& db, const JournalPart& journaled);

// The two journal files of a database and the sequence number of the next record.
struct OpenedJournals {
    std::vector<std::unique_ptr<StrokeJournal>> files;
    uint64_t next_sequence = 1;
};

// Opens or creates the journal files beside the database at `path` (`<path>-strokes.0` and
// `.1`) and copies into the database, through `writer`, whatever the last run journaled and
// did not copy. Nothing, with a reason in `error`, when a file cannot be opened; throws
// SqliteError when the database refuses the copy. For the start, before anyone else uses the
// database.
std::optional<OpenedJournals> openJournals(const std::string& path, SqliteConnection& writer,
                                           std::string* error);

} // namespace velmo::server
