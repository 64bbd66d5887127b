#include "store/sqlite/sqlite_store.h"

#include "store/recent_strokes.h"
#include "store/sqlite/append_pipeline.h"
#include "store/sqlite/journal_copy.h"
#include "store/sqlite/sqlite_db.h"
#include "wire/canvas_id.h"
#include "wire/date_id.h"

#include <utility>

namespace velmo::server {

namespace {

// Only canvases with something to show are listed, shared or rendered.
constexpr const char* HasContent =
    "(stroke_count > 0 OR thumbnail_url <> '' OR fullimage_url <> '')";

CanvasInfo readCanvas(SqliteQuery& query) {
    return CanvasInfo{query.text(0), query.text(1), query.text(2), query.integer(3)};
}

std::vector<CanvasInfo> readCanvases(SqliteQuery& query) {
    std::vector<CanvasInfo> found;
    while (query.step()) {
        found.push_back(readCanvas(query));
    }
    return found;
}

void upsertCanvasColumns(SqliteConnection& db, std::string_view canvas_id, int64_t now_ms) {
    static constexpr const char* Sql =
        "INSERT INTO canvases (canvas_id, nickname, date_id, last_activity) VALUES (?1, ?2, ?3, "
        "?4) ON CONFLICT (canvas_id) DO UPDATE SET last_activity = max(last_activity, ?4)";
    const auto date_id = wire::dateID(canvas_id);
    SqliteQuery query(db, Sql);
    query.bind(1, canvas_id).bindNullable(2, wire::nicknameOf(canvas_id));
    query.bindNullable(3, date_id ? std::optional<std::string_view>(*date_id) : std::nullopt);
    query.bind(4, now_ms).step();
}

constexpr const char* SeedCanvases =
    "SELECT canvas_id, last_stamp, coalesce(counted.strokes, 0), coalesce(counted.bytes, 0) "
    "FROM canvases LEFT JOIN (SELECT canvas_id, count(*) AS strokes, "
    "sum(length(CAST(text AS BLOB))) AS bytes FROM strokes GROUP BY canvas_id) AS counted "
    "USING (canvas_id)";

} // namespace

std::unique_ptr<SqliteStore> SqliteStore::open(const std::string& path, std::string* error) {
    try {
        auto writer = SqliteWriter::open(path);
        auto recent = std::make_unique<RecentStrokes>();
        std::optional<OpenedJournals> journals;
        {
            const auto db = writer->hold();
            SqliteSchema::migrate(*db);
            journals = openJournals(path, *db, error);
            if (!journals) {
                return nullptr;
            }
            // The sizes are counted once here, so the cap of a canvas costs no read per append.
            SqliteQuery stamps(*db, SeedCanvases);
            while (stamps.step()) {
                recent->seed(stamps.text(0), stamps.integer(1),
                             {stamps.integer(2), stamps.integer(3)});
            }
        }
        auto lookup = SqliteConnection::openReader(path);
        auto pipeline = std::make_unique<AppendPipeline>(*writer, *recent, std::move(lookup),
                                                         std::move(*journals));
        return std::make_unique<SqliteStore>(std::move(writer),
                                             std::make_unique<SqliteReaders>(path),
                                             std::move(recent), std::move(pipeline));
    } catch (const std::exception& e) {
        if (error) {
            *error = e.what();
        }
        return nullptr;
    }
}

SqliteStore::SqliteStore(std::unique_ptr<SqliteWriter> writer,
                         std::unique_ptr<SqliteReaders> readers,
                         std::unique_ptr<RecentStrokes> recent,
                         std::unique_ptr<AppendPipeline> pipeline)
    : writer_(std::move(writer)), readers_(std::move(readers)), recent_(std::move(recent)),
      pipeline_(std::move(pipeline)) {}

SqliteStore::~SqliteStore() {
    pipeline_.reset();
    // Readers close first so that the writer, closing last, checkpoints the log into the file.
    readers_.reset();
    writer_.reset();
}

int64_t SqliteStore::lastStamp(std::string_view canvas_id) {
    return recent_->lastStamp(canvas_id);
}

void SqliteStore::appendStrokeAsync(std::string canvas_id, canvas::MWStroke stroke, int64_t now_ms,
                                    size_t /*reply_bytes*/, AppendDone done) {
    auto pending = std::make_unique<PendingAppend>();
    pending->canvas_id = std::move(canvas_id);
    pending->stroke = std::move(stroke);
    pending->now_ms = now_ms;
    pending->done = std::move(done);
    pipeline_->append(std::move(pending));
}

std::optional<int64_t> SqliteStore::appendStroke(std::string_view canvas_id,
                                                 const canvas::MWStroke& stroke, int64_t now_ms) {
    return appendAndWait(canvas_id, stroke, now_ms);
}

std::optional<std::vector<StoredStroke>> SqliteStore::strokesAfter(std::string_view canvas_id,
                                                                   int64_t after, size_t limit) {
    static constexpr const char* Sql =
        "SELECT server_time, client_time, text FROM strokes WHERE canvas_id = ?1 AND "
        "server_time > ?2 ORDER BY server_time, client_time LIMIT ?3";
    // Memory first, then the database: a stroke leaves memory only once it is in the
    // database, so between them nothing is missed.
    std::vector<StoredStroke> remembered;
    if (recent_->strokesAfter(canvas_id, after, limit, remembered)) {
        return remembered;
    }
    try {
        auto lease = readers_->lease();
        SqliteQuery query(*lease, Sql);
        query.bind(1, canvas_id).bind(2, after).bind(3, static_cast<int64_t>(limit));
        std::vector<StoredStroke> strokes;
        while (query.step()) {
            strokes.push_back({query.integer(0), query.integer(1), query.text(2)});
        }
        // The strokes not yet copied are the newest ones.
        const int64_t last = strokes.empty() ? after : strokes.back().server_time;
        for (StoredStroke& stroke : remembered) {
            if (strokes.size() >= limit) {
                break;
            }
            if (stroke.server_time > last) {
                strokes.push_back(std::move(stroke));
            }
        }
        return strokes;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<size_t> SqliteStore::deleteStrokes(std::string_view canvas_id,
                                                 std::string_view user_name, int64_t client_time,
                                                 int64_t now_ms) {
    static constexpr const char* Delete =
        "DELETE FROM strokes WHERE canvas_id = ?1 AND user_name = ?2 AND client_time = ?3";
    static constexpr const char* Measure =
        "SELECT coalesce(sum(length(CAST(text AS BLOB))), 0) FROM strokes WHERE canvas_id = ?1 "
        "AND user_name = ?2 AND client_time = ?3";
    static constexpr const char* Count =
        "UPDATE canvases SET stroke_count = stroke_count - ?2, "
        "last_activity = max(last_activity, ?3) WHERE canvas_id = ?1";
    try {
        auto pause = pipeline_->pause();
        // The stroke may still be in the journal only; a start would copy it back otherwise.
        if (!pause.copyAll()) {
            return std::nullopt;
        }
        size_t removed = 0;
        int64_t removed_bytes = 0;
        {
            const auto db = writer_->hold();
            SqliteTransaction transaction(*db);
            {
                SqliteQuery measure(*db, Measure);
                measure.bind(1, canvas_id).bind(2, user_name).bind(3, client_time);
                if (measure.step()) {
                    removed_bytes = measure.integer(0);
                }
            }
            SqliteQuery(*db, Delete)
                .bind(1, canvas_id)
                .bind(2, user_name)
                .bind(3, client_time)
                .step();
            removed = static_cast<size_t>(sqlite3_changes64(db->db()));
            if (removed > 0) {
                SqliteQuery(*db, Count)
                    .bind(1, canvas_id)
                    .bind(2, static_cast<int64_t>(removed))
                    .bind(3, now_ms)
                    .step();
            }
            transaction.commit();
        }
        // Batches written before this delete may not have reached memory yet; what memory
        // forgets must be there already.
        pause.waitUntilPublished();
        if (removed > 0) {
            recent_->forget(canvas_id, user_name, client_time);
            recent_->shrink(canvas_id, {static_cast<int64_t>(removed), removed_bytes});
        }
        return removed;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool SqliteStore::setImageUrl(std::string_view canvas_id, ImageKind kind, std::string_view url,
                              int64_t now_ms) {
    static constexpr const char* Thumbnail =
        "UPDATE canvases SET thumbnail_url = ?2 WHERE canvas_id = ?1";
    static constexpr const char* FullImage =
        "UPDATE canvases SET fullimage_url = ?2 WHERE canvas_id = ?1";
    try {
        const auto db = writer_->hold();
        SqliteTransaction transaction(*db);
        upsertCanvasColumns(*db, canvas_id, now_ms);
        SqliteQuery(*db, kind == ImageKind::Thumbnail ? Thumbnail : FullImage)
            .bind(1, canvas_id)
            .bind(2, url)
            .step();
        transaction.commit();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// The reads of canvas rows copy the journal first, so that the rows count every stroke;
// searches and share pages are rare next to appends. When the database refuses the copy (a
// full disk), the rows would miss canvases, so these reads fail rather than answer short.

std::optional<std::vector<CanvasInfo>> SqliteStore::findCanvases(std::string_view nickname,
                                                                 size_t limit) {
    static const std::string Columns =
        "SELECT canvas_id, thumbnail_url, fullimage_url, last_activity FROM canvases WHERE ";
    static const std::string Any =
        Columns + HasContent + " ORDER BY last_activity DESC, canvas_id LIMIT ?1";
    static const std::string ByNickname = Columns + "nickname = ?2 COLLATE NOCASE AND " +
                                          HasContent +
                                          " ORDER BY last_activity DESC, canvas_id LIMIT ?1";
    try {
        if (!pipeline_->copyAllNow()) {
            return std::nullopt;
        }
        auto lease = readers_->lease();
        SqliteQuery query(*lease, nickname.empty() ? Any.c_str() : ByNickname.c_str());
        query.bind(1, static_cast<int64_t>(limit));
        if (!nickname.empty()) {
            query.bind(2, nickname);
        }
        return readCanvases(query);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::vector<CanvasInfo>> SqliteStore::canvasesByDateId(std::string_view date_id,
                                                                     size_t limit) {
    // A canvas's first stroke is one step down the stamp index.
    static const std::string Sql =
        std::string("SELECT canvas_id, thumbnail_url, fullimage_url, last_activity, "
                    "(SELECT min(server_time) FROM strokes WHERE strokes.canvas_id = "
                    "canvases.canvas_id) AS first_stroke FROM canvases WHERE date_id = ?1 AND ") +
        HasContent + " ORDER BY first_stroke IS NULL, first_stroke, canvas_id LIMIT ?2";
    try {
        if (!pipeline_->copyAllNow()) {
            return std::nullopt;
        }
        auto lease = readers_->lease();
        SqliteQuery query(*lease, Sql.c_str());
        query.bind(1, date_id);
        query.bind(2, static_cast<int64_t>(limit));
        return readCanvases(query);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

CanvasLookup SqliteStore::canvas(std::string_view canvas_id) {
    static const std::string Sql =
        std::string("SELECT canvas_id, thumbnail_url, fullimage_url, last_activity FROM "
                    "canvases WHERE canvas_id = ?1 AND ") +
        HasContent;
    try {
        // A canvas whose strokes are all still in the journal has no row yet: without the
        // copy, its absence from the table says nothing.
        if (!pipeline_->copyAllNow()) {
            return CanvasLookup::failure();
        }
        auto lease = readers_->lease();
        SqliteQuery query(*lease, Sql.c_str());
        query.bind(1, canvas_id);
        if (query.step()) {
            return CanvasLookup::of(readCanvas(query));
        }
        return CanvasLookup::none();
    } catch (const std::exception&) {
        return CanvasLookup::failure();
    }
}

bool SqliteStore::saveMarks(const std::vector<SavedMark>& marks) {
    static constexpr const char* Clear = "DELETE FROM saved_marks";
    static constexpr const char* Insert =
        "INSERT OR REPLACE INTO saved_marks (canvas_id, user_name, mark, owes_notice, last_seen) "
        "VALUES (?1, ?2, ?3, ?4, ?5)";
    try {
        const auto db = writer_->hold();
        SqliteTransaction transaction(*db);
        SqliteQuery(*db, Clear).step();
        for (const SavedMark& m : marks) {
            SqliteQuery(*db, Insert)
                .bind(1, m.canvas_id)
                .bind(2, m.user_name)
                .bind(3, m.mark)
                .bind(4, int64_t{m.owes_notice})
                .bind(5, m.last_seen)
                .step();
        }
        transaction.commit();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<std::vector<SavedMark>> SqliteStore::takeSavedMarks() {
    static constexpr const char* Select =
        "SELECT canvas_id, user_name, mark, owes_notice, last_seen FROM saved_marks";
    static constexpr const char* Clear = "DELETE FROM saved_marks";
    try {
        const auto db = writer_->hold();
        SqliteTransaction transaction(*db);
        std::vector<SavedMark> marks;
        {
            SqliteQuery query(*db, Select);
            while (query.step()) {
                marks.push_back({query.text(0), query.text(1), query.integer(2),
                                 query.integer(3) != 0, query.integer(4)});
            }
        }
        SqliteQuery(*db, Clear).step();
        transaction.commit();
        return marks;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<KeyCheck> SqliteStore::checkUserKey(std::string_view user_name,
                                                  std::string_view key_hash, int64_t now_ms) {
    static constexpr const char* Select = "SELECT key_hash FROM user_keys WHERE user_name = ?1";
    static constexpr const char* Bind =
        "INSERT OR IGNORE INTO user_keys (user_name, key_hash, bound) VALUES (?1, ?2, ?3)";
    const auto verdict = [key_hash](std::string_view bound) {
        return bound == key_hash ? KeyCheck::Matches : KeyCheck::Mismatch;
    };
    if (const auto known = knownUserKey(user_name, key_hash)) {
        return known;
    }
    try {
        std::optional<std::string> bound;
        {
            auto lease = readers_->lease();
            SqliteQuery query(*lease, Select);
            query.bind(1, user_name);
            if (query.step()) {
                bound = query.text(0);
            }
        }
        if (!bound && key_hash.empty()) {
            return KeyCheck::Unbound;
        }
        if (!bound) {
            // Two first keys for one name may race: the one written first binds it.
            const auto db = writer_->hold();
            SqliteTransaction transaction(*db);
            SqliteQuery(*db, Bind).bind(1, user_name).bind(2, key_hash).bind(3, now_ms).step();
            {
                SqliteQuery query(*db, Select);
                query.bind(1, user_name);
                if (query.step()) {
                    bound = query.text(0);
                }
            }
            transaction.commit();
            if (!bound) {
                return std::nullopt;
            }
        }
        bound_keys_.remember(user_name, *bound);
        return verdict(*bound);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<KeyCheck> SqliteStore::knownUserKey(std::string_view user_name,
                                                  std::string_view key_hash) {
    return bound_keys_.check(user_name, key_hash);
}

std::optional<bool> SqliteStore::hasStrokeBy(std::string_view canvas_id,
                                             std::string_view user_name) {
    static constexpr const char* Sql =
        "SELECT 1 FROM strokes WHERE canvas_id = ?1 AND user_name = ?2 LIMIT 1";
    try {
        // Pictures are registered rarely; the journal is copied so that the table has every
        // stroke.
        if (!pipeline_->copyAllNow()) {
            return std::nullopt;
        }
        auto lease = readers_->lease();
        SqliteQuery query(*lease, Sql);
        query.bind(1, canvas_id).bind(2, user_name);
        return query.step();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<Store::CanvasSize> SqliteStore::canvasSize(std::string_view canvas_id) {
    return recent_->size(canvas_id);
}

bool SqliteStore::putImage(std::string_view hash, std::string_view png, int64_t now_ms) {
    static constexpr const char* Sql =
        "INSERT OR IGNORE INTO images (hash, data, created) VALUES (?1, ?2, ?3)";
    try {
        const auto db = writer_->hold();
        SqliteQuery(*db, Sql).bind(1, hash).bindBlob(2, png).bind(3, now_ms).step();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<std::string> SqliteStore::image(std::string_view hash) {
    static constexpr const char* Sql = "SELECT data FROM images WHERE hash = ?1";
    try {
        auto lease = readers_->lease();
        SqliteQuery query(*lease, Sql);
        query.bind(1, hash);
        if (query.step()) {
            return query.text(0);
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

} // namespace velmo::server
