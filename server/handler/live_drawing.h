#pragma once

#include "handler/token_buckets.h"
#include "store/canvas_news.h"
#include "store/live_relay.h"
#include "wire/stroke_progress.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace velmo::server {

// A stroke in progress as the server passes it on: what parsed, and its event text (wire/
// server_events.h) made once for every stream that writes it.
struct LiveProgress {
    wire::StrokeProgress progress;
    std::string text;  // wire::progressText
    std::string event; // the event that carries it
};
std::shared_ptr<const LiveProgress> makeLiveProgress(wire::StrokeProgress progress);

// What the live channel allows. Defaults suit a public server: a person drawing sends one
// progress command per frame at most, 60 a second, of a few hundred bytes.
struct LiveOptions {
    // Off: progress commands answer 404 and streams ignore ?user=.
    bool enabled = true;
    // Progress commands per user name (rate a second, burst), and their bytes.
    BucketRule progress{60, 60};
    BucketRule progress_bytes{64.0 * 1024, 64.0 * 1024};
    // Users listed as present on one canvas at most; a stream beyond is served but its user is
    // neither listed nor announced.
    size_t max_present = 200;
    // Users the buckets remember at most (TokenBuckets).
    size_t max_users = 32'768;
    // With several instances: how often an instance says again who is present on it, and how
    // long a user another instance announced stays present without hearing of it again.
    std::chrono::milliseconds announce_every{20'000};
    std::chrono::milliseconds remote_expiry{60'000};
};

// The live channel of every canvas of this process: strokes in progress are passed to the
// event streams of their canvas through the news hub, and who is present on which canvas is
// kept here, for the streams that open (their first "join" events) and for the joins and
// leaves the hub carries. With a relay (several instances), what happens here is told to the
// other instances and what they tell is heard here. Thread-safe.
class LiveDrawing {
public:
    LiveDrawing(LiveOptions options, CanvasNews& news);
    ~LiveDrawing();
    LiveDrawing(const LiveDrawing&) = delete;
    LiveDrawing& operator=(const LiveDrawing&) = delete;

    const LiveOptions& options() const { return options_; }
    bool enabled() const { return options_.enabled; }

    // Takes what a progress command of `bytes` costs its user: 0, or the ms to wait (nothing
    // taken).
    int64_t takeProgress(std::string_view user_name, size_t bytes, int64_t now_ms);
    // Passes a stroke in progress to the streams of the canvas (and to the other instances).
    void progress(std::string_view canvas_id, std::shared_ptr<const LiveProgress> progress);

    // A stream of `canvas_id` opens, naming `user` (empty: none). Under the presence lock, so
    // that no join or leave comes between: the user is entered (a join for everyone when it is
    // new there and the canvas has room), then `subscribe` is called, then `present` gets who
    // is present, in the order they came. The answer: whether the user was entered, which the
    // stream must undo with leave() when it ends.
    bool enter(const std::string& canvas_id, const std::string& user,
               const std::function<void()>& subscribe, std::vector<std::string>& present);
    void leave(const std::string& canvas_id, const std::string& user);

    // The other instances' news, from the relay's listener; sent through `relay`, which must
    // outlive this or be taken away first (nullptr). Starts a thread that says again who is
    // present here and forgets who was not heard of for too long.
    void relayWith(LiveRelay* relay);
    void heard(const RemoteLive& news);

    // Who is present on the canvas now (for tests).
    std::vector<std::string> present(const std::string& canvas_id);
    // Once: says again who is present here and forgets remote users not heard of since
    // `now - remote_expiry` (the relay's thread calls it; tests may).
    void tick(std::chrono::steady_clock::time_point now);

private:
    struct Present {
        std::string user;
        size_t local = 0; // streams here naming it
        // Instances it is present on, and when each last said so.
        std::unordered_map<std::string, std::chrono::steady_clock::time_point> remote;
        bool listed() const { return local > 0 || !remote.empty(); }
    };
    using Canvas = std::vector<Present>;

    void announce(std::string_view canvas_id, LiveNews::Kind kind, const std::string& user);
    void tell(RemoteLive::Kind kind, std::string_view canvas_id, std::string_view text);
    void runTicks();

    const LiveOptions options_;
    CanvasNews& news_;
    TokenBuckets rate_;
    TokenBuckets bytes_;
    std::mutex mutex_;
    std::unordered_map<std::string, Canvas> canvases_;
    LiveRelay* relay_ = nullptr;
    std::mutex relay_mutex_;
    std::condition_variable tick_wake_;
    bool stopping_ = false;
    std::thread ticks_;
};

} // namespace velmo::server
