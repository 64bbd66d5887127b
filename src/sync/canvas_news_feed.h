#pragma once

#include "platform/event_stream.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::sync {

// Holds the live event stream of the open canvas (wire/server_events.h) and turns its events
// into news: `on_news` gets the stamp of a stored stroke, or nothing when only a poll can tell
// what changed. Without a stream (a server that has none, a proxy that buffers, a broken
// connection) nothing comes, and the polling timer alone brings the strokes, as before.
//
// A stream that fails is opened again from the polling timer's ticks, after 1 tick, then 2,
// 4, 8 and at most MaxBackoffTicks after each failure in a row; any event resets the count.
// A stream that had sent an event is opened again at once, at most once between two ticks.
// Everything runs on the UI thread.
class CanvasNewsFeed {
public:
    static constexpr int MaxBackoffTicks = 12;

    // The stream must outlive the feed. Streams are opened under `server_base_url`.
    CanvasNewsFeed(platform::EventStream& stream, std::string server_base_url,
                   std::function<void(std::optional<int64_t> stamp)> on_news);
    ~CanvasNewsFeed();
    CanvasNewsFeed(const CanvasNewsFeed&) = delete;
    CanvasNewsFeed& operator=(const CanvasNewsFeed&) = delete;

    // From now on holds a stream on `canvas_id`, closing the one on another canvas; an empty
    // ID holds none. The canvas followed already keeps its stream (or its back-off).
    void follow(const std::string& canvas_id);
    // The polling timer's tick: reopens a failed stream once its back-off is over.
    void tick();

    const std::string& canvasID() const { return canvas_id; }
    // A stream is open and has sent an event.
    bool live() const { return open && heard; }

private:
    void openStream();
    void onEvent(std::string_view type, std::string_view data);
    void onFailure();

    platform::EventStream& stream;
    std::string server_base_url;
    std::function<void(std::optional<int64_t>)> on_news;
    std::string canvas_id;
    bool open = false;
    bool heard = false;
    int failures = 0;
    int ticks_to_wait = 0;
    bool reopened_at_once = false;
};

} // namespace velmo::sync
