#pragma once

#include "handler/canvas_render.h"
#include "handler/http_types.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace velmo::server {

// The routes requests are counted by: the paths the access log shows, with whatever names a
// canvas, a picture or a file left out, so that the label has a fixed set of values however
// many canvases there are.
enum class MetricsRoute : uint8_t {
    Commands, // POST / and GET / (the front and share pages)
    Healthz,
    Upload,
    Render,
    Layers,
    Draw,
    Web,
    Images,
    Events,
    Metrics,
    Admin,
    Other, // anything else, and requests refused before their target was read
    Count
};
// The route of a request target (path and query); "-" and other non-paths are Other.
MetricsRoute metricsRouteOf(std::string_view target);
// "/", "/healthz", "/upload.cgi", "/render/", ... "other".
std::string_view metricsRouteName(MetricsRoute route);

// The store calls timed on the request path: an append until the store says it is durable, a
// poll's reads of the delivery marks and the strokes after them.
enum class StoreCall : uint8_t { Append, Poll, Count };

// Why an append with points was not stored, by the status it was answered with.
enum class AppendRefusal : uint8_t {
    RateLimited, // 429
    CanvasFull,  // 409
    KeyMismatch, // 403
    Banned,      // 403, the user name or key is banned
    BadRequest,  // 400, a malformed key header
    Storage,     // 503, the database failed
    Other,
    Count
};
// A ban and a key that does not match are both 403: the answer's reason tells them apart.
AppendRefusal appendRefusalOf(int status, RefusalReason reason = RefusalReason::None);

// What the registry does not count itself but reads when it is asked for its text.
struct MetricsGauges {
    size_t streams_open = 0;
    size_t reply_bytes_held = 0;
    size_t reply_bytes_limit = 0; // 0: no limit
    int64_t resident_bytes = -1;  // -1: unknown, left out
};

// The counters of one server process, for GET /metrics. Every count is a relaxed atomic
// increment: any thread may count at any time without a lock, and a scrape sees each counter
// as it stands, not the set at one instant. Label values come from fixed sets only (routes,
// status numbers 100 to 599, reasons), so the text stays bounded however clients behave.
// Each thread counts in one of a few copies of the counters, summed by text(): the network
// threads counting every poll in one place took turns at the same cache lines, which cost the
// poll a measurable part of its time. About 400 KiB in all.
class ServerMetrics {
public:
    ServerMetrics();
    ServerMetrics(const ServerMetrics&) = delete;
    ServerMetrics& operator=(const ServerMetrics&) = delete;

    // A status outside 100 to 599 is not counted: the server sends none.
    void countRequest(MetricsRoute route, int status);
    // The answer to an append with points (its status and reason): 2xx is a stroke stored,
    // anything else a refusal.
    void countAppend(int status, RefusalReason reason = RefusalReason::None);
    void countPoll() { add(mine().polls); }
    void countGetStrokes() { add(mine().get_strokes); }
    void countProgressRelayed() { add(mine().progress_relayed); }
    void countRender(RenderResult::Painted painted);
    // A request the database failed, or a reply it cut off.
    void countDatabaseError() { add(mine().database_errors); }
    void timeStore(StoreCall call, std::chrono::nanoseconds took);

    // The Prometheus text exposition format (version 0.0.4): # HELP and # TYPE for each
    // metric, then its samples, one `name{labels} value` a line.
    std::string text(const MetricsGauges& gauges) const;

    // For tests.
    uint64_t requests(MetricsRoute route, int status) const;

    // The upper bounds of the store latency buckets, in seconds; +Inf follows them.
    static constexpr std::array<double, 15> LatencyBounds = {0.0001, 0.00025, 0.0005, 0.001, 0.0025,
                                                             0.005,  0.01,    0.025,  0.05,  0.1,
                                                             0.25,   0.5,     1,      2.5,   5};

private:
    using Counter = std::atomic<uint64_t>;
    static void add(Counter& counter) { counter.fetch_add(1, std::memory_order_relaxed); }

    static constexpr int LowestStatus = 100;
    static constexpr int Statuses = 500;

    struct Histogram {
        std::array<Counter, LatencyBounds.size() + 1> buckets{}; // not cumulative; last: +Inf
        Counter sum_ns{0};
    };

    // One thread's copy of every counter, on cache lines of its own.
    struct alignas(64) Shard {
        std::array<std::array<Counter, Statuses>, static_cast<size_t>(MetricsRoute::Count)>
            requests{};
        Counter appends_stored{0};
        std::array<Counter, static_cast<size_t>(AppendRefusal::Count)> appends_refused{};
        Counter polls{0};
        Counter get_strokes{0};
        Counter progress_relayed{0};
        std::array<Counter, 4> renders{}; // by RenderResult::Painted
        Counter database_errors{0};
        std::array<Histogram, static_cast<size_t>(StoreCall::Count)> store_latency{};
    };
    // Threads take the copies in turn as they first count; more threads than copies share.
    static constexpr size_t Shards = 8;
    Shard& mine();
    // The sum of one counter over the copies.
    template <class Pick> uint64_t sum(Pick pick) const {
        uint64_t total = 0;
        for (size_t i = 0; i < Shards; ++i) {
            total += pick(shards_[i]).load(std::memory_order_relaxed);
        }
        return total;
    }

    std::unique_ptr<Shard[]> shards_;
};

// This process's resident memory in bytes (/proc/self/statm), -1 when it cannot be read.
int64_t residentMemoryBytes();

} // namespace velmo::server
