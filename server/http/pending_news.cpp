#include "http/pending_news.h"

#include "wire/server_events.h"

namespace velmo::server {

bool PendingNews::add(const StrokeNews& news) {
    if (news.kind == StrokeNews::Kind::Delete) {
        deleted_.store(true);
    } else {
        int64_t seen = stamp_.load();
        while (seen < news.stamp && !stamp_.compare_exchange_weak(seen, news.stamp)) {
        }
    }
    // Set after the news itself, so whoever takes it after seeing the flag finds the news.
    return !owed_.exchange(true);
}

std::optional<std::string> PendingNews::take() {
    // Cleared before the news is read: news added meanwhile wakes the stream again.
    if (!owed_.exchange(false)) {
        return std::nullopt;
    }
    const int64_t stamp = stamp_.exchange(0);
    if (deleted_.exchange(false)) {
        return wire::serverEventText(wire::DeleteEvent, "");
    }
    if (stamp == 0) {
        return std::nullopt; // taken already by the call that raced this one's wake-up
    }
    return wire::serverEventText(wire::AppendEvent, std::to_string(stamp));
}

} // namespace velmo::server
