// The SQLite store's moderation: the lists an operator reads, the removal of a user's strokes or
// of a whole canvas, and the bans.
#include "store/recent_strokes.h"
#include "store/sqlite/append_pipeline.h"
#include "store/sqlite/sqlite_db.h"
#include "store/sqlite/sqlite_store.h"

namespace velmo::server {

namespace {

constexpr const char* UserKind = "user";
constexpr const char* KeyKind = "key";

const char* kindName(Ban::Kind kind) {
    return kind == Ban::Kind::UserName ? UserKind : KeyKind;
}

} // namespace

std::optional<std::vector<CanvasSummary>> SqliteStore::listCanvases(std::string_view after,
                                                                    size_t limit) {
    static constexpr const char* Sql =
        "SELECT canvas_id, stroke_count, last_activity FROM canvases WHERE canvas_id > ?1 AND "
        "(stroke_count > 0 OR thumbnail_url <> '' OR fullimage_url <> '') ORDER BY canvas_id "
        "LIMIT ?2";
    try {
        // The rows count only the strokes copied out of the journal.
        if (!pipeline_->copyAllNow()) {
            return std::nullopt;
        }
        auto lease = readers_->lease();
        SqliteQuery query(*lease, Sql);
        query.bind(1, after).bind(2, static_cast<int64_t>(limit));
        std::vector<CanvasSummary> found;
        while (query.step()) {
            found.push_back({query.text(0), query.integer(1), query.integer(2)});
        }
        return found;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::vector<CanvasUser>>
SqliteStore::canvasUsers(std::string_view canvas_id, std::string_view after, size_t limit) {
    // One step along the author index per user name.
    static constexpr const char* Sql =
        "SELECT s.user_name, count(*), coalesce((SELECT key_hash FROM user_keys AS k WHERE "
        "k.user_name = s.user_name), '') FROM strokes AS s WHERE s.canvas_id = ?1 AND "
        "s.user_name > ?2 GROUP BY s.user_name ORDER BY s.user_name LIMIT ?3";
    try {
        if (!pipeline_->copyAllNow()) {
            return std::nullopt;
        }
        auto lease = readers_->lease();
        SqliteQuery query(*lease, Sql);
        query.bind(1, canvas_id).bind(2, after).bind(3, static_cast<int64_t>(limit));
        std::vector<CanvasUser> found;
        while (query.step()) {
            found.push_back({query.text(0), query.integer(1), query.text(2)});
        }
        return found;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<size_t> SqliteStore::removeStrokes(std::string_view canvas_id,
                                                 std::optional<std::string_view> user_name,
                                                 int64_t now_ms) {
    static constexpr const char* MeasureUser =
        "SELECT count(*), coalesce(sum(length(CAST(text AS BLOB))), 0) FROM strokes WHERE "
        "canvas_id = ?1 AND user_name = ?2";
    static constexpr const char* MeasureAll =
        "SELECT count(*), coalesce(sum(length(CAST(text AS BLOB))), 0) FROM strokes WHERE "
        "canvas_id = ?1";
    static constexpr const char* DeleteUser =
        "DELETE FROM strokes WHERE canvas_id = ?1 AND user_name = ?2";
    static constexpr const char* DeleteAll = "DELETE FROM strokes WHERE canvas_id = ?1";
    static constexpr const char* CountUser =
        "UPDATE canvases SET stroke_count = max(stroke_count - ?2, 0), "
        "last_activity = max(last_activity, ?3) WHERE canvas_id = ?1";
    // The row stays for its last stamp; without strokes or pictures it is no canvas.
    static constexpr const char* ClearCanvas =
        "UPDATE canvases SET stroke_count = 0, thumbnail_url = '', fullimage_url = '' WHERE "
        "canvas_id = ?1";
    try {
        auto pause = pipeline_->pause();
        // Strokes still in the journal only would come back with the next start.
        if (!pause.copyAll()) {
            return std::nullopt;
        }
        Store::CanvasSize removed;
        {
            const auto db = writer_->hold();
            SqliteTransaction transaction(*db);
            {
                SqliteQuery measure(*db, user_name ? MeasureUser : MeasureAll);
                measure.bind(1, canvas_id);
                if (user_name) {
                    measure.bind(2, *user_name);
                }
                if (measure.step()) {
                    removed = {measure.integer(0), measure.integer(1)};
                }
            }
            {
                SqliteQuery remove(*db, user_name ? DeleteUser : DeleteAll);
                remove.bind(1, canvas_id);
                if (user_name) {
                    remove.bind(2, *user_name);
                }
                remove.step();
            }
            if (user_name) {
                SqliteQuery(*db, CountUser)
                    .bind(1, canvas_id)
                    .bind(2, removed.strokes)
                    .bind(3, now_ms)
                    .step();
            } else {
                SqliteQuery(*db, ClearCanvas).bind(1, canvas_id).step();
            }
            transaction.commit();
        }
        pause.waitUntilPublished();
        if (removed.strokes > 0) {
            // Memory forgets every stroke of the canvas and reads them from the database again:
            // a removal is rare, and a user's strokes lie all through the canvas.
            recent_->noteForeign(canvas_id, recent_->lastStamp(canvas_id));
            recent_->shrink(canvas_id, removed);
        }
        return static_cast<size_t>(removed.strokes);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool SqliteStore::setBan(const Ban& ban, bool banned) {
    static constexpr const char* Add =
        "INSERT OR IGNORE INTO bans (kind, value, since) VALUES (?1, ?2, ?3)";
    static constexpr const char* Lift = "DELETE FROM bans WHERE kind = ?1 AND value = ?2";
    try {
        const auto db = writer_->hold();
        SqliteQuery query(*db, banned ? Add : Lift);
        query.bind(1, std::string_view(kindName(ban.kind))).bind(2, ban.value);
        if (banned) {
            query.bind(3, ban.since);
        }
        query.step();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<std::vector<Ban>> SqliteStore::bans() {
    static constexpr const char* Sql =
        "SELECT kind, value, since FROM bans ORDER BY kind <> 'user', value";
    try {
        auto lease = readers_->lease();
        SqliteQuery query(*lease, Sql);
        std::vector<Ban> found;
        while (query.step()) {
            const Ban::Kind kind = query.text(0) == UserKind ? Ban::Kind::UserName : Ban::Kind::Key;
            found.push_back({kind, query.text(1), query.integer(2)});
        }
        return found;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace velmo::server
