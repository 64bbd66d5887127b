#include "sync/canvas_news_feed.h"

#include "wire/key_header.h"
#include "wire/server_events.h"

#include <algorithm>
#include <utility>

namespace velmo::sync {

CanvasNewsFeed::CanvasNewsFeed(platform::EventStream& stream_, std::string server_base_url_,
                               std::function<void(std::optional<int64_t>)> on_news_)
    : stream(stream_), server_base_url(std::move(server_base_url_)), on_news(std::move(on_news_)) {}

CanvasNewsFeed::CanvasNewsFeed(platform::EventStream& stream_, platform::Scheduler& scheduler,
                               std::string server_base_url_,
                               std::function<void(std::optional<int64_t>)> on_news_)
    : CanvasNewsFeed(stream_, std::move(server_base_url_), std::move(on_news_)) {
    reopen_timer = std::make_unique<OneShot>(scheduler);
}

CanvasNewsFeed::~CanvasNewsFeed() {
    if (open) {
        stream.close();
    }
}

void CanvasNewsFeed::follow(const std::string& id, const std::string& user,
                            std::optional<std::string> key) {
    const std::string named = wire::isPresenceUser(user) ? user : std::string();
    if (id == canvas_id && named == user_id) {
        key_header = std::move(key);
        return;
    }
    if (open) {
        stream.close();
        open = false;
    }
    if (live_listener != nullptr) {
        live_listener->presenceLost();
    }
    canvas_id = id;
    user_id = named;
    key_header = std::move(key);
    failures = 0;
    ticks_to_wait = 0;
    if (reopen_timer) {
        reopen_timer->stop();
    }
    if (!canvas_id.empty()) {
        openStream();
    }
}

void CanvasNewsFeed::tick() {
    reopened_at_once = false;
    if (canvas_id.empty() || open || reopen_timer) {
        return;
    }
    if (--ticks_to_wait <= 0) {
        openStream();
    }
}

void CanvasNewsFeed::serverSeen() {
    if (canvas_id.empty() || open) {
        return;
    }
    failures = 0;
    ticks_to_wait = 0;
    if (reopen_timer) {
        reopen_timer->stop();
    }
    openStream();
}

void CanvasNewsFeed::openStream() {
    open = true;
    heard = false;
    // The stream promises no callback after close or a newer open, and the feed closes it
    // before it goes: `this` is safe in them.
    platform::EventStream::Headers headers;
    if (!user_id.empty() && key_header) {
        headers.emplace_back(wire::KeyHeaderName, *key_header);
    }
    stream.open(
        user_id.empty() ? wire::eventStreamURL(server_base_url, canvas_id)
                        : wire::presenceStreamURL(server_base_url, canvas_id, user_id),
        headers, [this](std::string_view type, std::string_view data) { onEvent(type, data); },
        [this] { onFailure(); });
}

void CanvasNewsFeed::onEvent(std::string_view type, std::string_view data) {
    heard = true;
    failures = 0;
    if (seen_listener) {
        seen_listener();
    }
    if (type == wire::ReadyEvent || type == wire::AppendEvent) {
        on_news(wire::eventStamp(data));
    } else if (type == wire::DeleteEvent) {
        on_news(std::nullopt);
    } else if (live_listener == nullptr) {
        return;
    } else if (type == wire::ProgressEvent) {
        auto progress = wire::parseProgress(data, progress_scale);
        // Strokes of this user come from its own drawing; another window's echo is none.
        if (progress && progress->user_name != user_id) {
            live_listener->progressArrived(*progress);
        }
    } else if (type == wire::JoinEvent && wire::isPresenceUser(data)) {
        live_listener->userJoined(std::string(data));
    } else if (type == wire::LeaveEvent && wire::isPresenceUser(data)) {
        live_listener->userLeft(std::string(data));
    }
    // Other types are left for later servers to add.
}

void CanvasNewsFeed::onFailure() {
    if (live_listener != nullptr) {
        live_listener->presenceLost();
    }
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
    if (reopen_timer) {
        reopen_timer->start(RetryWait::doubling(failures, ReopenFirst, ReopenLongest, jitter),
                            [this] {
                                if (!canvas_id.empty() && !open) {
                                    openStream();
                                }
                            });
        return;
    }
    ticks_to_wait = std::min(1 << std::min(failures - 1, 4), MaxBackoffTicks);
}

} // namespace velmo::sync
