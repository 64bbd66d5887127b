#include "store/postgres/pg_store.h"

#include "store/postgres/pg_appender.h"
#include "store/postgres/pg_connection.h"
#include "store/postgres/pg_deliveries.h"
#include "store/postgres/pg_news.h"
#include "store/postgres/pg_schema.h"
#include "store/recent_strokes.h"
#include "wire/canvas_id.h"
#include "wire/date_id.h"

#include <algorithm>
#include <random>

namespace velmo::server {

namespace {

// Only canvases with something to show are listed, shared or rendered.
#define VELMO_HAS_CONTENT                                                                          \
    "(stroke_count > 0 OR thumbnail_url <> ''::bytea OR fullimage_url <> ''::bytea)"
// Newest activity first: the minute leads, as the indexes hold it.
#define VELMO_BY_ACTIVITY "activity_bucket DESC, last_activity DESC, canvas_id"

constexpr const char* StrokesAfter =
    "SELECT server_time, client_time, text FROM strokes WHERE canvas_id = $1 AND "
    "server_time > $2 ORDER BY server_time, client_time LIMIT $3";
// Removes the strokes and, when there were any, counts them off the canvas and owes every other
// user of the canvas a notice, in the same transaction.
constexpr const char* Delete =
    "WITH gone AS (DELETE FROM strokes WHERE canvas_id = $1 AND user_name = $2 AND "
    "client_time = $3 RETURNING length(text) AS size), removed AS (SELECT count(*) AS n, "
    "coalesce(sum(size), 0) AS bytes FROM gone), "
    "counted AS (UPDATE canvases SET stroke_count = stroke_count - removed.n, stroke_bytes = "
    "stroke_bytes - removed.bytes, last_activity = GREATEST(last_activity, $4), "
    "activity_bucket = GREATEST(last_activity, $4) / " VELMO_PG_ACTIVITY_BUCKET
    " FROM removed WHERE canvas_id = $1 AND removed.n > 0 "
    "RETURNING 1), owed AS (UPDATE delivery_marks SET owes_notice = true FROM removed WHERE "
    "canvas_id = $1 AND user_name <> $2 AND removed.n > 0 RETURNING 1) "
    "SELECT n, (SELECT count(*) FROM counted), (SELECT count(*) FROM owed) FROM removed";
constexpr const char* Announce = "SELECT pg_notify($1, $2)";
constexpr const char* SetThumbnail =
    "INSERT INTO canvases (canvas_id, nickname_folded, date_id, last_activity, activity_bucket, "
    "thumbnail_url) VALUES ($1, $2, $3, $4, $4 / " VELMO_PG_ACTIVITY_BUCKET ", $5) ON CONFLICT "
    "(canvas_id) DO UPDATE SET last_activity = GREATEST(canvases.last_activity, $4), "
    "activity_bucket = GREATEST(canvases.last_activity, $4) / " VELMO_PG_ACTIVITY_BUCKET
    ", thumbnail_url = $5";
constexpr const char* SetFullImage =
    "INSERT INTO canvases (canvas_id, nickname_folded, date_id, last_activity, activity_bucket, "
    "fullimage_url) VALUES ($1, $2, $3, $4, $4 / " VELMO_PG_ACTIVITY_BUCKET ", $5) ON CONFLICT "
    "(canvas_id) DO UPDATE SET last_activity = GREATEST(canvases.last_activity, $4), "
    "activity_bucket = GREATEST(canvases.last_activity, $4) / " VELMO_PG_ACTIVITY_BUCKET
    ", fullimage_url = $5";
constexpr const char* AnyCanvas =
    "SELECT canvas_id, thumbnail_url, fullimage_url, last_activity FROM canvases "
    "WHERE " VELMO_HAS_CONTENT " ORDER BY " VELMO_BY_ACTIVITY " LIMIT $1";
constexpr const char* ByNickname =
    "SELECT canvas_id, thumbnail_url, fullimage_url, last_activity FROM canvases WHERE "
    "nickname_folded = $2 AND " VELMO_HAS_CONTENT " ORDER BY " VELMO_BY_ACTIVITY " LIMIT $1";
// A canvas's first stroke is one step down the primary key.
constexpr const char* ByDateId =
    "SELECT canvas_id, thumbnail_url, fullimage_url, last_activity, (SELECT min(server_time) "
    "FROM strokes WHERE strokes.canvas_id = canvases.canvas_id) AS first_stroke FROM canvases "
    "WHERE date_id = $1 AND " VELMO_HAS_CONTENT
    " ORDER BY first_stroke NULLS LAST, canvas_id LIMIT $2";
constexpr const char* OneCanvas =
    "SELECT canvas_id, thumbnail_url, fullimage_url, last_activity FROM canvases WHERE "
    "canvas_id = $1 AND " VELMO_HAS_CONTENT;
constexpr const char* Stamps = "SELECT canvas_id, last_stamp FROM canvases";
constexpr const char* PutImage =
    "INSERT INTO images (hash, data, created) VALUES ($1, $2, $3) ON CONFLICT (hash) DO NOTHING";
constexpr const char* GetImage = "SELECT data FROM images WHERE hash = $1";
constexpr const char* BindKey = "INSERT INTO user_keys (user_name, key_hash, bound_at) VALUES "
                                "($1, $2, $3) ON CONFLICT (user_name) DO NOTHING";
constexpr const char* BoundKey = "SELECT key_hash FROM user_keys WHERE user_name = $1";
constexpr const char* HasStrokeBy =
    "SELECT EXISTS (SELECT 1 FROM strokes WHERE canvas_id = $1 AND user_name = $2)";
constexpr const char* SizeOf =
    "SELECT stroke_count, stroke_bytes FROM canvases WHERE canvas_id = $1";

#undef VELMO_HAS_CONTENT
#undef VELMO_BY_ACTIVITY

std::vector<CanvasInfo> readCanvases(const PgResult& result) {
    std::vector<CanvasInfo> found;
    found.reserve(static_cast<size_t>(result.rows()));
    for (int row = 0; row < result.rows(); ++row) {
        found.push_back({result.bytes(row, 0), result.bytes(row, 1), result.bytes(row, 2),
                         result.int64(row, 3)});
    }
    return found;
}

std::string randomInstanceName() {
    std::random_device random;
    const uint64_t name = (uint64_t{random()} << 32) | random();
    constexpr char Hex[] = "0123456789abcdef";
    std::string out;
    for (int shift = 60; shift >= 0; shift -= 4) {
        out += Hex[(name >> shift) & 0xF];
    }
    return out;
}

} // namespace

PgStore::PgStore(const std::string& uri, CanvasNews* news, size_t connections)
    : instance_(randomInstanceName()), news_(news),
      pool_(std::make_unique<PgPool>(uri, std::max<size_t>(connections, 1))),
      recent_(std::make_unique<RecentStrokes>()),
      deliveries_(std::make_unique<PgDeliveries>(*pool_, *recent_, instance_)) {}

PgStore::~PgStore() {
    listener_.reset();
    live_sender_.reset();
    appender_.reset();
}

std::unique_ptr<PgStore> PgStore::open(const std::string& uri, CanvasNews* news, std::string* error,
                                       size_t connections) {
    try {
        auto store = std::make_unique<PgStore>(uri, news, connections);
        {
            auto conn = store->pool_->lease();
            PgSchema::migrate(*conn);
        }
        PgStore& self = *store;
        // Listening first: whatever is stored after the stamps are read is heard of.
        store->listener_ = std::make_unique<PgNewsListener>(
            uri, barrierChannel(store->instance_),
            [&self](const PgNews& heard) {
                std::lock_guard lock(self.held_mutex_);
                if (self.holding_news_) {
                    self.held_news_.push_back(heard);
                } else {
                    self.hear(heard);
                }
            },
            [&self](PgConnection& conn) {
                std::lock_guard lock(self.held_mutex_);
                self.resync(conn);
            });
        store->live_sender_ = std::make_unique<PgLiveSender>(uri, store->instance_);
        store->seedStamps();
        store->appender_ = std::make_unique<PgAppender>(uri, store->instance_, *store->recent_,
                                                        *store->deliveries_, store->publish_mutex_);
        return store;
    } catch (const PgError& e) {
        if (error) {
            *error = e.what();
        }
        return nullptr;
    }
}

void PgStore::hear(const PgNews& heard) {
    if (heard.barrier != 0) {
        deliveries_->barrierHeard(heard.barrier);
        return;
    }
    if (heard.instance == instance_) {
        return; // told to its own streams already
    }
    if (heard.live) {
        if (live_sink_) {
            live_sink_(*heard.live);
        }
        return;
    }
    if (heard.notice_only) {
        deliveries_->noteDelete(heard.canvas_id, {});
        return;
    }
    recent_->noteForeign(heard.canvas_id, heard.news.stamp);
    if (heard.news.kind == StrokeNews::Kind::Delete) {
        deliveries_->noteDelete(heard.canvas_id, {});
    }
    if (news_ != nullptr) {
        news_->publish(heard.canvas_id, heard.news);
    }
}

void PgStore::resync(PgConnection& conn) {
    // Whatever happened meanwhile is unknown: memory starts over from the database.
    deliveries_->forgetAll();
    const PgResult stamps = conn.exec(Stamps);
    for (int row = 0; row < stamps.rows(); ++row) {
        const std::string canvas_id = stamps.bytes(row, 0);
        const int64_t stamp = stamps.int64(row, 1);
        const bool newer = stamp > recent_->lastStamp(canvas_id);
        recent_->noteForeign(canvas_id, stamp);
        if (newer && news_ != nullptr) {
            news_->publish(canvas_id, {StrokeNews::Kind::Append, stamp});
        }
    }
}

LiveRelay& PgStore::liveRelay() {
    return *live_sender_;
}

void PgStore::hearLive(std::function<void(const RemoteLive&)> sink) {
    std::lock_guard lock(held_mutex_);
    live_sink_ = std::move(sink);
}

void PgStore::loseHeldNews() {
    std::lock_guard lock(held_mutex_);
    holding_news_ = false;
    held_news_.clear();
    auto conn = pool_->lease();
    resync(*conn);
}

void PgStore::holdNews(bool hold) {
    std::lock_guard lock(held_mutex_);
    holding_news_ = hold;
    if (!hold) {
        for (const PgNews& heard : held_news_) {
            hear(heard);
        }
        held_news_.clear();
    }
}

void PgStore::seedStamps() {
    auto conn = pool_->lease();
    const PgResult stamps = conn->exec(Stamps);
    for (int row = 0; row < stamps.rows(); ++row) {
        recent_->seed(stamps.bytes(row, 0), stamps.int64(row, 1));
    }
}

DeliveryBook& PgStore::deliveries() {
    return *deliveries_;
}

int64_t PgStore::lastStamp(std::string_view canvas_id) {
    return recent_->lastStamp(canvas_id);
}

void PgStore::appendStrokeAsync(std::string canvas_id, canvas::MWStroke stroke, int64_t now_ms,
                                size_t reply_bytes, AppendDone done) {
    auto pending = std::make_unique<PendingAppend>();
    pending->canvas_id = std::move(canvas_id);
    pending->stroke = std::move(stroke);
    pending->now_ms = now_ms;
    pending->reply_bytes = reply_bytes;
    pending->done = std::move(done);
    appender_->append(std::move(pending));
}

std::optional<int64_t> PgStore::appendStroke(std::string_view canvas_id,
                                             const canvas::MWStroke& stroke, int64_t now_ms) {
    return appendAndWait(canvas_id, stroke, now_ms);
}

std::optional<std::vector<StoredStroke>> PgStore::strokesAfter(std::string_view canvas_id,
                                                               int64_t after, size_t limit) {
    // Every stroke in memory is in the database too; memory only spares the read.
    std::vector<StoredStroke> remembered;
    if (recent_->strokesAfter(canvas_id, after, limit, remembered)) {
        return remembered;
    }
    try {
        auto conn = pool_->lease();
        const PgResult result =
            conn->exec(StrokesAfter,
                       PgParams().bytes(canvas_id).int64(after).int64(static_cast<int64_t>(limit)));
        std::vector<StoredStroke> strokes;
        strokes.reserve(static_cast<size_t>(result.rows()));
        for (int row = 0; row < result.rows(); ++row) {
            strokes.push_back({result.int64(row, 0), result.int64(row, 1), result.bytes(row, 2)});
        }
        return strokes;
    } catch (const PgError&) {
        return std::nullopt;
    }
}

std::optional<size_t> PgStore::deleteStrokes(std::string_view canvas_id, std::string_view user_name,
                                             int64_t client_time, int64_t now_ms) {
    size_t removed = 0;
    try {
        auto conn = pool_->lease();
        PgTransaction transaction(*conn);
        // The canvas's lock first, as appends take it: deletes and appends of a canvas take
        // their turns, and two deletes never lock its users' marks in different orders.
        const auto results = conn->pipeline(
            {{PgSchema::LockCanvases, PgParams().int64Array(PgSchema::canvasLockKeys({canvas_id}))},
             {Delete,
              PgParams().bytes(canvas_id).bytes(user_name).int64(client_time).int64(now_ms)}});
        removed = static_cast<size_t>(results[1].int64(0, 0));
        if (removed > 0) {
            const std::string payload =
                newsPayload({instance_, {StrokeNews::Kind::Delete, 0}, std::string(canvas_id)});
            conn->exec(Announce, PgParams().text(PgNewsChannel).text(payload));
        }
        transaction.commit();
    } catch (const PgError&) {
        return std::nullopt;
    }
    if (removed > 0) {
        // An append batch that committed the stroke may not have put it in memory yet.
        std::lock_guard publish(publish_mutex_);
        recent_->forget(canvas_id, user_name, client_time);
    }
    return removed;
}

bool PgStore::setImageUrl(std::string_view canvas_id, ImageKind kind, std::string_view url,
                          int64_t now_ms) {
    const auto date_id = wire::dateID(canvas_id);
    const auto nickname = wire::nicknameOf(canvas_id);
    try {
        auto conn = pool_->lease();
        conn->exec(
            kind == ImageKind::Thumbnail ? SetThumbnail : SetFullImage,
            PgParams()
                .bytes(canvas_id)
                .bytesOrNull(nickname
                                 ? std::optional<std::string>(PgSchema::foldNickname(*nickname))
                                 : std::nullopt)
                .bytesOrNull(date_id ? std::optional<std::string_view>(*date_id) : std::nullopt)
                .int64(now_ms)
                .bytes(url));
        return true;
    } catch (const PgError&) {
        return false;
    }
}

std::optional<std::vector<CanvasInfo>> PgStore::findCanvases(std::string_view nickname,
                                                             size_t limit) {
    try {
        auto conn = pool_->lease();
        PgParams params;
        params.int64(static_cast<int64_t>(limit));
        if (!nickname.empty()) {
            params.bytes(PgSchema::foldNickname(nickname));
        }
        return readCanvases(conn->exec(nickname.empty() ? AnyCanvas : ByNickname, params));
    } catch (const PgError&) {
        return std::nullopt;
    }
}

std::optional<std::vector<CanvasInfo>> PgStore::canvasesByDateId(std::string_view date_id,
                                                                 size_t limit) {
    try {
        auto conn = pool_->lease();
        return readCanvases(
            conn->exec(ByDateId, PgParams().bytes(date_id).int64(static_cast<int64_t>(limit))));
    } catch (const PgError&) {
        return std::nullopt;
    }
}

CanvasLookup PgStore::canvas(std::string_view canvas_id) {
    try {
        auto conn = pool_->lease();
        auto found = readCanvases(conn->exec(OneCanvas, PgParams().bytes(canvas_id)));
        if (found.empty()) {
            return CanvasLookup::none();
        }
        return CanvasLookup::of(std::move(found.front()));
    } catch (const PgError&) {
        return CanvasLookup::failure();
    }
}

bool PgStore::saveMarks(const std::vector<SavedMark>& marks) {
    return deliveries_->save(marks);
}

std::optional<std::vector<SavedMark>> PgStore::takeSavedMarks() {
    return std::vector<SavedMark>{};
}

bool PgStore::putImage(std::string_view hash, std::string_view png, int64_t now_ms) {
    try {
        auto conn = pool_->lease();
        conn->exec(PutImage, PgParams().text(hash).bytes(png).int64(now_ms));
        return true;
    } catch (const PgError&) {
        return false;
    }
}

std::optional<std::string> PgStore::image(std::string_view hash) {
    try {
        auto conn = pool_->lease();
        const PgResult result = conn->exec(GetImage, PgParams().text(hash));
        if (result.rows() > 0) {
            return result.bytes(0, 0);
        }
    } catch (const PgError&) {
    }
    return std::nullopt;
}

std::optional<KeyCheck> PgStore::checkUserKey(std::string_view user_name, std::string_view key_hash,
                                              int64_t now_ms) {
    // A binding never changes, so one seen once answers every later check.
    if (const auto known = knownUserKey(user_name, key_hash)) {
        return known;
    }
    std::optional<std::string> bound;
    try {
        auto conn = pool_->lease();
        if (key_hash.empty()) {
            const PgResult result = conn->exec(BoundKey, PgParams().bytes(user_name));
            if (result.rows() > 0) {
                bound = result.bytes(0, 0);
            }
        } else {
            // Bound by this key unless another instance bound the name first.
            const auto results = conn->pipeline(
                {{BindKey, PgParams().bytes(user_name).bytes(key_hash).int64(now_ms)},
                 {BoundKey, PgParams().bytes(user_name)}});
            if (results[1].rows() > 0) {
                bound = results[1].bytes(0, 0);
            }
        }
    } catch (const PgError&) {
        return std::nullopt;
    }
    if (!bound) {
        return KeyCheck::Unbound; // never bound, and no key came
    }
    bound_keys_.remember(user_name, *bound);
    return *bound == key_hash ? KeyCheck::Matches : KeyCheck::Mismatch;
}

std::optional<KeyCheck> PgStore::knownUserKey(std::string_view user_name,
                                              std::string_view key_hash) {
    return bound_keys_.check(user_name, key_hash);
}

std::optional<bool> PgStore::hasStrokeBy(std::string_view canvas_id, std::string_view user_name) {
    try {
        auto conn = pool_->lease();
        return conn->exec(HasStrokeBy, PgParams().bytes(canvas_id).bytes(user_name)).boolean(0, 0);
    } catch (const PgError&) {
        return std::nullopt;
    }
}

std::optional<Store::CanvasSize> PgStore::canvasSize(std::string_view canvas_id) {
    try {
        auto conn = pool_->lease();
        const PgResult result = conn->exec(SizeOf, PgParams().bytes(canvas_id));
        if (result.rows() == 0) {
            return Store::CanvasSize{};
        }
        return Store::CanvasSize{result.int64(0, 0), result.int64(0, 1)};
    } catch (const PgError&) {
        return std::nullopt;
    }
}

} // namespace velmo::server
