#pragma once

#include "canvas/pen_properties.h"
#include "platform/clock.h"
#include "platform/http_exchange.h"
#include "platform/scheduler.h"
#include "wire/stroke_progress.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmo::sync {

// Sends the points of the user's stroke while it is drawn (wire/stroke_progress.h), so that
// others see it grow. At most one request is in flight, and one goes at most every
// MinInterval: each carries every point drawn since the last one went (up to
// wire::MaxProgressPoints; the rest go with the next). A cancelled stroke sends a cancel; a
// finished one sends nothing more, since its append goes through the command queue as ever.
//
// Progress is never retried, queued or saved: a batch that fails is lost (receivers bridge the
// gap) and the next carries the points after it, after the wait a Retry-After asks for. A
// server that refuses progress for good (another 4xx than 408 and 429, as an older server's
// "unknown command") gets none for that canvas until it is opened again.
//
// Everything runs on the UI thread. Points are canvas units.
class StrokeProgressSender {
public:
    static constexpr double MinInterval = 1.0 / 30.0;
    // The wait after a batch that failed without a Retry-After, so that a server that is down
    // is not asked thirty times a second.
    static constexpr double FailureWait = 1.0;
    static constexpr double Timeout = 5.0;

    // The exchange, scheduler and clock must outlive the sender. Requests go to
    // `server_base_url` exactly as given.
    StrokeProgressSender(platform::HttpExchange& http, platform::Scheduler& scheduler,
                         const platform::Clock& clock, std::string server_base_url);
    ~StrokeProgressSender();
    StrokeProgressSender(const StrokeProgressSender&) = delete;
    StrokeProgressSender& operator=(const StrokeProgressSender&) = delete;

    // A canvas was opened (another, or the same again): progress is tried there afresh, and
    // a stroke of the canvas before sends nothing more.
    void canvasOpened();
    // A stroke begins on `canvas_id`, drawn by `user_name`, whose key header (if any) each
    // request carries; `press_time` names it (ms since 1970). Its first point comes with it.
    void strokeBegun(const std::string& canvas_id, const std::string& user_name,
                     std::optional<std::string> key_header, int64_t press_time,
                     const canvas::PenProperties& pen, int32_t layer, int32_t x, int32_t y);
    void strokeExtended(int32_t x, int32_t y);
    void strokeCancelled();
    void strokeFinished();

    // Off: nothing is sent (strokes begun meanwhile are not followed).
    bool enabled = true;
    // The server refused progress on the canvas open now.
    bool refused() const { return is_refused; }
    bool requestInFlight() const { return in_flight; }
    uint64_t requestsSent() const { return sent_requests; }
    // The name of the stroke followed now (its press time), if any.
    std::optional<int64_t> currentStroke() const {
        return stroke ? std::optional<int64_t>(stroke->head.stroke) : std::nullopt;
    }

private:
    struct Stroke {
        std::string canvas_id;
        std::optional<std::string> key_header;
        wire::StrokeProgress head; // user, stroke, pen and layer; no points
        std::vector<int32_t> xs, ys;
        std::vector<int64_t> times;
        size_t sent = 0; // points gone (or lost) so far
    };

    void pointAdded(int32_t x, int32_t y);
    // Sends what is owed when the pacing allows; keeps the timer while anything is owed.
    void trySend(bool from_timer = false);
    void send(const std::string& canvas_id, const std::optional<std::string>& key_header,
              const wire::StrokeProgress& progress);
    void answered(uint64_t serial, std::optional<platform::HttpStatus> status);
    bool owesRequest() const;
    int64_t nowMs() const;

    platform::HttpExchange& http;
    platform::Scheduler& scheduler;
    const platform::Clock& clock;
    std::string server_base_url;

    std::optional<Stroke> stroke;
    // A cancel still to go (after the request in flight).
    std::optional<Stroke> cancel;
    bool is_refused = false;
    bool in_flight = false;
    uint64_t serial = 0;
    uint64_t sent_requests = 0;
    double last_sent = -1e300;
    double not_before = -1e300;
    std::shared_ptr<platform::HttpCancellation> cancellation;
    std::unique_ptr<platform::RepeatingTimer> timer;
    // Callbacks reach the sender only while this lives.
    std::shared_ptr<StrokeProgressSender*> self;
};

} // namespace velmo::sync
