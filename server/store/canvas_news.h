#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace velmo::server {

// A stroke in progress as the server passes it on: read once (wire/stroke_progress.h, here
// only named), and its event as the streams write it (wire::serverEventText of "progress" and
// wire::progressText), made once for all of them.
struct LiveProgress;

// What the live channel carries besides stroke news, never stored: a stroke being drawn, and
// a user coming to or leaving a canvas.
struct LiveNews {
    enum class Kind { Progress, Join, Leave };
    Kind kind = Kind::Progress;
    std::string user;                             // the drawer, or who joins or leaves
    std::shared_ptr<const LiveProgress> progress; // Progress only
};

// What happened to a canvas, as its event streams tell it: a stroke stored (with its stamp)
// or one removed.
struct StrokeNews {
    enum class Kind { Append, Delete };
    Kind kind = Kind::Append;
    int64_t stamp = 0; // the stored stroke's stamp; 0 for a delete

    bool operator==(const StrokeNews&) const = default;
};

// News of canvases, from the request handler, which publishes once the store has taken or
// removed a stroke, to the event streams, which subscribe to one canvas each. Thread-safe.
// Behind this interface the news may come from elsewhere too: a backend shared by several
// server instances relays what the others stored (LISTEN/NOTIFY) by publishing it here.
class CanvasNews {
public:
    // Ends its subscription when destroyed; from then on no call of its listener is running
    // or will come.
    class Subscription {
    public:
        virtual ~Subscription() = default;
    };
    // Called on the publisher's thread while the hub holds its lock: it must be quick, may
    // not subscribe or unsubscribe, and must be safe on any thread.
    using Listener = std::function<void(const StrokeNews&)>;
    // The same for live news (strokes in progress, joins and leaves).
    using LiveListener = std::function<void(const LiveNews&)>;

    virtual ~CanvasNews() = default;

    // Tells every listener of `canvas_id` before it returns.
    virtual void publish(std::string_view canvas_id, const StrokeNews& news) = 0;
    // `live`, when given, hears the canvas's live news too.
    [[nodiscard]] virtual std::unique_ptr<Subscription>
    subscribe(std::string canvas_id, Listener listener, LiveListener live = {}) = 0;
    // Tells every live listener of `canvas_id` before it returns. A hub without live news
    // drops it.
    virtual void publishLive(std::string_view canvas_id, const LiveNews& news) {
        (void)canvas_id;
        (void)news;
    }
};

} // namespace velmo::server
