#pragma once

#include "handler/request_handler.h"
#include "http/access_log.h"
#include "http/metrics_access.h"
#include "http/pending_live.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmo::server {

struct ServerOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 8640; // 0 picks a free port
    // Network threads: they read requests, answer reads and polls, and write responses.
    int threads = 2;
    // Threads for every request that is not quick (isQuick): durable writes, database reads,
    // renders, uploads. Appends waiting at the same time are committed together, so this also
    // bounds how many share one disk flush.
    int worker_threads = 32;
    // A keep-alive connection with no request starting within this time is closed.
    std::chrono::milliseconds idle_timeout{60'000};
    // A request must arrive completely, and its answer be taken, within this time.
    std::chrono::milliseconds request_timeout{20'000};
    bool access_log = true;
    LogFormat log_format = LogFormat::Text;
    // Event streams (GET /events/<canvas ID>, when the handler context has a news hub): a
    // comment this often keeps proxies from closing one without news; at most this many open
    // in all and from one client address. A stream's writes share the request time-out.
    std::chrono::milliseconds stream_keepalive{20'000};
    size_t max_streams = 10'000;
    size_t max_streams_per_address = 64;
    // What one stream holds of strokes in progress and presence changes not yet written.
    PendingLive::Limits stream_live_limits;
    // Server renders running at once; beyond, a render is answered 503 with Retry-After. Kept
    // below worker_threads so that renders never hold every worker. 0 turns renders off.
    size_t max_renders = 4;
    // Connections open at once from one client address; a further one is answered 429 and
    // closed. 0: no limit.
    size_t max_connections_per_address = 256;
    // Bytes of replies held for clients at once, in all: each reply made by a worker takes
    // twice the handler context's page_bytes (the bound of one connection's reply) until it is
    // sent, more if it is larger; beyond, such a request is answered 503 with Retry-After.
    // 0: no limit.
    size_t reply_budget = 256 * 1024 * 1024;
    // Addresses of load balancers in front of this server. Their connections carry many
    // clients: they are not counted against the per-address bound, and each of their requests
    // is counted, limited and logged by the client its X-Forwarded-For names.
    std::vector<std::string> trusted_proxies;
    // Who may read GET /metrics (when the handler context has a registry) besides loopback:
    // these networks, and a request bearing this token (empty: none). A request through a
    // trusted proxy is judged by the client its X-Forwarded-For names (metricsClient).
    std::vector<AddressRange> metrics_allow;
    std::string metrics_token;
    // Called this often on a network thread while the server serves (the service watchdog's
    // ping). It runs on the event loop that serves requests, so the calls stop when that loop
    // is stuck. Zero: never.
    std::chrono::microseconds heartbeat_interval{0};
    std::function<void()> heartbeat;
    // Called once, on a network thread, as the server begins to stop (a signal or stop()).
    std::function<void()> on_stopping;
};

// HTTP/1.1 with keep-alive on a fixed pool of threads; connections cost no thread. Every
// request goes to handleRequest with `context`, but for event streams, which this layer holds
// open itself (EventStreams). Bodies over the limits are refused with 413 before they are read,
// malformed requests get 400 and the connection is closed. A connection beyond the bound of its
// address is answered 429 and closed without a request being served; a request that needs a
// worker waits for none: without room in the reply budget it is answered 503 at once.
class HttpServer {
public:
    HttpServer(ServerOptions options, HandlerContext& context);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and listens. False with a message in `error` (for instance a busy port).
    bool listen(std::string* error);
    // The bound port (after listen).
    uint16_t port() const;

    // Serves until stop() or SIGINT/SIGTERM, then returns once the requests in flight are
    // answered (at most a few seconds) and every connection is closed.
    void run();
    // Thread-safe; may be called before or during run().
    void stop();

    // The Beast/Asio machinery, kept out of this header.
    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace velmo::server
