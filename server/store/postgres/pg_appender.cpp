#include "store/postgres/pg_appender.h"

#include "canvas/stroke_text.h"
#include "store/postgres/pg_connection.h"
#include "store/postgres/pg_deliveries.h"
#include "store/postgres/pg_news.h"
#include "store/postgres/pg_schema.h"
#include "wire/canvas_id.h"
#include "wire/date_id.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <tuple>

namespace velmo::server {

namespace {

constexpr const char* Begin = "BEGIN";
constexpr const char* Commit = "COMMIT";
// Rows for canvases not seen before, in canvas order.
constexpr const char* AddCanvases =
    "INSERT INTO canvases (canvas_id, nickname_folded, date_id) SELECT * FROM "
    "unnest($1::bytea[], $2::bytea[], $3::bytea[]) ON CONFLICT (canvas_id) DO NOTHING";
constexpr const char* ReadStamps =
    "SELECT canvas_id, last_stamp FROM canvases WHERE canvas_id = ANY($1::bytea[])";

// The statement storing a batch is built from these parts. $1 to $6: the strokes, by column.
#define VELMO_STROKE_ARRAYS                                                                        \
    "unnest($1::bytea[], $2::int8[], $3::int8[], $4::bytea[], $5::int8[], $6::bytea[]) WITH "      \
    "ORDINALITY AS i(canvas_id, server_time, client_time, user_name, body_hash, text, ord)"
#define VELMO_ADD_STROKES                                                                          \
    "INSERT INTO strokes (canvas_id, server_time, client_time, user_name, body_hash, text) "       \
    "SELECT canvas_id, server_time, client_time, user_name, body_hash, text FROM "
#define VELMO_ADDED " RETURNING canvas_id, server_time, length(text) AS size), "
// The canvases count what was added, and each whose stamp moved is announced with it ($7 the
// channel, $8 what precedes the stamp).
#define VELMO_COUNT_ADDED                                                                          \
    "counted AS (UPDATE canvases c SET last_stamp = GREATEST(c.last_stamp, a.last), "              \
    "stroke_count = c.stroke_count + a.n, stroke_bytes = c.stroke_bytes + a.bytes, "               \
    "last_activity = GREATEST(c.last_activity, a.last), activity_bucket = "                        \
    "GREATEST(c.last_activity, a.last) / " VELMO_PG_ACTIVITY_BUCKET " FROM (SELECT canvas_id, "    \
    "max(server_time) AS last, count(*) AS n, sum(size) AS bytes FROM added GROUP BY "             \
    "canvas_id) a WHERE c.canvas_id = a.canvas_id RETURNING c.canvas_id, c.last_stamp, "           \
    "pg_notify($7, $8 || c.last_stamp || ' ' || encode(c.canvas_id, 'hex'))), "
// The authors' deliveries taken ($9 to $12: canvas, user name, floor, time), each mark moved to
// its canvas's new last stamp if it is still at least the floor; the update writes down what it
// found and returns it. The notice, if owed, is given with the move. A user without a row gets
// one when the take asked for no floor. Then the rows: one per take (ord from 1: the mark and
// notice found, where the mark moved) and one per canvas counted (ord 0: its new last stamp).
#define VELMO_TAKE_MARKS                                                                           \
    "takes AS (SELECT t.*, c.last_stamp AS up_to FROM unnest($9::bytea[], $10::bytea[], "          \
    "$11::int8[], $12::int8[]) WITH ORDINALITY AS t(canvas_id, user_name, floor, seen, ord) "      \
    "JOIN counted c ON c.canvas_id = t.canvas_id), "                                               \
    "moved AS (UPDATE delivery_marks d SET taken_mark = d.mark, taken_notice = d.owes_notice, "    \
    "mark = GREATEST(d.mark, t.up_to), owes_notice = false, last_seen = GREATEST(d.last_seen, "    \
    "t.seen) FROM takes t WHERE d.canvas_id = t.canvas_id AND d.user_name = t.user_name AND "      \
    "d.mark >= t.floor RETURNING t.ord, d.taken_mark, d.taken_notice, t.up_to), "                  \
    "marked AS (INSERT INTO delivery_marks (canvas_id, user_name, mark, owes_notice, last_seen) "  \
    "SELECT t.canvas_id, t.user_name, t.up_to, false, t.seen FROM takes t WHERE t.floor = 0 AND "  \
    "NOT EXISTS (SELECT 1 FROM delivery_marks d WHERE d.canvas_id = t.canvas_id AND d.user_name "  \
    "= t.user_name) ORDER BY t.ord ON CONFLICT (canvas_id, user_name) DO NOTHING RETURNING "       \
    "canvas_id, user_name) "                                                                       \
    "SELECT ord, taken_mark, taken_notice, up_to, ''::bytea FROM moved UNION ALL SELECT t.ord, "   \
    "0::int8, false, t.up_to, ''::bytea FROM marked m JOIN takes t ON m.canvas_id = t.canvas_id "  \
    "AND m.user_name = t.user_name UNION ALL SELECT 0::int8, last_stamp, false, 0::int8, "         \
    "canvas_id FROM counted"
// Stamps given from memory's last stamps ($13, $14: canvas, last stamp): only the strokes of the
// canvases whose last stamp is still that are stored. One stored before under the same author,
// client time and body fails the whole statement (a unique index), as such resends are rare.
constexpr const char* AddStrokesAsExpected =
    "WITH expected AS (SELECT u.canvas_id FROM unnest($13::bytea[], $14::int8[]) AS "
    "u(canvas_id, last_stamp) JOIN canvases c ON c.canvas_id = u.canvas_id AND c.last_stamp = "
    "u.last_stamp), added AS (" VELMO_ADD_STROKES VELMO_STROKE_ARRAYS
    " WHERE i.canvas_id IN (SELECT canvas_id FROM expected)" VELMO_ADDED VELMO_COUNT_ADDED
        VELMO_TAKE_MARKS;
// Stamps given from the stamps read in this transaction.
constexpr const char* AddStrokes = "WITH added AS (" VELMO_ADD_STROKES VELMO_STROKE_ARRAYS
    VELMO_ADDED VELMO_COUNT_ADDED VELMO_TAKE_MARKS;
// Each stroke, unless an identical one is stored: then that one's stamp comes back, as a row
// of its own after the others (ord from 1, the stamp, true).
constexpr const char* AddStrokesOrFindTwins =
    "WITH input AS (SELECT * FROM " VELMO_STROKE_ARRAYS "), "
    "found AS (SELECT i.*, (SELECT s.server_time FROM strokes s WHERE s.canvas_id = i.canvas_id "
    "AND s.user_name = i.user_name AND s.client_time = i.client_time AND s.body_hash = "
    "i.body_hash) AS twin FROM input i), "
    "added AS (" VELMO_ADD_STROKES
    "found WHERE twin IS NULL" VELMO_ADDED VELMO_COUNT_ADDED VELMO_TAKE_MARKS
    " UNION ALL SELECT ord, twin, true, 0::int8, 'twin'::bytea FROM found "
    "WHERE twin IS NOT NULL";
#undef VELMO_STROKE_ARRAYS
#undef VELMO_ADD_STROKES
#undef VELMO_ADDED
#undef VELMO_COUNT_ADDED
#undef VELMO_TAKE_MARKS

// The stroke text with `stamp` in place of the 0 stroke_to_text wrote for it.
std::string withStamp(std::string_view unstamped, int64_t stamp) {
    constexpr std::string_view Field = " server_time:";
    const size_t at = unstamped.find(Field) + Field.size();
    std::string out;
    out.reserve(unstamped.size() + 20);
    out.append(unstamped.substr(0, at));
    out += std::to_string(stamp);
    out.append(unstamped.substr(at + 1));
    return out;
}

// Time to wait for appends before looking again whether the queue closed.
constexpr auto Pause = std::chrono::seconds(1);

} // namespace

PgAppender::PgAppender(std::string uri, std::string instance, RecentStrokes& recent,
                       PgDeliveries& deliveries, std::mutex& publish_mutex)
    : uri_(std::move(uri)), instance_(std::move(instance)), recent_(recent),
      deliveries_(deliveries), publish_mutex_(publish_mutex) {
    committer_ = std::thread([this] { commitLoop(); });
}

PgAppender::~PgAppender() {
    queue_.close();
    committer_.join();
}

void PgAppender::append(std::unique_ptr<PendingAppend> pending) {
    pending->stroke.server_time = 0;
    pending->unstamped_text = canvas::stroke_to_text(pending->stroke);
    queue_.push(std::move(pending));
}

int64_t PgAppender::bodyHash(const canvas::MWStroke& stroke) {
    canvas::MWStroke unstamped = stroke;
    unstamped.server_time = 0;
    return bodyHash(canvas::stroke_to_text(unstamped));
}

int64_t PgAppender::bodyHash(std::string_view unstamped_text) {
    // FNV-1a: only strokes of one author with one client time are compared by it.
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : unstamped_text) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    }
    return static_cast<int64_t>(hash);
}

