#include "handler/server_metrics.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>

namespace velmo::server {

namespace {

constexpr std::array<std::string_view, static_cast<size_t>(MetricsRoute::Count)> RouteNames = {
    "/",     "/healthz", "/upload.cgi", "/render/", "/layers/", "/draw/",
    "/web/", "/images/", "/events/",    "/metrics", "/admin/",  "other"};

constexpr std::array<std::string_view, static_cast<size_t>(AppendRefusal::Count)> RefusalNames = {
    "rate_limited", "canvas_full", "key_mismatch", "banned", "bad_request", "storage", "other"};

constexpr std::array<std::string_view, 4> PaintedNames = {"nothing", "appended", "save_point",
                                                          "everything"};

constexpr std::array<std::string_view, static_cast<size_t>(StoreCall::Count)> CallNames = {"append",
                                                                                           "poll"};

void head(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// One sample; `labels` is empty or `name="value",...` with values from the fixed sets.
void sample(std::string& out, std::string_view name, std::string_view labels, uint64_t value) {
    out += name;
    if (!labels.empty()) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    out += std::to_string(value);
    out += '\n';
}

std::string label(std::string_view name, std::string_view value) {
    std::string text(name);
    text += "=\"";
    text += value;
    text += '"';
    return text;
}

std::string seconds(uint64_t ns) {
    char text[40];
    std::snprintf(text, sizeof text, "%" PRIu64 ".%09" PRIu64, ns / 1'000'000'000,
                  ns % 1'000'000'000);
    return text;
}

std::string bound(double le) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", le);
    return text;
}

} // namespace

MetricsRoute metricsRouteOf(std::string_view target) {
    const std::string_view path = target.substr(0, target.find('?'));
    if (path == "/") {
        return MetricsRoute::Commands;
    }
    if (path == "/healthz") {
        return MetricsRoute::Healthz;
    }
    if (path == "/upload.cgi") {
        return MetricsRoute::Upload;
    }
    if (path == "/metrics") {
        return MetricsRoute::Metrics;
    }
    constexpr std::array<std::pair<std::string_view, MetricsRoute>, 7> Prefixes = {{
        {"/render/", MetricsRoute::Render},
        {"/layers/", MetricsRoute::Layers},
        {"/draw/", MetricsRoute::Draw},
        {"/web/", MetricsRoute::Web},
        {"/images/", MetricsRoute::Images},
        {"/events/", MetricsRoute::Events},
        {"/admin/", MetricsRoute::Admin},
    }};
    for (const auto& [prefix, route] : Prefixes) {
        if (path.starts_with(prefix)) {
            return route;
        }
    }
    return MetricsRoute::Other;
}

std::string_view metricsRouteName(MetricsRoute route) {
    const auto index = static_cast<size_t>(route);
    return index < RouteNames.size() ? RouteNames[index] : RouteNames.back();
}

AppendRefusal appendRefusalOf(int status, RefusalReason reason) {
    switch (status) {
    case 429:
        return AppendRefusal::RateLimited;
    case 409:
        return AppendRefusal::CanvasFull;
    case 403:
        return reason == RefusalReason::Banned ? AppendRefusal::Banned : AppendRefusal::KeyMismatch;
    case 400:
        return AppendRefusal::BadRequest;
    case 503:
        return AppendRefusal::Storage;
    default:
        return AppendRefusal::Other;
    }
}

ServerMetrics::ServerMetrics() : shards_(std::make_unique<Shard[]>(Shards)) {}

ServerMetrics::Shard& ServerMetrics::mine() {
    static std::atomic<size_t> next{0};
    thread_local const size_t index = next.fetch_add(1, std::memory_order_relaxed) % Shards;
    return shards_[index];
}

void ServerMetrics::countRequest(MetricsRoute route, int status) {
    const auto index = static_cast<size_t>(route);
    if (index >= static_cast<size_t>(MetricsRoute::Count) || status < LowestStatus ||
        status >= LowestStatus + Statuses) {
        return;
    }
    add(mine().requests[index][static_cast<size_t>(status - LowestStatus)]);
}

uint64_t ServerMetrics::requests(MetricsRoute route, int status) const {
    const auto index = static_cast<size_t>(route);
    if (index >= static_cast<size_t>(MetricsRoute::Count) || status < LowestStatus ||
        status >= LowestStatus + Statuses) {
        return 0;
    }
    return sum([&](const Shard& s) -> const Counter& {
        return s.requests[index][static_cast<size_t>(status - LowestStatus)];
    });
}

void ServerMetrics::countAppend(int status, RefusalReason reason) {
    Shard& shard = mine();
    if (status >= 200 && status < 300) {
        add(shard.appends_stored);
    } else {
        add(shard.appends_refused[static_cast<size_t>(appendRefusalOf(status, reason))]);
    }
}

void ServerMetrics::countRender(RenderResult::Painted painted) {
    const auto index = static_cast<size_t>(painted);
    Shard& shard = mine();
    if (index < shard.renders.size()) {
        add(shard.renders[index]);
    }
}

void ServerMetrics::timeStore(StoreCall call, std::chrono::nanoseconds took) {
    const auto index = static_cast<size_t>(call);
    if (index >= static_cast<size_t>(StoreCall::Count)) {
        return;
    }
    Histogram& histogram = mine().store_latency[index];
    const uint64_t ns = took.count() > 0 ? static_cast<uint64_t>(took.count()) : 0;
    // In whole nanoseconds, so that a time on a bound falls in that bound's bucket.
    static constexpr auto BoundsNs = [] {
        std::array<uint64_t, LatencyBounds.size()> bounds{};
        for (size_t i = 0; i < bounds.size(); ++i) {
            bounds[i] = static_cast<uint64_t>(LatencyBounds[i] * 1e9 + 0.5);
        }
        return bounds;
    }();
    size_t bucket = 0;
    while (bucket < BoundsNs.size() && ns > BoundsNs[bucket]) {
        ++bucket;
    }
    add(histogram.buckets[bucket]);
    histogram.sum_ns.fetch_add(ns, std::memory_order_relaxed);
}

std::string ServerMetrics::text(const MetricsGauges& gauges) const {
    std::string out;
    out.reserve(8192);

    constexpr std::string_view Requests = "velmorastra_http_requests_total";
    head(out, Requests, "counter", "Requests answered, by route and status.");
    for (size_t route = 0; route < static_cast<size_t>(MetricsRoute::Count); ++route) {
        const std::string route_label =
            label("route", metricsRouteName(static_cast<MetricsRoute>(route))) + ",";
        for (size_t status = 0; status < Statuses; ++status) {
            // Only what happened: a route answers a handful of the 500 statuses.
            const uint64_t value =
                sum([&](const Shard& s) -> const Counter& { return s.requests[route][status]; });
            if (value != 0) {
                sample(out, Requests,
                       route_label + label("status", std::to_string(LowestStatus + status)), value);
            }
        }
    }

    head(out, "velmorastra_appends_stored_total", "counter",
         "Strokes stored by appends with points.");
    sample(out, "velmorastra_appends_stored_total", {},
           sum([](const Shard& s) -> const Counter& { return s.appends_stored; }));
    constexpr std::string_view Refused = "velmorastra_appends_refused_total";
    head(out, Refused, "counter", "Appends with points refused, by reason.");
    for (size_t reason = 0; reason < RefusalNames.size(); ++reason) {
        sample(out, Refused, label("reason", RefusalNames[reason]),
               sum([&](const Shard& s) -> const Counter& { return s.appends_refused[reason]; }));
    }

    head(out, "velmorastra_polls_total", "counter",
         "Polls (appends without points) past the key check.");
    sample(out, "velmorastra_polls_total", {},
           sum([](const Shard& s) -> const Counter& { return s.polls; }));
    head(out, "velmorastra_get_strokes_total", "counter", "get_strokes commands answered.");
    sample(out, "velmorastra_get_strokes_total", {},
           sum([](const Shard& s) -> const Counter& { return s.get_strokes; }));
    head(out, "velmorastra_progress_relayed_total", "counter",
         "Strokes in progress passed on to the event streams of their canvas.");
    sample(out, "velmorastra_progress_relayed_total", {},
           sum([](const Shard& s) -> const Counter& { return s.progress_relayed; }));

    constexpr std::string_view Renders = "velmorastra_renders_total";
    head(out, Renders, "counter",
         "Server renders answered (picture or not modified), by what they had to paint.");
    for (size_t painted = 0; painted < PaintedNames.size(); ++painted) {
        sample(out, Renders, label("painted", PaintedNames[painted]),
               sum([&](const Shard& s) -> const Counter& { return s.renders[painted]; }));
    }

    head(out, "velmorastra_database_errors_total", "counter",
         "Requests answered 503 because storage failed, and replies cut off by it.");
    sample(out, "velmorastra_database_errors_total", {},
           sum([](const Shard& s) -> const Counter& { return s.database_errors; }));

    constexpr std::string_view Latency = "velmorastra_store_duration_seconds";
    head(out, Latency, "histogram",
         "Time of the store calls on the request path: an append until it is durable, a "
         "poll's reads.");
    for (size_t call = 0; call < CallNames.size(); ++call) {
        const auto of = [call](const Shard& s) -> const Histogram& {
            return s.store_latency[call];
        };
        const std::string call_label = label("call", CallNames[call]);
        const std::string bucket_name = std::string(Latency) + "_bucket";
        uint64_t cumulative = 0;
        for (size_t bucket = 0; bucket <= LatencyBounds.size(); ++bucket) {
            cumulative +=
                sum([&](const Shard& s) -> const Counter& { return of(s).buckets[bucket]; });
            const std::string le =
                bucket < LatencyBounds.size() ? bound(LatencyBounds[bucket]) : "+Inf";
            sample(out, bucket_name, call_label + "," + label("le", le), cumulative);
        }
        out += Latency;
        out += "_sum{" + call_label + "} " +
               seconds(sum([&](const Shard& s) -> const Counter& { return of(s).sum_ns; })) + "\n";
        sample(out, std::string(Latency) + "_count", call_label, cumulative);
    }

    head(out, "velmorastra_event_streams_open", "gauge", "Event streams open now.");
    sample(out, "velmorastra_event_streams_open", {}, gauges.streams_open);
    head(out, "velmorastra_reply_budget_used_bytes", "gauge",
         "Bytes of replies held for clients now.");
    sample(out, "velmorastra_reply_budget_used_bytes", {}, gauges.reply_bytes_held);
    head(out, "velmorastra_reply_budget_limit_bytes", "gauge",
         "The bound of the bytes of replies held for clients (0: none).");
    sample(out, "velmorastra_reply_budget_limit_bytes", {}, gauges.reply_bytes_limit);
    if (gauges.resident_bytes >= 0) {
        head(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
        sample(out, "process_resident_memory_bytes", {},
               static_cast<uint64_t>(gauges.resident_bytes));
    }
    return out;
}

int64_t residentMemoryBytes() {
    // The second field of statm: resident pages.
    std::ifstream statm("/proc/self/statm");
    long long size = 0;
    long long resident = 0;
    if (!(statm >> size >> resident)) {
        return -1;
    }
    const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<int64_t>(resident) * page : -1;
}

} // namespace velmo::server
