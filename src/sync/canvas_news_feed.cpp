#include "sync/canvas_news_feed.h"

#include "wire/server_events.h"

#include <algorithm>
#include <utility>

namespace velmo::sync {

CanvasNewsFeed::CanvasNewsFeed(platform::EventStream& stream_, std::string server_base_url_,
                               std::function<void(std::optional<int64_t>)> on_news_)
    : stream(stream_), server_base_url(std::move(server_base_url_)), on_news(std::move(on_news_)) {}

CanvasNewsFeed::~CanvasNewsFeed() {
    if (open) {
        stream.close();
    }
}

void CanvasNewsFeed::follow(const std::string& id) {
    if (id == canvas_id) {
        return;
    }
    if (open) {
        stream.close();
        open = false;
    }
    canvas_id = id;
    failures = 0;
    ticks_to_wait = 0;
    if (!canvas_id.empty()) {
        openStream();
    }
}

void CanvasNewsFeed::tick() {
    reopened_at_once = false;
    if (canvas_id.empty() || open) {
        return;
    }
    if (--ticks_to_wait <= 0) {
        openStream();
    }
}

void CanvasNewsFeed::openStream() {
    open = true;
    heard = false;
    // The stream promises no callback after close or a newer open, and the feed closes it
    // before it goes: `this` is safe in them.
    stream.open(
        wire::eventStreamURL(server_base_url, canvas_id),
        [this](std::string_view type, std::string_view data) { onEvent(type, data); },
        [this] { onFailure(); });
}

void CanvasNewsFeed::onEvent(std::string_view type, std::string_view data) {
    heard = true;
    failures = 0;
    if (type == wire::ReadyEvent || type == wire::AppendEvent) {
        on_news(wire::eventStamp(data));
    } else if (type == wire::DeleteEvent) {
        on_news(std::nullopt);
    }
    // Other types are left for later servers to add.
}

void CanvasNewsFeed::onFailure() {
    const bool had_worked = heard;
    open = false;
    heard = false;
    ++failures;
    if (had_worked && !reopened_at_once) {
        // A stream that worked and broke (a restarted server, a proxy that dropped it) comes
        // back at once, so the strokes of the next seconds need not wait for a tick; a server
        // that keeps dropping it gets this once a tick.
        reopened_at_once = true;
        openStream();
        return;
    }
    ticks_to_wait = std::min(1 << std::min(failures - 1, 4), MaxBackoffTicks);
}

} // namespace velmo::sync
