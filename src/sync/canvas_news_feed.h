#pragma once

#include "platform/event_stream.h"
#include "platform/scheduler.h"
#include "sync/one_shot.h"
#include "sync/retry_wait.h"
#include "wire/stroke_progress.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::sync {

// Hears what the stream tells besides news: strokes in progress and who comes and goes.
class LiveListener {
public:
    virtual ~LiveListener() = default;
    virtual void progressArrived(const wire::StrokeProgress& progress) = 0;
    virtual void userJoined(const std::string& user_id) = 0;
    virtual void userLeft(const std::string& user_id) = 0;
    // What was known of who is present is no longer true: the stream failed or another opened
    // (which tells again who is there).
    virtual void presenceLost() = 0;
};

// Holds the live event stream of the open canvas (wire/server_events.h) and turns its events
// into news: `on_news` gets the stamp of a stored stroke, or nothing when only a poll can tell
// what changed. Without a stream (a server that has none, a proxy that buffers, a broken
// connection) nothing comes, and the polling timer alone brings the strokes, as before.
//
// A stream that had sent an event and fails is opened again at once, at most once between two
// ticks of the polling timer. Other failures wait: with a scheduler, about a second after the
// first (jittered), doubling with each failure in a row up to ReopenLongest; so a server that
// has no stream, and refuses it each time at once, is not asked every second for good. The
// moment the server is seen again by other requests (serverSeen), a waiting stream opens at
// once, so the wait need not be short to notice a server's return. Without a scheduler the
// waits are counted in ticks: 1, 2, 4, 8, then at most MaxBackoffTicks. Any event resets the
// count. Everything runs on the UI thread.
class CanvasNewsFeed {
public:
    static constexpr int MaxBackoffTicks = 12;
    static constexpr double ReopenFirst = 1.0;
    static constexpr double ReopenLongest = 60.0;

    // The stream must outlive the feed. Streams are opened under `server_base_url`. Failed
    // streams are opened again by ticks.
    CanvasNewsFeed(platform::EventStream& stream, std::string server_base_url,
                   std::function<void(std::optional<int64_t> stamp)> on_news);
    // As above, but a failed stream is opened again at the end of its wait, by `scheduler`,
    // which must outlive the feed.
    CanvasNewsFeed(platform::EventStream& stream, platform::Scheduler& scheduler,
                   std::string server_base_url,
                   std::function<void(std::optional<int64_t> stamp)> on_news);
    ~CanvasNewsFeed();
    CanvasNewsFeed(const CanvasNewsFeed&) = delete;
    CanvasNewsFeed& operator=(const CanvasNewsFeed&) = delete;

    // From now on holds a stream on `canvas_id`, closing the one on another canvas; an empty
    // ID holds none. The canvas followed already keeps its stream (or its back-off). A stream
    // that names `user_id` (proven by `key_header`, sent as the key header) hears who is
    // present; one that names nobody only news and strokes in progress. Another user on the
    // same canvas opens the stream again.
    void follow(const std::string& canvas_id, const std::string& user_id = {},
                std::optional<std::string> key_header = std::nullopt);
    // Hears strokes in progress and presence from now on; none: nobody (non-owning). The
    // points of progress are read at `pixel_scale`'s default pen.
    void setLiveListener(LiveListener* listener, float pixel_scale) {
        live_listener = listener;
        progress_scale = pixel_scale;
    }
    // Called on every event, before what the event means: the server is there.
    void setSeenListener(std::function<void()> listener) { seen_listener = std::move(listener); }
    // Spreads the waits before a reopening; tests give a fixed one.
    void setJitter(Jitter source) { jitter = std::move(source); }
    // The polling timer's tick: reopens a failed stream once its back-off is over.
    void tick();
    // The server answered another request: a failed stream opens again now.
    void serverSeen();
    // The wait before the failed stream is opened again, in seconds; 0 when none is waiting
    // (or the waits are counted in ticks).
    double reopenWait() const { return reopen_timer ? reopen_timer->interval() : 0.0; }

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
    std::string user_id;
    std::optional<std::string> key_header;
    LiveListener* live_listener = nullptr;
    std::function<void()> seen_listener;
    Jitter jitter = defaultJitter();
    // None: reopened by ticks.
    std::unique_ptr<OneShot> reopen_timer;
    float progress_scale = 1.0f;
    bool open = false;
    bool heard = false;
    int failures = 0;
    int ticks_to_wait = 0;
    bool reopened_at_once = false;
};

} // namespace velmo::sync