void PgAppender::commitLoop() {
    while (true) {
        std::vector<std::unique_ptr<PendingAppend>> appends;
        const auto taken = queue_.take(appends, Pause);
        if (taken == AppendQueue::Taken::Pause) {
            continue;
        }
        if (taken == AppendQueue::Taken::Closed) {
            return;
        }
        std::vector<Added> added;
        std::vector<Moved> moved;
        {
            // Taken by commit() before COMMIT and held until memory has the strokes: a delete
            // of this instance that finds one of them committed forgets it only after that.
            std::unique_lock publish(publish_mutex_, std::defer_lock);
            // Stores `batch`; false, with nothing of it stored, when that failed.
            const auto attempt = [&](std::vector<PendingAppend*>& batch, Mode mode,
                                     std::vector<PendingAppend*>* stale) {
                const size_t added_before = added.size();
                const size_t moved_before = moved.size();
                try {
                    commit(batch, added, moved, publish, mode, stale);
                    return true;
                } catch (const PgError&) {
                    added.resize(added_before);
                    moved.resize(moved_before);
                    for (PendingAppend* pending : batch) {
                        pending->stamp.reset();
                        pending->delivery.reset();
                    }
                    if (stale != nullptr) {
                        stale->clear();
                    }
                    if (conn_ && !conn_->usable()) {
                        conn_.reset();
                    }
                    return false;
                }
            };
            std::vector<PendingAppend*> batch;
            for (auto& pending : appends) {
                batch.push_back(pending.get());
            }
            // Stamps from memory first, in one round trip. A resend of a stroke stored before
            // breaks the plain insert (the index of authors is unique): the batch is stored
            // again, looking for such strokes first. Canvases another instance stored on since
            // memory last heard are stored again with their stamps read.
            std::vector<PendingAppend*> stale;
            if (!attempt(batch, Mode::Expected, &stale)) {
                attempt(batch, Mode::Careful, nullptr);
            } else if (!stale.empty() && !attempt(stale, Mode::Read, nullptr)) {
                attempt(stale, Mode::Careful, nullptr);
            }
            for (Added& canvas : added) {
                // Strokes of other instances stamped before these may not have been heard of
                // yet: memory must not take these as following everything it holds.
                if (recent_.lastStamp(canvas.canvas_id) < canvas.stamped_after) {
                    recent_.noteForeign(canvas.canvas_id, canvas.stamped_after);
                }
                if (canvas.strokes.empty()) {
                    continue;
                }
                recent_.noteCopied().note(canvas.canvas_id, canvas.strokes.back().server_time);
                recent_.remember(canvas.canvas_id, canvas.strokes);
            }
        }
        for (const Moved& mark : moved) {
            deliveries_.noteTaken(mark.canvas_id, mark.user_name, mark.mark, mark.deletes);
        }
        for (auto& pending : appends) {
            pending->done({pending->stamp, std::move(pending->delivery)});
        }
    }
}

