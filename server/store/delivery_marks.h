#pragma once

#include "store/store.h"
#include "store/string_hash.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velmo::server {

// Per canvas and user name: the highest server time already sent to that user and whether a
// delete notice is owed. Kept in memory only: a lost mark makes the next reply resend strokes,
// which clients replace by key. Thread-safe. Memory is bounded: past `capacity` entries the
// least recently seen half is forgotten.
class DeliveryMarks {
public:
    explicit DeliveryMarks(size_t capacity = 1'000'000) : capacity_(capacity) {}

    struct Delivery {
        int64_t mark = 0;
        bool owes_notice = false;
    };

    // The user's mark and owed notice. The notice counts as given by this call. A user seen
    // for the first time is registered at mark 0 without a notice.
    Delivery take(std::string_view canvas_id, std::string_view user_name, int64_t now_ms);

    // Records that strokes up to `sent_up_to` were sent (the mark never moves back).
    void advance(std::string_view canvas_id, std::string_view user_name, int64_t sent_up_to);

    // A stroke was deleted: every other user known on the canvas owes a notice.
    void noteDelete(std::string_view canvas_id, std::string_view deleting_user);

    // Owes the notice again to one user (a reply that would have carried it failed).
    void oweNotice(std::string_view canvas_id, std::string_view user_name);

    size_t size() const;

    // Every entry, to keep across a restart; restore() adds them back (up to the capacity).
    std::vector<SavedMark> snapshot() const;
    void restore(const std::vector<SavedMark>& saved);

private:
    struct Entry {
        int64_t mark = 0;
        int64_t last_seen = 0;
        bool owes_notice = false;
    };
    // Looked up by string_view without building a string on every poll.
    using Users = std::unordered_map<std::string, Entry, StringHash, std::equal_to<>>;

    void forgetOldest();
    // The entry of a user already seen on the canvas; nothing otherwise. The lock is held.
    Entry* entryOf(std::string_view canvas_id, std::string_view user_name);

    mutable std::mutex mutex_;
    std::unordered_map<std::string, Users, StringHash, std::equal_to<>> canvases_;
    size_t count_ = 0;
    size_t capacity_;
};

} // namespace velmo::server
