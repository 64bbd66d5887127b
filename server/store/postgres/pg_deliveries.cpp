#include "store/postgres/pg_deliveries.h"

#include "store/postgres/pg_connection.h"
#include "store/postgres/pg_news.h"
#include "store/recent_strokes.h"
#include "store/store.h"

#include <algorithm>

namespace velmo::server {

namespace {

// The notice, if owed, is given by this very update: of two instances answering the same
// user at once only one carries it.
constexpr const char* GiveNotice =
    "UPDATE delivery_marks SET owes_notice = false, last_seen = $3 WHERE canvas_id = $1 AND "
    "user_name = $2 AND owes_notice RETURNING mark";
constexpr const char* ReadMark =
    "SELECT mark FROM delivery_marks WHERE canvas_id = $1 AND user_name = $2";
constexpr const char* AddUser =
    "INSERT INTO delivery_marks (canvas_id, user_name, mark, owes_notice, last_seen) VALUES "
    "($1, $2, 0, false, $3) ON CONFLICT (canvas_id, user_name) DO NOTHING";
constexpr const char* Advance =
    "UPDATE delivery_marks SET mark = $3 WHERE canvas_id = $1 AND user_name = $2 AND mark < $3";
constexpr const char* OweNotice =
    "UPDATE delivery_marks SET owes_notice = true WHERE canvas_id = $1 AND user_name = $2";
constexpr const char* Announce = "SELECT pg_notify($1, $2)";
// A mark lost with a crash of the database only sends strokes again, which clients replace by
// their keys: its writes need not wait for the disk, which would cost a flush per reply.
constexpr const char* Begin = "BEGIN";
constexpr const char* NoFlush = "SET LOCAL synchronous_commit TO off";
constexpr const char* Commit = "COMMIT";
constexpr const char* Save =
    "INSERT INTO delivery_marks (canvas_id, user_name, mark, owes_notice, last_seen) VALUES "
    "($1, $2, $3, $4, $5) ON CONFLICT (canvas_id, user_name) DO UPDATE SET mark = "
    "GREATEST(delivery_marks.mark, $3), owes_notice = delivery_marks.owes_notice OR $4, "
    "last_seen = GREATEST(delivery_marks.last_seen, $5)";

// A delivery taken with its strokes holds at most this many; beyond, the reply pages.
constexpr size_t MaxTakenStrokes = 256;

// Moves the mark if it is still at least the floor ($5), giving the notice if owed; returns
// what it found.
constexpr const char* TakeAll =
    "UPDATE delivery_marks SET taken_mark = mark, taken_notice = owes_notice, mark = "
    "GREATEST(mark, $3), owes_notice = false, last_seen = GREATEST(last_seen, $4) WHERE "
    "canvas_id = $1 AND user_name = $2 AND mark >= $5 RETURNING taken_mark, taken_notice";

} // namespace

std::optional<TakenDelivery> PgDeliveries::takeAll(std::string_view canvas_id,
                                                   std::string_view user_name, int64_t now_ms,
                                                   size_t reply_bytes) {
    const int64_t last_stamp = recent_.lastStamp(canvas_id);
    auto unsent = unsentInMemory(canvas_id, user_name, reply_bytes);
    if (!unsent || unsent->floor >= last_stamp) {
        return std::nullopt; // nothing new is answered by take() from memory
    }
    const uint64_t deletes = deletesHeard(canvas_id);
    std::optional<TakenDelivery> taken;
    try {
        auto conn = pool_.lease();
        const auto results = conn->pipeline({{Begin, {}},
                                             {NoFlush, {}},
                                             {TakeAll, PgParams()
                                                           .bytes(canvas_id)
                                                           .bytes(user_name)
                                                           .int64(last_stamp)
                                                           .int64(now_ms)
                                                           .int64(unsent->floor)},
                                             {Commit, {}}});
        const PgResult& found = results[2];
        if (found.rows() == 0) {
            return std::nullopt;
        }
        taken = TakenDelivery{found.int64(0, 0), found.boolean(0, 1), {}};
    } catch (const PgError&) {
        return std::nullopt;
    }
    for (StoredStroke& stroke : unsent->strokes) {
        if (stroke.server_time > taken->mark && stroke.server_time <= last_stamp) {
            taken->strokes.push_back(std::move(stroke));
        }
    }
    remember(canvas_id, user_name, last_stamp, deletes);
    return taken;
}

std::optional<PgDeliveries::Unsent> PgDeliveries::unsentInMemory(std::string_view canvas_id,
                                                                 std::string_view user_name,
                                                                 size_t reply_bytes, size_t more,
                                                                 size_t more_bytes) const {
    Unsent unsent;
    {
        std::lock_guard lock(mutex_);
        const auto cached = cache_.find(keyOf(canvas_id, user_name));
        if (cached == cache_.end()) {
            return std::nullopt;
        }
        unsent.floor = cached->second.mark;
    }
    if (!recent_.strokesAfter(canvas_id, unsent.floor, MaxTakenStrokes + 1, unsent.strokes) ||
        unsent.strokes.size() + more > MaxTakenStrokes) {
        return std::nullopt;
    }
    size_t bytes = more_bytes;
    for (const StoredStroke& stroke : unsent.strokes) {
        bytes += stroke.text.size();
    }
    if (bytes > reply_bytes) {
        return std::nullopt;
    }
    return unsent;
}

uint64_t PgDeliveries::deletesHeard(std::string_view canvas_id) const {
    std::lock_guard lock(mutex_);
    return deletesOn(canvas_id);
}

std::string PgDeliveries::keyOf(std::string_view canvas_id, std::string_view user_name) {
    std::string key(canvas_id);
    key += '\0'; // canvas IDs hold no control byte
    key += user_name;
    return key;
}

uint64_t PgDeliveries::deletesOn(std::string_view canvas_id) const {
    const auto found = deletes_.find(canvas_id);
    return all_deletes_ + (found == deletes_.end() ? 0 : found->second);
}

void PgDeliveries::remember(std::string_view canvas_id, std::string_view user_name, int64_t mark,
                            uint64_t deletes) {
    std::lock_guard lock(mutex_);
    if (cache_.size() >= capacity_) {
        cache_.clear();
    }
    // `deletes` was counted before the database was read: a delete heard of since then makes
    // the next poll read again.
    cache_[keyOf(canvas_id, user_name)] = {mark, deletes};
}

std::optional<DeliveryBook::Delivery>
PgDeliveries::take(std::string_view canvas_id, std::string_view user_name, int64_t now_ms) {
    const int64_t last_stamp = recent_.lastStamp(canvas_id);
    uint64_t deletes = 0;
    std::optional<int64_t> known;
    {
        std::lock_guard lock(mutex_);
        deletes = deletesOn(canvas_id);
        const auto cached = cache_.find(keyOf(canvas_id, user_name));
        if (cached != cache_.end() && cached->second.deletes == deletes &&
            cached->second.mark >= last_stamp) {
            known = cached->second.mark;
        }
    }
    if (known) {
        const NewsWait waited = awaitNews();
        if (waited == NewsWait::DatabaseDown) {
            // Whatever is owed stays owed in the database, for a reply once it is back.
            return Delivery{*known, false};
        }
        if (waited == NewsWait::Heard) {
            // Every stroke and delete committed before this request has been heard of by now,
            // other instances' too: if none came on the canvas, nothing is new and no notice
            // is owed.
            std::lock_guard lock(mutex_);
            if (deletesOn(canvas_id) == deletes && *known >= recent_.lastStamp(canvas_id)) {
                return Delivery{*known, false};
            }
            deletes = deletesOn(canvas_id); // the database, read next, knows of those
        }
    }
    try {
        auto conn = pool_.lease();
        const PgParams key = PgParams().bytes(canvas_id).bytes(user_name);
        const auto results =
            conn->pipeline({{GiveNotice, PgParams(key).int64(now_ms)}, {ReadMark, PgParams(key)}});
        Delivery delivery;
        if (results[0].rows() > 0) {
            delivery = {results[0].int64(0, 0), true};
        } else if (results[1].rows() > 0) {
            delivery = {results[1].int64(0, 0), false};
        } else {
            conn->pipeline(
                {{Begin, {}}, {NoFlush, {}}, {AddUser, PgParams(key).int64(now_ms)}, {Commit, {}}});
        }
        remember(canvas_id, user_name, delivery.mark, deletes);
        return delivery;
    } catch (const PgError&) {
        return std::nullopt;
    }
}

void PgDeliveries::advance(std::string_view canvas_id, std::string_view user_name,
                           int64_t sent_up_to) {
    try {
        auto conn = pool_.lease();
        conn->pipeline({{Begin, {}},
                        {NoFlush, {}},
                        {Advance, PgParams().bytes(canvas_id).bytes(user_name).int64(sent_up_to)},
                        {Commit, {}}});
    } catch (const PgError&) {
        return; // the strokes are sent again; clients replace them by key
    }
    std::lock_guard lock(mutex_);
    const auto cached = cache_.find(keyOf(canvas_id, user_name));
    if (cached != cache_.end()) {
        cached->second.mark = std::max(cached->second.mark, sent_up_to);
    }
}

void PgDeliveries::noteDelete(std::string_view canvas_id, std::string_view) {
    std::lock_guard lock(mutex_);
    const auto found = deletes_.find(canvas_id);
    if (found == deletes_.end()) {
        deletes_.emplace(std::string(canvas_id), 1);
    } else {
        ++found->second;
    }
}

void PgDeliveries::oweNotice(std::string_view canvas_id, std::string_view user_name) {
    {
        std::lock_guard lock(mutex_);
        cache_.erase(keyOf(canvas_id, user_name));
    }
    try {
        auto conn = pool_.lease();
        PgTransaction transaction(*conn);
        conn->exec(OweNotice, PgParams().bytes(canvas_id).bytes(user_name));
        const std::string payload =
            newsPayload({instance_, {StrokeNews::Kind::Delete, 0}, std::string(canvas_id), true});
        conn->exec(Announce, PgParams().text(PgNewsChannel).text(payload));
        transaction.commit();
    } catch (const PgError&) {
        // The notice is lost with the database; the client's next delete brings another.
    }
}

PgDeliveries::NewsWait PgDeliveries::awaitNews() {
    std::unique_lock lock(barrier_mutex_);
    const auto deadline = std::chrono::steady_clock::now() + BarrierWait;
    if (barrier_failed_ == barrier_sent_ && barrier_failed_ != 0 &&
        std::chrono::steady_clock::now() - barrier_sent_at_ < FailureRespite) {
        // The database could not be reached a moment ago: polls are not held up trying again
        // (a connection to an unreachable host may take long to fail).
        return NewsWait::DatabaseDown;
    }
    // A barrier already on its way was sent before this call: only a later one proves anything.
    const uint64_t wanted = barrier_sent_ + 1;
    while (barrier_heard_serial_ < wanted) {
        if (barrier_failed_ >= wanted) {
            return NewsWait::DatabaseDown;
        }
        const auto now = std::chrono::steady_clock::now();
        const bool on_its_way = barrier_sent_ > barrier_heard_serial_ &&
                                barrier_sent_ > barrier_failed_ &&
                                now - barrier_sent_at_ < BarrierWait;
        if (!on_its_way) {
            // Sent by the first caller that finds none on its way (a lost one counts as none).
            const uint64_t serial = barrier_sent_ + 1;
            barrier_sent_ = serial;
            barrier_sent_at_ = now;
            lock.unlock();
            bool sent = true;
            try {
                auto conn = pool_.lease();
                conn->exec(Announce,
                           PgParams().text(barrierChannel(instance_)).text(std::to_string(serial)));
            } catch (const PgError&) {
                sent = false;
            }
            lock.lock();
            if (!sent) {
                barrier_failed_ = std::max(barrier_failed_, serial);
                barrier_heard_.notify_all();
            }
            continue;
        }
        if (barrier_heard_.wait_until(lock, deadline) == std::cv_status::timeout &&
            barrier_heard_serial_ < wanted) {
            return NewsWait::TimedOut;
        }
    }
    return NewsWait::Heard;
}

void PgDeliveries::barrierHeard(uint64_t serial) {
    {
        std::lock_guard lock(barrier_mutex_);
        barrier_heard_serial_ = std::max(barrier_heard_serial_, serial);
    }
    barrier_heard_.notify_all();
}

void PgDeliveries::forgetAll() {
    std::lock_guard lock(mutex_);
    ++all_deletes_;
    cache_.clear();
}

bool PgDeliveries::save(const std::vector<SavedMark>& marks) {
    try {
        auto conn = pool_.lease();
        PgTransaction transaction(*conn);
        for (const SavedMark& m : marks) {
            conn->exec(Save, PgParams()
                                 .bytes(m.canvas_id)
                                 .bytes(m.user_name)
                                 .int64(m.mark)
                                 .boolean(m.owes_notice)
                                 .int64(m.last_seen));
        }
        transaction.commit();
        return true;
    } catch (const PgError&) {
        return false;
    }
}

} // namespace velmo::server