void PgAppender::commit(std::vector<PendingAppend*>& appends, std::vector<Added>& added,
                        std::vector<Moved>& moved, std::unique_lock<std::mutex>& publish, Mode mode,
                        std::vector<PendingAppend*>* stale) {
    if (!conn_) {
        conn_ = PgConnection::open(uri_);
    }
    const size_t count = appends.size();
    std::map<std::string_view, std::vector<size_t>> canvases;
    for (size_t i = 0; i < count; ++i) {
        canvases[appends[i]->canvas_id].push_back(i);
    }
    // An append identical to an earlier one of the batch (a resend racing its first try) is
    // that one's twin: one statement cannot see its own rows.
    std::vector<int64_t> hashes(count);
    std::vector<size_t> same_as(count);
    {
        std::map<std::tuple<std::string_view, std::string_view, int64_t, int64_t>, size_t> first;
        for (size_t i = 0; i < count; ++i) {
            const canvas::MWStroke& stroke = appends[i]->stroke;
            hashes[i] = bodyHash(appends[i]->unstamped_text);
            same_as[i] = first
                             .emplace(std::make_tuple(std::string_view(appends[i]->canvas_id),
                                                      std::string_view(stroke.user_name),
                                                      stroke.client_time, hashes[i]),
                                      i)
                             .first->second;
        }
    }

    // The canvases' rows and locks, and their stamps: from memory, or read under the locks.
    std::vector<std::string_view> ids;
    std::vector<std::optional<std::string_view>> id_values;
    std::vector<std::optional<std::string_view>> new_ids;
    std::vector<std::optional<std::string>> new_nicknames;
    std::vector<std::optional<std::string>> new_dates;
    std::vector<int64_t> stamped_after; // per canvas, in the map's order
    for (const auto& [canvas_id, ignored] : canvases) {
        ids.push_back(canvas_id);
        id_values.emplace_back(canvas_id);
        stamped_after.push_back(recent_.lastStamp(canvas_id));
        if (stamped_after.back() > 0) {
            continue; // its row was made by its first stroke
        }
        new_ids.emplace_back(canvas_id);
        const auto nickname = wire::nicknameOf(canvas_id);
        new_nicknames.push_back(nickname
                                    ? std::optional<std::string>(PgSchema::foldNickname(*nickname))
                                    : std::nullopt);
        new_dates.push_back(wire::dateID(canvas_id));
    }
    const auto views = [](const std::vector<std::optional<std::string>>& values) {
        std::vector<std::optional<std::string_view>> out;
        out.reserve(values.size());
        for (const auto& value : values) {
            out.push_back(value ? std::optional<std::string_view>(*value) : std::nullopt);
        }
        return out;
    };
    std::vector<PgStatement> statements;
    statements.push_back({Begin, {}});
    if (!new_ids.empty()) {
        statements.push_back({AddCanvases, PgParams()
                                               .bytesArray(new_ids)
                                               .bytesArray(views(new_nicknames))
                                               .bytesArray(views(new_dates))});
    }
    statements.push_back(
        {PgSchema::LockCanvases, PgParams().int64Array(PgSchema::canvasLockKeys(ids))});
    try {
        if (mode != Mode::Expected) {
            statements.push_back({ReadStamps, PgParams().bytesArray(id_values)});
            const auto opened = conn_->pipeline(statements);
            statements.clear();
            const PgResult& stamps = opened.back();
            std::map<std::string, int64_t, std::less<>> read;
            for (int row = 0; row < stamps.rows(); ++row) {
                read.emplace(stamps.bytes(row, 0), stamps.int64(row, 1));
            }
            size_t here = 0;
            for (const auto& [canvas_id, ignored] : canvases) {
                const auto found = read.find(canvas_id);
                if (found == read.end()) {
                    throw PgError("a canvas row is missing");
                }
                stamped_after[here++] = found->second;
            }
        }

        // Stamps, and the strokes to insert in one statement.
        std::vector<std::string> texts(count);
        std::vector<size_t> rows; // the append of each inserted row
        std::vector<std::optional<std::string_view>> row_canvas, row_user, row_text;
        std::vector<int64_t> row_stamp, row_client, row_hash;
        size_t canvas_index = 0;
        for (auto& [canvas_id, indices] : canvases) {
            int64_t last = stamped_after[canvas_index++];
            for (const size_t i : indices) {
                if (same_as[i] != i) {
                    continue;
                }
                canvas::MWStroke& stroke = appends[i]->stroke;
                stroke.server_time = std::max(appends[i]->now_ms, last + 1);
                last = stroke.server_time;
                texts[i] = withStamp(appends[i]->unstamped_text, stroke.server_time);
                rows.push_back(i);
                row_canvas.emplace_back(canvas_id);
                row_user.emplace_back(stroke.user_name);
                row_text.emplace_back(texts[i]);
                row_stamp.push_back(stroke.server_time);
                row_client.push_back(stroke.client_time);
                row_hash.push_back(hashes[i]);
            }
        }

        // Which authors' deliveries memory can answer whole: every stroke after a mark the
        // author had is in memory, and with this batch's they stay within the reply's bound.
        struct Take {
            size_t append;
            size_t canvas;
            std::vector<StoredStroke> remembered; // after the floor, up to the stamp before
        };
        std::vector<Take> takes;
        std::vector<std::optional<std::string_view>> take_canvas, take_user;
        std::vector<int64_t> take_floor, take_seen;
        std::vector<uint64_t> deletes(canvases.size());
        canvas_index = 0;
        for (auto& [canvas_id, indices] : canvases) {
            const size_t here = canvas_index++;
            deletes[here] = deliveries_.deletesHeard(canvas_id);
            if (recent_.lastStamp(canvas_id) != stamped_after[here]) {
                continue; // strokes of other instances not heard of yet
            }
            size_t batch_strokes = 0;
            size_t batch_bytes = 0;
            for (const size_t i : indices) {
                if (same_as[i] == i) {
                    ++batch_strokes;
                    batch_bytes += texts[i].size();
                }
            }
            std::map<std::string_view, size_t> authors; // the first asking append of each
            for (const size_t i : indices) {
                if (appends[i]->reply_bytes > 0) {
                    authors.emplace(appends[i]->stroke.user_name, i);
                }
            }
            for (const auto& [user_name, i] : authors) {
                auto unsent = deliveries_.unsentInMemory(
                    canvas_id, user_name, appends[i]->reply_bytes, batch_strokes, batch_bytes);
                if (!unsent) {
                    continue;
                }
                take_canvas.emplace_back(canvas_id);
                take_user.emplace_back(user_name);
                take_floor.push_back(unsent->floor);
                take_seen.push_back(appends[i]->now_ms);
                takes.push_back({i, here, std::move(unsent->strokes)});
            }
        }

        // The strokes, the counts and news, the marks, the commit.
        PgParams params;
        params.bytesArray(row_canvas)
            .int64Array(row_stamp)
            .int64Array(row_client)
            .bytesArray(row_user)
            .int64Array(row_hash)
            .bytesArray(row_text)
            .text(PgNewsChannel)
            .text(newsPayloadPrefix(instance_))
            .bytesArray(take_canvas)
            .bytesArray(take_user)
            .int64Array(take_floor)
            .int64Array(take_seen);
        const char* sql = AddStrokes;
        if (mode == Mode::Expected) {
            sql = AddStrokesAsExpected;
            params.bytesArray(id_values).int64Array(stamped_after);
        } else if (mode == Mode::Careful) {
            sql = AddStrokesOrFindTwins;
        }
        statements.push_back({sql, std::move(params)});
        statements.push_back({Commit, {}});
        if (!publish.owns_lock()) {
            publish.lock();
        }
        const auto results = conn_->pipeline(statements);
        const PgResult& stored = results[results.size() - 2];

        // What the statement reports: the canvases counted with their new last stamps, the
        // marks taken, and stored twins.
        std::map<std::string, int64_t, std::less<>> counted;
        std::vector<std::optional<int64_t>> twin_of(rows.size());
        struct Found {
            int64_t mark = 0;
            bool owes_notice = false;
            int64_t up_to = 0;
        };
        std::vector<std::optional<Found>> taken(takes.size());
        for (int row = 0; row < stored.rows(); ++row) {
            const int64_t ord = stored.int64(row, 0);
            if (ord == 0) {
                counted.emplace(stored.bytes(row, 4), stored.int64(row, 1));
            } else if (mode == Mode::Careful && stored.bytes(row, 4) == "twin") {
                if (ord <= static_cast<int64_t>(rows.size())) {
                    twin_of[static_cast<size_t>(ord - 1)] = stored.int64(row, 1);
                }
            } else if (ord > 0 && ord <= static_cast<int64_t>(takes.size())) {
                taken[static_cast<size_t>(ord - 1)] =
                    Found{stored.int64(row, 1), stored.boolean(row, 2), stored.int64(row, 3)};
            }
        }
        std::vector<bool> fresh(count, false);
        for (size_t row = 0; row < rows.size(); ++row) {
            PendingAppend& pending = *appends[rows[row]];
            if (twin_of[row]) {
                pending.stamp = *twin_of[row];
            } else {
                pending.stamp = pending.stroke.server_time;
                fresh[rows[row]] = true;
            }
        }
        // In the first pass a canvas not counted was stored on by another instance meanwhile:
        // nothing of it was stored.
        std::vector<bool> skipped(canvases.size(), false);
        canvas_index = 0;
        for (const auto& [canvas_id, indices] : canvases) {
            const size_t here = canvas_index++;
            if (mode != Mode::Expected || counted.find(canvas_id) != counted.end()) {
                continue;
            }
            skipped[here] = true;
            for (const size_t i : indices) {
                appends[i]->stamp.reset();
                stale->push_back(appends[i]);
            }
        }
        for (size_t i = 0; i < count; ++i) {
            appends[i]->stamp = appends[same_as[i]]->stamp;
        }

        // What memory takes, and the replies of the authors whose marks moved: what memory
        // held after the mark, then the batch's new strokes.
        std::vector<std::vector<StoredStroke>> fresh_stored(canvases.size());
        canvas_index = 0;
        for (auto& [canvas_id, indices] : canvases) {
            const size_t here = canvas_index++;
            if (skipped[here]) {
                continue;
            }
            std::vector<RecentStroke> strokes;
            for (const size_t i : indices) {
                if (same_as[i] != i || !fresh[i]) {
                    continue;
                }
                const canvas::MWStroke& stroke = appends[i]->stroke;
                if (!takes.empty()) {
                    fresh_stored[here].push_back(
                        {stroke.server_time, stroke.client_time, texts[i]});
                }
                strokes.push_back({stroke.server_time, stroke.client_time, stroke.user_name,
                                   std::move(texts[i])});
            }
            added.push_back({std::string(canvas_id), stamped_after[here], std::move(strokes)});
        }
        for (size_t t = 0; t < takes.size(); ++t) {
            if (!taken[t]) {
                continue;
            }
            const size_t here = takes[t].canvas;
            const int64_t up_to = taken[t]->up_to;
            TakenDelivery delivery{taken[t]->mark, taken[t]->owes_notice, {}};
            for (auto& stroke : takes[t].remembered) {
                if (stroke.server_time > delivery.mark) {
                    delivery.strokes.push_back(std::move(stroke));
                }
            }
            for (const StoredStroke& stroke : fresh_stored[here]) {
                if (stroke.server_time > delivery.mark && stroke.server_time <= up_to) {
                    delivery.strokes.push_back(stroke);
                }
            }
            const std::string_view canvas_id = *take_canvas[t];
            const std::string_view user_name = *take_user[t];
            appends[takes[t].append]->delivery = std::move(delivery);
            // The author's other appends of the batch: everything went with the first reply.
            for (const size_t i : canvases.find(canvas_id)->second) {
                if (i != takes[t].append && appends[i]->reply_bytes > 0 &&
                    appends[i]->stroke.user_name == user_name) {
                    appends[i]->delivery = TakenDelivery{up_to, false, {}};
                }
            }
            moved.push_back({std::string(canvas_id), std::string(user_name), up_to, deletes[here]});
        }
    } catch (const PgError&) {
        if (conn_ && !conn_->usable() && conn_->raw() != nullptr) {
            try {
                conn_->run("ROLLBACK");
            } catch (const PgError&) {
            }
        }
        throw;
    }
}

} // namespace velmo::server
