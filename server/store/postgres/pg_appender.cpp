#include "store/postgres/pg_appender.h"

#include "canvas/stroke_text.h"
#include "store/postgres/pg_connection.h"
#include "store/postgres/pg_news.h"
#include "store/postgres/pg_schema.h"
#include "wire/canvas_id.h"
#include "wire/date_id.h"

#include <algorithm>
#include <chrono>
#include <map>

namespace velmo::server {

namespace {

constexpr const char* Begin = "BEGIN";
constexpr const char* Commit = "COMMIT";
constexpr const char* AddCanvas =
    "INSERT INTO canvases (canvas_id, nickname_folded, date_id) VALUES ($1, $2, $3) "
    "ON CONFLICT (canvas_id) DO NOTHING";
constexpr const char* LockCanvas =
    "SELECT last_stamp FROM canvases WHERE canvas_id = $1 FOR UPDATE";
// The stroke, unless an identical one is stored: then that one's stamp.
constexpr const char* AddStroke =
    "WITH twin AS (SELECT server_time FROM strokes WHERE canvas_id = $1 AND user_name = $4 AND "
    "client_time = $3 AND body_hash = $5 ORDER BY server_time LIMIT 1), "
    "added AS (INSERT INTO strokes (canvas_id, server_time, client_time, user_name, body_hash, "
    "text) SELECT $1, $2, $3, $4, $5, $6 WHERE NOT EXISTS (SELECT 1 FROM twin) "
    "RETURNING server_time) "
    "SELECT server_time, true FROM twin UNION ALL SELECT server_time, false FROM added";
constexpr const char* CountStrokes =
    "UPDATE canvases SET last_stamp = GREATEST(last_stamp, $2), stroke_count = stroke_count + "
    "$3, stroke_bytes = stroke_bytes + $4, last_activity = GREATEST(last_activity, $2) WHERE "
    "canvas_id = $1";
constexpr const char* Announce = "SELECT pg_notify($1, $2)";

// Time to wait for appends before looking again whether the queue closed.
constexpr auto Pause = std::chrono::seconds(1);

} // namespace

PgAppender::PgAppender(std::string uri, std::string instance, RecentStrokes& recent,
                       std::mutex& publish_mutex)
    : uri_(std::move(uri)), instance_(std::move(instance)), recent_(recent),
      publish_mutex_(publish_mutex) {
    committer_ = std::thread([this] { commitLoop(); });
}

PgAppender::~PgAppender() {
    queue_.close();
    committer_.join();
}

void PgAppender::append(std::unique_ptr<PendingAppend> pending) {
    queue_.push(std::move(pending));
}

int64_t PgAppender::bodyHash(const canvas::MWStroke& stroke) {
    canvas::MWStroke unstamped = stroke;
    unstamped.server_time = 0;
    // FNV-1a: only strokes of one author with one client time are compared by it.
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : canvas::stroke_to_text(unstamped)) {
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
        {
            // Taken by commit() before COMMIT and held until memory has the strokes: a delete
            // of this instance that finds one of them committed forgets it only after that.
            std::unique_lock publish(publish_mutex_, std::defer_lock);
            try {
                commit(appends, added, publish);
            } catch (const PgError&) {
                added.clear();
                for (auto& pending : appends) {
                    pending->stamp.reset();
                }
                if (conn_ && !conn_->usable()) {
                    conn_.reset();
                }
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
        for (auto& pending : appends) {
            pending->done(pending->stamp);
        }
    }
}

void PgAppender::commit(std::vector<std::unique_ptr<PendingAppend>>& appends,
                        std::vector<Added>& added, std::unique_lock<std::mutex>& publish) {
    if (!conn_) {
        conn_ = PgConnection::open(uri_);
    }
    // Canvases in one order on every instance: two batches lock their rows alike.
    std::map<std::string_view, std::vector<PendingAppend*>> canvases;
    for (auto& pending : appends) {
        canvases[pending->canvas_id].push_back(pending.get());
    }
    std::vector<PgStatement> opening;
    opening.push_back({Begin, {}});
    for (const auto& [canvas_id, ignored] : canvases) {
        const auto date_id = wire::dateID(canvas_id);
        const auto nickname = wire::nicknameOf(canvas_id);
        PgParams params;
        params.bytes(canvas_id);
        params.bytesOrNull(nickname ? std::optional<std::string>(PgSchema::foldNickname(*nickname))
                                    : std::optional<std::string>());
        params.bytesOrNull(date_id ? std::optional<std::string_view>(*date_id) : std::nullopt);
        opening.push_back({AddCanvas, std::move(params)});
    }
    for (const auto& [canvas_id, ignored] : canvases) {
        opening.push_back({LockCanvas, PgParams().bytes(canvas_id)});
    }
    try {
        const auto locked = conn_->pipeline(opening);
        std::vector<PgStatement> strokes;
        std::vector<std::string> texts;
        size_t row = 1 + canvases.size();
        std::vector<int64_t> stamped_after; // per canvas, in the map's order
        for (auto& [canvas_id, pendings] : canvases) {
            int64_t last = locked[row++].int64(0, 0);
            stamped_after.push_back(last);
            for (PendingAppend* pending : pendings) {
                canvas::MWStroke& stroke = pending->stroke;
                stroke.server_time = std::max(pending->now_ms, last + 1);
                last = stroke.server_time;
                texts.push_back(canvas::stroke_to_text(stroke));
                strokes.push_back({AddStroke, PgParams()
                                                  .bytes(canvas_id)
                                                  .int64(stroke.server_time)
                                                  .int64(stroke.client_time)
                                                  .bytes(stroke.user_name)
                                                  .int64(bodyHash(stroke))
                                                  .bytes(texts.back())});
            }
        }
        const auto stored = conn_->pipeline(strokes);
        std::vector<PgStatement> closing;
        size_t index = 0;
        size_t canvas_index = 0;
        for (auto& [canvas_id, pendings] : canvases) {
            const int64_t before = stamped_after[canvas_index++];
            std::vector<RecentStroke> fresh;
            for (PendingAppend* pending : pendings) {
                const PgResult& result = stored[index];
                const bool twin = result.boolean(0, 1);
                pending->stamp = result.int64(0, 0);
                if (!twin) {
                    const canvas::MWStroke& stroke = pending->stroke;
                    fresh.push_back({stroke.server_time, stroke.client_time, stroke.user_name,
                                     std::move(texts[index])});
                }
                ++index;
            }
            if (fresh.empty()) {
                // Only resends: memory still learns how far the database is.
                added.push_back({std::string(canvas_id), before, {}});
                continue;
            }
            int64_t bytes = 0;
            for (const RecentStroke& added_stroke : fresh) {
                bytes += static_cast<int64_t>(added_stroke.text.size());
            }
            closing.push_back({CountStrokes, PgParams()
                                                 .bytes(canvas_id)
                                                 .int64(fresh.back().server_time)
                                                 .int64(static_cast<int64_t>(fresh.size()))
                                                 .int64(bytes)});
            const std::string payload =
                newsPayload({instance_,
                             {StrokeNews::Kind::Append, fresh.back().server_time},
                             std::string(canvas_id)});
            closing.push_back({Announce, PgParams().text(PgNewsChannel).text(payload)});
            added.push_back({std::string(canvas_id), before, std::move(fresh)});
        }
        closing.push_back({Commit, {}});
        publish.lock();
        conn_->pipeline(closing);
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
