#include "store/sqlite/journal_copy.h"

#include "store/sqlite/sqlite_db.h"
#include "wire/canvas_id.h"
#include "wire/date_id.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <utility>

namespace velmo::server {

namespace {

// Adds appended strokes to a canvas's row, creating it if needed. A copy of the journal
// stands a stroke's stamp in for the time of its append, which it equals unless the canvas
// received several in one millisecond.
constexpr const char* SaveCanvas =
    "INSERT INTO canvases (canvas_id, nickname, date_id, last_stamp, last_activity, "
    "stroke_count) VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT (canvas_id) DO UPDATE SET "
    "last_stamp = max(last_stamp, ?4), last_activity = max(last_activity, ?5), "
    "stroke_count = stroke_count + ?6";

// Rows per INSERT. One statement for many rows allocates SQLite's record buffers and cursors
// once, not once per stroke; without lookaside memory, those allocations were most of a copy.
constexpr size_t InsertRows = 64;

// "INSERT ... VALUES (?,?,?,?,?),..." for 1 to InsertRows rows. The statement cache is keyed
// by the text's address, so each text is made once and kept. A stamp the canvas has already is
// a record copied before: a journal that outlived the state of its database (a restored
// backup, say) must not stop the server from starting, hence OR IGNORE.
const char* insertStrokesSql(size_t rows) {
    static const std::array<std::string, InsertRows + 1> texts = [] {
        std::array<std::string, InsertRows + 1> all;
        for (size_t n = 1; n <= InsertRows; ++n) {
            all[n] = "INSERT OR IGNORE INTO strokes (canvas_id, server_time, client_time, "
                     "user_name, text) VALUES (?,?,?,?,?)";
            for (size_t row = 1; row < n; ++row) {
                all[n] += ",(?,?,?,?,?)";
            }
        }
        return all;
    }();
    return texts[rows].c_str();
}

} // namespace

void insertJournaled(SqliteConnection& db, const JournalPart& journaled) {
    std::vector<const UncopiedStroke*> strokes;
    strokes.reserve(journaled.strokes.size());
    for (const UncopiedStroke& stroke : journaled.strokes) {
        strokes.push_back(&stroke);
    }
    std::stable_sort(strokes.begin(), strokes.end(),
                     [&](const UncopiedStroke* a, const UncopiedStroke* b) {
                         return std::pair(journaled.canvasId(*a), a->server_time) <
                                std::pair(journaled.canvasId(*b), b->server_time);
                     });
    for (size_t i = 0; i < strokes.size();) {
        const std::string_view canvas_id = journaled.canvasId(*strokes[i]);
        size_t end = i;
        while (end < strokes.size() && journaled.canvasId(*strokes[end]) == canvas_id) {
            ++end;
        }
        int64_t count = 0;
        const int64_t newest = strokes[end - 1]->server_time;
        while (i < end) {
            const size_t rows = std::min(end - i, InsertRows);
            SqliteQuery insert(db, insertStrokesSql(rows));
            for (size_t row = 0; row < rows; ++row, ++i) {
                const UncopiedStroke& stroke = *strokes[i];
                const int first = static_cast<int>(row * 5) + 1;
                insert.bind(first, canvas_id)
                    .bind(first + 1, stroke.server_time)
                    .bind(first + 2, stroke.client_time)
                    .bind(first + 3, journaled.userName(stroke))
                    .bind(first + 4, journaled.text(stroke));
            }
            insert.step();
            count += sqlite3_changes64(db.db());
        }
        const auto date_id = wire::dateID(canvas_id);
        SqliteQuery(db, SaveCanvas)
            .bind(1, canvas_id)
            .bindNullable(2, wire::nicknameOf(canvas_id))
            .bindNullable(3, date_id ? std::optional<std::string_view>(*date_id) : std::nullopt)
            .bind(4, newest)
            .bind(5, newest)
            .bind(6, count)
            .step();
    }
    SqliteQuery(db, "UPDATE journal_state SET copied = ?1")
        .bind(1, static_cast<int64_t>(journaled.last_sequence))
        .step();
}

std::optional<OpenedJournals> openJournals(const std::string& path, SqliteConnection& writer,
                                           std::string* error) {
    OpenedJournals opened;
    std::vector<std::unique_ptr<StrokeJournal>>& journals = opened.files;
    for (const char* name : {"-strokes.0", "-strokes.1"}) {
        journals.push_back(StrokeJournal::open(path + name, error));
        if (!journals.back()) {
            return std::nullopt;
        }
    }
    // What the last run journaled and did not copy: every acknowledged append, perhaps a
    // few more whose answers a crash cut off. They continue the copied ones' numbers, in
    // one file or running on into the other.
    uint64_t copied = 0;
    {
        SqliteQuery state(writer, "SELECT copied FROM journal_state");
        if (state.step()) {
            copied = static_cast<uint64_t>(state.integer(0));
        }
    }
    std::vector<JournalRecord> left = journals[0]->recover(copied + 1);
    const size_t first = left.empty() ? 1 : 0;
    if (left.empty()) {
        left = journals[1]->recover(copied + 1);
    }
    if (!left.empty()) {
        auto more = journals[1 - first]->recover(left.back().sequence + 1);
        std::move(more.begin(), more.end(), std::back_inserter(left));
        JournalPart part;
        for (const JournalRecord& r : left) {
            part.add(JournalPart::strokeKey(r.canvas_id, r.user_name, r.client_time), r.canvas_id,
                     r.server_time, r.client_time, r.user_name, r.text);
        }
        copied = left.back().sequence;
        part.last_sequence = copied;
        SqliteTransaction transaction(writer);
        insertJournaled(writer, part);
        transaction.commit();
    }
    opened.next_sequence = copied + 1;
    return opened;
}

} // namespace velmo::server
