#pragma once

#include "store/canvas_news.h"
#include "store/live_relay.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace velmo::server {

class PgConnection;

// The channel on which every instance announces the strokes it stored or removed.
constexpr const char* PgNewsChannel = "velmo_canvas_news";

// The channel of live news (strokes in progress, joins and leaves), which no transaction
// carries: each notification is sent on its own, by PgLiveSender.
constexpr const char* PgLiveChannel = "velmo_live_news";

// The channel on which an instance hears its own barriers: PostgreSQL delivers notifications in
// the order their transactions committed, whatever their channels, so an instance that hears a
// barrier it sent has heard every announcement committed before it sent it.
std::string barrierChannel(std::string_view instance);

// One announcement: which instance, what happened, on which canvas. `notice_only`: no stroke
// changed, but a user of the canvas owes a delete notice again (a reply failed). `barrier`, when
// not 0: no announcement but the serial of the listening instance's own barrier.
struct PgNews {
    std::string instance;
    StrokeNews news;
    std::string canvas_id;
    bool notice_only = false;
    uint64_t barrier = 0;
    // Not stroke news but live news (on PgLiveChannel).
    std::optional<RemoteLive> live = std::nullopt;

    bool operator==(const PgNews&) const = default;
};

// Live news as a NOTIFY payload: "<instance> p|j|l <canvas ID in hex> <text in hex>", at most
// MaxLivePayload bytes for a canvas ID and a progress text within their bounds; nothing for
// news that would not fit. Nothing from parseLivePayload for a payload not made so.
inline constexpr size_t MaxLivePayload = 7999;
std::optional<std::string> livePayload(const RemoteLive& news);
std::optional<RemoteLive> parseLivePayload(std::string_view payload);

// Sends live news to the other instances on a connection and thread of its own, what is queued
// in one round trip. The queue is bounded: when it is full, progress is dropped first (the
// next one says where the stroke is), then anything. A lost connection is opened again, what
// was queued meanwhile dropped.
class PgLiveSender final : public LiveRelay {
public:
    static constexpr size_t MaxQueued = 2048;
    PgLiveSender(std::string uri, std::string instance);
    ~PgLiveSender() override;
    PgLiveSender(const PgLiveSender&) = delete;
    PgLiveSender& operator=(const PgLiveSender&) = delete;

    void send(RemoteLive news) override;
    size_t dropped() const { return dropped_.load(); }

private:
    void run();

    const std::string uri_;
    const std::string instance_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<RemoteLive> queue_;
    bool stopping_ = false;
    std::atomic<size_t> dropped_{0};
    std::thread thread_;
};

// As a NOTIFY payload: "<instance> a|d|n <stamp> <canvas ID in hex>", plain ASCII whatever bytes
// the canvas ID holds, and well below the 8000 bytes a payload may have.
std::string newsPayload(const PgNews& news);
// What precedes the stamp in the payload of the instance's append news, for a statement that
// adds the stamp and the canvas itself.
std::string newsPayloadPrefix(std::string_view instance);
// Nothing for a payload not made by newsPayload.
std::optional<PgNews> parseNewsPayload(std::string_view payload);

// Listens on PgNewsChannel, PgLiveChannel and `barrier_channel` on a connection of its own, in a
// thread of its own, and hands every announcement and barrier to `on_news` on that thread. When the
// connection is lost it connects again and calls `on_resync` with the new connection, since
// announcements may have been missed meanwhile; until then it tries again every second.
class PgNewsListener {
public:
    using OnNews = std::function<void(const PgNews&)>;
    using OnResync = std::function<void(PgConnection&)>;

    // Listens before it returns, so nothing announced after that is missed. Throws PgError.
    PgNewsListener(std::string uri, std::string barrier_channel, OnNews on_news,
                   OnResync on_resync);
    ~PgNewsListener();
    PgNewsListener(const PgNewsListener&) = delete;
    PgNewsListener& operator=(const PgNewsListener&) = delete;

private:
    void run();
    // Waits for announcements until the connection fails or stop is asked. False on a stop.
    bool listen(PgConnection& conn);

    std::string uri_;
    std::string barrier_channel_;
    OnNews on_news_;
    OnResync on_resync_;
    std::unique_ptr<PgConnection> conn_;
    int wake_fd_ = -1; // an eventfd: written to stop the thread
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace velmo::server
