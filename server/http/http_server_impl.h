#pragma once

#include "handler/request_handler.h"
#include "http/address_slots.h"
#include "http/event_streams.h"
#include "http/http_server.h"
#include "http/metrics_access.h"
#include "http/render_slots.h"
#include "http/reply_budget.h"
#include "http/session_types.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

namespace velmo::server {

class Session;

// What the listener (http_server.cpp) and every session (session.cpp) share: the options, the
// handler's context, the limits across connections, the worker pool, and the open sessions
// that stop() closes. Used from every network thread: what changes after construction is an
// atomic, behind a mutex here, or safe across threads by itself.
class HttpServer::Impl {
public:
    Impl(ServerOptions options_, HandlerContext& context_)
        : options(std::move(options_)), context(context_), io(this->options.threads),
          control(boost::asio::make_strand(io)), acceptor(boost::asio::make_strand(io)),
          signals(control), grace(control), accept_retry(acceptor.get_executor()),
          heartbeat_timer(control), workers(static_cast<size_t>(this->options.worker_threads)) {}

    static EventStreamOptions streamOptions(const ServerOptions& options) {
        EventStreamOptions out;
        out.keepalive = options.stream_keepalive;
        out.write_timeout = options.request_timeout;
        out.max_streams = options.max_streams;
        out.max_streams_per_address = options.max_streams_per_address;
        out.access_log = options.access_log;
        out.log_format = options.log_format;
        out.live_limits = options.stream_live_limits;
        return out;
    }
    ~Impl() {
        // Sessions still queued in the io_context are destroyed with it and untrack themselves.
        destroying = true;
    }

    bool listen(std::string* error);
    void run();
    void stop();
    void accept();
    // Calls options.heartbeat every heartbeat_interval until the server stops.
    void beat();

    void startSession(SessionSocket socket);
    void track(const std::shared_ptr<Session>& session);
    void untrack(Session* session);
    // Ends the shutdown's grace early once no connection or stream is left.
    void checkDrained();

    // Appends handed to the store and not yet answered back; run() waits for them, so no
    // answer is posted to an io_context that is gone.
    void appendStarted() {
        std::lock_guard lock(appends_mutex);
        ++appends_in_flight;
    }
    void appendFinished() {
        std::lock_guard lock(appends_mutex);
        if (--appends_in_flight == 0) {
            appends_done.notify_all();
        }
    }

    ServerOptions options;
    HandlerContext& context;
    std::atomic<bool> stopping{false};
    std::atomic<bool> destroying{false};
    uint16_t bound_port = 0;
    std::mutex sessions_mutex;
    std::unordered_map<Session*, std::weak_ptr<Session>> sessions;
    std::mutex appends_mutex;
    std::condition_variable appends_done;
    size_t appends_in_flight = 0;
    EventStreams streams{streamOptions(options), context, [this] { checkDrained(); }};

    // Declared after what sessions touch on their way out, so it is destroyed before that.
    boost::asio::io_context io;
    // Serialises stop() and the shutdown timer.
    boost::asio::strand<boost::asio::io_context::executor_type> control;
    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::signal_set signals;
    boost::asio::steady_timer grace;
    boost::asio::steady_timer accept_retry;
    boost::asio::steady_timer heartbeat_timer;
    RenderSlots renders{options.max_renders};
    AddressSlots connections{options.max_connections_per_address};
    ReplyBudget replies{options.reply_budget};
    const MetricsAccess metrics_access{options.metrics_allow, options.metrics_token};
    // Destroyed (joined) before the io_context its jobs post back to.
    boost::asio::thread_pool workers;
};

} // namespace velmo::server
