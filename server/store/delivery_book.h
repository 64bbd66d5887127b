#pragma once

#include "store/store.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace velmo::server {

// Per canvas and user name: the highest server time already sent to that user and whether a
// delete notice is owed. The request handler asks it before every reply. Thread-safe. A
// method answering nothing met a storage failure and changed nothing.
class DeliveryBook {
public:
    struct Delivery {
        int64_t mark = 0;
        bool owes_notice = false;
    };

    virtual ~DeliveryBook() = default;

    // The user's mark and owed notice. The notice counts as given by this call. A user seen
    // for the first time is registered at mark 0 without a notice.
    virtual std::optional<Delivery> take(std::string_view canvas_id, std::string_view user_name,
                                         int64_t now_ms) = 0;

    // take() and advance() in one step, when the book can answer every stroke the user has yet
    // to be sent from what it remembers, in at most `reply_bytes` of text: those strokes come
    // with it, and the caller sends exactly them. Nothing when it cannot (a storage failure
    // included); then take() and advance() are the way.
    virtual std::optional<TakenDelivery> takeAll(std::string_view canvas_id,
                                                 std::string_view user_name, int64_t now_ms,
                                                 size_t reply_bytes) {
        (void)canvas_id, (void)user_name, (void)now_ms, (void)reply_bytes;
        return std::nullopt;
    }

    // Records that strokes up to `sent_up_to` were sent (the mark never moves back).
    virtual void advance(std::string_view canvas_id, std::string_view user_name,
                         int64_t sent_up_to) = 0;

    // A stroke was deleted: every other user known on the canvas owes a notice. A book kept in
    // the database has the notices recorded by the delete itself; then this only tells it that
    // what it remembers of the canvas is stale.
    virtual void noteDelete(std::string_view canvas_id, std::string_view deleting_user) = 0;

    // Owes the notice again to one user (a reply that would have carried it failed).
    virtual void oweNotice(std::string_view canvas_id, std::string_view user_name) = 0;

    // True when a poll with nothing new may wait on the book (for another instance's news),
    // so it must not be answered on a network thread.
    virtual bool pollsMayWait() const { return false; }
};

} // namespace velmo::server
