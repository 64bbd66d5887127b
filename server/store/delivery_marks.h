#pragma once

#include "store/delivery_book.h"
#include "store/store.h"
#include "store/string_hash.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velmo::server {

// The delivery book of one process, kept in memory only: a lost mark makes the next reply resend
// strokes, which clients replace by key. Thread-safe. Memory is bounded: past `capacity` entries
// the least recently seen half is forgotten.
class DeliveryMarks final : public DeliveryBook {
public:
    explicit DeliveryMarks(size_t capacity = 1'000'000) : capacity_(capacity) {}

    // Never fails.
    std::optional<Delivery> take(std::string_view canvas_id, std::string_view user_name,
                                 int64_t now_ms) override;
    void advance(std::string_view canvas_id, std::string_view user_name,
                 int64_t sent_up_to) override;
    void noteDelete(std::string_view canvas_id, std::string_view deleting_user) override;
    void oweNotice(std::string_view canvas_id, std::string_view user_name) override;

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
