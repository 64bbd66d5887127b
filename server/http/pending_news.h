#pragma once

#include "store/canvas_news.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

namespace velmo::server {

// The news an event stream owes its client, coalesced: however many strokes are stored while
// the client reads slowly (or not at all), the stream owes at most one event, an append with
// the newest stamp, or a delete, which makes the client poll whatever it holds. So a stream's
// memory does not grow with the news it has not sent.
//
// Filled by publishers on any thread, emptied by the stream on its own.
class PendingNews {
public:
    // True when nothing was owed before: the stream must be woken to send it.
    bool add(const StrokeNews& news);
    // The event text owed now (wire/server_events.h), if any; nothing is owed afterwards.
    std::optional<std::string> take();
    // Whether something is owed now.
    bool owed() const { return owed_.load(); }

private:
    std::atomic<int64_t> stamp_{0};
    std::atomic<bool> deleted_{false};
    std::atomic<bool> owed_{false};
};

} // namespace velmo::server
