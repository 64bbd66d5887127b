// The PostgreSQL store's moderation: the lists an operator reads, the removal of a user's strokes
// or of a whole canvas, announced to the other instances as a delete is, and the bans.
#include "store/postgres/pg_connection.h"
#include "store/postgres/pg_news.h"
#include "store/postgres/pg_schema.h"
#include "store/postgres/pg_store.h"
#include "store/recent_strokes.h"

namespace velmo::server {

namespace {

constexpr const char* ListCanvases =
    "SELECT canvas_id, stroke_count, last_activity FROM canvases WHERE canvas_id > $1 AND "
    "(stroke_count > 0 OR thumbnail_url <> ''::bytea OR fullimage_url <> ''::bytea) "
    "ORDER BY canvas_id LIMIT $2";
// One step along the author index per user name.
constexpr const char* CanvasUsers =
    "SELECT s.user_name, count(*), coalesce((SELECT key_hash FROM user_keys AS k WHERE "
    "k.user_name = s.user_name), ''::bytea) FROM strokes AS s WHERE s.canvas_id = $1 AND "
    "s.user_name > $2 GROUP BY s.user_name ORDER BY s.user_name LIMIT $3";
// As a delete: the strokes go, the canvas counts them off, and every user of the canvas owes a
// notice, in one statement.
constexpr const char* RemoveUser =
    "WITH gone AS (DELETE FROM strokes WHERE canvas_id = $1 AND user_name = $2 RETURNING "
    "length(text) AS size), removed AS (SELECT count(*) AS n, coalesce(sum(size), 0) AS bytes "
    "FROM gone), counted AS (UPDATE canvases SET stroke_count = stroke_count - removed.n, "
    "stroke_bytes = stroke_bytes - removed.bytes, last_activity = GREATEST(last_activity, $3), "
    "activity_bucket = GREATEST(last_activity, $3) / " VELMO_PG_ACTIVITY_BUCKET
    " FROM removed WHERE canvas_id = $1 AND removed.n > 0 RETURNING 1), owed AS (UPDATE "
    "delivery_marks SET owes_notice = true FROM removed WHERE canvas_id = $1 AND removed.n > 0 "
    "RETURNING 1) SELECT n FROM removed";
// The row stays for its last stamp; without strokes or pictures it is no canvas.
constexpr const char* RemoveCanvas =
    "WITH gone AS (DELETE FROM strokes WHERE canvas_id = $1 RETURNING 1), removed AS (SELECT "
    "count(*) AS n FROM gone), cleared AS (UPDATE canvases SET stroke_count = 0, stroke_bytes = "
    "0, thumbnail_url = ''::bytea, fullimage_url = ''::bytea WHERE canvas_id = $1 RETURNING 1), "
    "owed AS (UPDATE delivery_marks SET owes_notice = true FROM removed WHERE canvas_id = $1 AND "
    "removed.n > 0 RETURNING 1) SELECT n FROM removed";
constexpr const char* AnnounceRemoval = "SELECT pg_notify($1, $2)";
constexpr const char* AddBan = "INSERT INTO bans (kind, value, since) VALUES ($1, $2, $3) "
                               "ON CONFLICT (kind, value) DO NOTHING";
constexpr const char* LiftBan = "DELETE FROM bans WHERE kind = $1 AND value = $2";
constexpr const char* ListBans =
    "SELECT kind, value, since FROM bans ORDER BY kind <> 'user', value";

constexpr const char* UserKind = "user";
constexpr const char* KeyKind = "key";

} // namespace

std::optional<std::vector<CanvasSummary>> PgStore::listCanvases(std::string_view after,
                                                                size_t limit) {
    try {
        auto conn = pool_->lease();
        const PgResult result =
            conn->exec(ListCanvases, PgParams().bytes(after).int64(static_cast<int64_t>(limit)));
        std::vector<CanvasSummary> found;
        found.reserve(static_cast<size_t>(result.rows()));
        for (int row = 0; row < result.rows(); ++row) {
            found.push_back({result.bytes(row, 0), result.int64(row, 1), result.int64(row, 2)});
        }
        return found;
    } catch (const PgError&) {
        return std::nullopt;
    }
}

std::optional<std::vector<CanvasUser>> PgStore::canvasUsers(std::string_view canvas_id,
                                                            std::string_view after, size_t limit) {
    try {
        auto conn = pool_->lease();
        const PgResult result =
            conn->exec(CanvasUsers,
                       PgParams().bytes(canvas_id).bytes(after).int64(static_cast<int64_t>(limit)));
        std::vector<CanvasUser> found;
        found.reserve(static_cast<size_t>(result.rows()));
        for (int row = 0; row < result.rows(); ++row) {
            found.push_back({result.bytes(row, 0), result.int64(row, 1), result.bytes(row, 2)});
        }
        return found;
    } catch (const PgError&) {
        return std::nullopt;
    }
}

std::optional<size_t> PgStore::removeStrokes(std::string_view canvas_id,
                                             std::optional<std::string_view> user_name,
                                             int64_t now_ms) {
    size_t removed = 0;
    try {
        auto conn = pool_->lease();
        PgTransaction transaction(*conn);
        // The canvas's lock first, as appends and deletes take it.
        PgParams params;
        params.bytes(canvas_id);
        if (user_name) {
            params.bytes(*user_name);
        }
        params.int64(now_ms);
        const auto results = conn->pipeline(
            {{PgSchema::LockCanvases, PgParams().int64Array(PgSchema::canvasLockKeys({canvas_id}))},
             {user_name ? RemoveUser : RemoveCanvas,
              user_name ? params : PgParams().bytes(canvas_id)}});
        removed = static_cast<size_t>(results[1].int64(0, 0));
        if (removed > 0) {
            // Other instances take it as a delete: memory of the canvas is dropped, the marks
            // they cache are read again, and their event streams tell the clients.
            const std::string payload =
                newsPayload({instance_, {StrokeNews::Kind::Delete, 0}, std::string(canvas_id)});
            conn->exec(AnnounceRemoval, PgParams().text(PgNewsChannel).text(payload));
        }
        transaction.commit();
    } catch (const PgError&) {
        return std::nullopt;
    }
    if (removed > 0) {
        // An append batch that committed a removed stroke may not have put it in memory yet.
        std::lock_guard publish(publish_mutex_);
        recent_->noteForeign(canvas_id, recent_->lastStamp(canvas_id));
    }
    return removed;
}

bool PgStore::setBan(const Ban& ban, bool banned) {
    const char* kind = ban.kind == Ban::Kind::UserName ? UserKind : KeyKind;
    try {
        auto conn = pool_->lease();
        if (banned) {
            conn->exec(AddBan, PgParams().text(kind).bytes(ban.value).int64(ban.since));
        } else {
            conn->exec(LiftBan, PgParams().text(kind).bytes(ban.value));
        }
        return true;
    } catch (const PgError&) {
        return false;
    }
}

std::optional<std::vector<Ban>> PgStore::bans() {
    try {
        auto conn = pool_->lease();
        const PgResult result = conn->exec(ListBans);
        std::vector<Ban> found;
        found.reserve(static_cast<size_t>(result.rows()));
        for (int row = 0; row < result.rows(); ++row) {
            const Ban::Kind kind =
                result.bytes(row, 0) == UserKind ? Ban::Kind::UserName : Ban::Kind::Key;
            found.push_back({kind, result.bytes(row, 1), result.int64(row, 2)});
        }
        return found;
    } catch (const PgError&) {
        return std::nullopt;
    }
}

} // namespace velmo::server
