#pragma once

#include "store/delivery_book.h"
#include "store/store.h"
#include "store/string_hash.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace velmo::server {

class PgPool;
class RecentStrokes;

// The delivery book kept in the database (delivery_marks), shared by every instance, with a
// cache that spares a poll with nothing new the reads of its mark and strokes: marks only rise,
// so a mark this instance read or wrote is at most the user's real one, and when it reaches the
// canvas's last stamp and no delete was heard of on the canvas since, nothing is new for that
// user. Owed notices are set by the delete's own transaction (PgStore::deleteStrokes), on
// whichever instance; noteDelete tells the cache. Another instance's news may still be on its
// way when a poll comes, so the cache answers only once a barrier sent after the poll came has
// been heard (awaitNews): one notification shared by every poll that waits for it. Thread-safe.
class PgDeliveries final : public DeliveryBook {
public:
    // The pool and the memory must outlive this. Past `capacity` entries the cache starts over.
    // `instance` names this server in its announcements.
    PgDeliveries(PgPool& pool, const RecentStrokes& recent, std::string instance,
                 size_t capacity = 1'000'000)
        : pool_(pool), recent_(recent), instance_(std::move(instance)), capacity_(capacity) {}

    std::optional<Delivery> take(std::string_view canvas_id, std::string_view user_name,
                                 int64_t now_ms) override;
    // When this instance knows a mark the user had and memory holds every stroke since: one
    // statement reads and moves the mark (a lost move only sends strokes again).
    std::optional<TakenDelivery> takeAll(std::string_view canvas_id, std::string_view user_name,
                                         int64_t now_ms, size_t reply_bytes) override;
    void advance(std::string_view canvas_id, std::string_view user_name,
                 int64_t sent_up_to) override;
    void noteDelete(std::string_view canvas_id, std::string_view deleting_user) override;
    // Other instances hear of it too, as they may have the user's mark cached.
    void oweNotice(std::string_view canvas_id, std::string_view user_name) override;
    bool pollsMayWait() const override { return true; }

    // News may have been missed: nothing cached is trusted any more.
    void forgetAll();

    // Waits until this instance has heard every announcement committed before the call: it
    // sends a barrier on its own channel (one for every caller that came while none was on
    // its way) and waits for the listener to hear it. TimedOut when that did not happen within
    // BarrierWait (the listener cut off, say), DatabaseDown when the barrier could not be sent.
    enum class NewsWait { Heard, TimedOut, DatabaseDown };
    NewsWait awaitNews();
    // From the listener: this instance's barrier `serial` was heard.
    void barrierHeard(uint64_t serial);
    static constexpr std::chrono::milliseconds BarrierWait{100};
    // After a barrier could not be sent, this long without trying again.
    static constexpr std::chrono::milliseconds FailureRespite{1000};

    // Writes the given marks (a mark never moves back, an owed notice stays owed).
    bool save(const std::vector<SavedMark>& marks);

    // An append batch takes its authors' deliveries in its own transaction (see
    // Store::appendStrokeAsync), so that their replies cost the database nothing more: these
    // tell it what this instance knows, and learn what the batch did.

    // What memory can send the user: the mark this instance last knew for them (at most the
    // real one) and every stroke of the canvas since. Nothing when the mark is unknown, memory
    // lacks some of those strokes, or they would pass 256 strokes or `reply_bytes` with `more`
    // strokes of `more_bytes` added.
    struct Unsent {
        int64_t floor = 0;
        std::vector<StoredStroke> strokes;
    };
    std::optional<Unsent> unsentInMemory(std::string_view canvas_id, std::string_view user_name,
                                         size_t reply_bytes, size_t more = 0,
                                         size_t more_bytes = 0) const;

    // How many deletes on the canvas were heard of, for noteTaken.
    uint64_t deletesHeard(std::string_view canvas_id) const;
    // A batch took the user's delivery and moved the mark to `mark`; `deletes` is
    // deletesHeard before the batch.
    void noteTaken(std::string_view canvas_id, std::string_view user_name, int64_t mark,
                   uint64_t deletes) {
        remember(canvas_id, user_name, mark, deletes);
    }

private:
    struct Cached {
        int64_t mark = 0;
        uint64_t deletes = 0; // the canvas's count of deletes heard of when the mark was read
    };
    // The count of deletes heard of on the canvas. Under mutex_.
    uint64_t deletesOn(std::string_view canvas_id) const;
    void remember(std::string_view canvas_id, std::string_view user_name, int64_t mark,
                  uint64_t deletes);
    static std::string keyOf(std::string_view canvas_id, std::string_view user_name);

    PgPool& pool_;
    const RecentStrokes& recent_;
    std::string instance_;
    size_t capacity_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Cached, StringHash, std::equal_to<>> cache_;
    std::unordered_map<std::string, uint64_t, StringHash, std::equal_to<>> deletes_;
    uint64_t all_deletes_ = 0; // added to every canvas's count by forgetAll

    std::mutex barrier_mutex_;
    std::condition_variable barrier_heard_;
    uint64_t barrier_sent_ = 0;         // the newest barrier sent
    uint64_t barrier_heard_serial_ = 0; // the newest barrier heard
    uint64_t barrier_failed_ = 0;       // the newest barrier that could not be sent
    std::chrono::steady_clock::time_point barrier_sent_at_{};
};

} // namespace velmo::server
