#include "http/http_server.h"

#include "http/http_server_impl.h"
#include "http/session.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/error.hpp>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace velmo::server {

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// How long stop() waits for requests in flight before it cuts the remaining connections.
constexpr std::chrono::seconds ShutdownGrace{5};

} // namespace

bool HttpServer::Impl::listen(std::string* error) {
    beast::error_code ec;
    const auto address = net::ip::make_address(options.host, ec);
    if (ec) {
        *error = "not an IP address: " + options.host;
        return false;
    }
    const tcp::endpoint endpoint(address, options.port);
    const auto fail = [&](const char* what) {
        *error = std::string(what) + " " + options.host + ":" + std::to_string(options.port) +
                 ": " + ec.message();
        return false;
    };
    acceptor.open(endpoint.protocol(), ec);
    if (ec) {
        return fail("cannot open a socket for");
    }
    acceptor.set_option(net::socket_base::reuse_address(true), ec);
    acceptor.bind(endpoint, ec);
    if (ec) {
        return fail("cannot listen on");
    }
    acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        return fail("cannot listen on");
    }
    acceptor.non_blocking(true, ec);
    if (ec) {
        return fail("cannot listen on");
    }
    bound_port = acceptor.local_endpoint(ec).port();
    // Caught from here on, not from run(): whoever saw the listening line may stop us at once.
    signals.add(SIGINT);
    signals.add(SIGTERM);
    return true;
}

void HttpServer::Impl::accept() {
    acceptor.async_accept(net::make_strand(io), [this](beast::error_code ec, SessionSocket socket) {
        if (stopping || !acceptor.is_open()) {
            return;
        }
        if (ec) {
            // Out of descriptors or similar: try again shortly instead of spinning.
            accept_retry.expires_after(std::chrono::milliseconds(100));
            accept_retry.async_wait([this](beast::error_code e) {
                if (!e) {
                    accept();
                }
            });
            return;
        }
        startSession(std::move(socket));
        // Takes every connection already waiting: one trip through the handler queue per
        // connection, behind the requests of the busy ones, kept the last of a thousand
        // simultaneous connections waiting seconds for their first answer. Bounded, so the
        // requests queued meanwhile get their turn.
        for (int i = 0; i < 512; ++i) {
            SessionSocket next(net::make_strand(io));
            beast::error_code e;
            acceptor.accept(next, e); // non-blocking: would_block once none waits
            if (e) {
                break;
            }
            startSession(std::move(next));
        }
        accept();
    });
}

void HttpServer::Impl::startSession(SessionSocket socket) {
    auto session = std::make_shared<Session>(std::move(socket), *this);
    track(session);
    session->start();
}

void HttpServer::Impl::track(const std::shared_ptr<Session>& session) {
    std::lock_guard lock(sessions_mutex);
    sessions.emplace(session.get(), session);
}

void HttpServer::Impl::untrack(Session* session) {
    std::lock_guard lock(sessions_mutex);
    sessions.erase(session);
    if (stopping && sessions.empty() && streams.openCount() == 0 && !destroying) {
        net::post(control, [this] { grace.cancel(); });
    }
}

void HttpServer::Impl::checkDrained() {
    std::lock_guard lock(sessions_mutex);
    if (stopping && sessions.empty() && !destroying) {
        net::post(control, [this] { grace.cancel(); });
    }
}

void HttpServer::Impl::run() {
    signals.async_wait([this](beast::error_code ec, int) {
        if (!ec) {
            stop();
        }
    });
    net::dispatch(acceptor.get_executor(), [this] { accept(); });
    if (options.heartbeat && options.heartbeat_interval.count() > 0) {
        net::dispatch(control, [this] { beat(); });
    }
    std::vector<std::thread> threads;
    for (int i = 1; i < options.threads; ++i) {
        threads.emplace_back([this] { io.run(); });
    }
    io.run();
    for (std::thread& thread : threads) {
        thread.join();
    }
    workers.join();
    std::unique_lock lock(appends_mutex);
    appends_done.wait(lock, [this] { return appends_in_flight == 0; });
}

void HttpServer::Impl::beat() {
    // A stop that came first must not wait for one more beat.
    if (stopping) {
        return;
    }
    heartbeat_timer.expires_after(options.heartbeat_interval);
    heartbeat_timer.async_wait([this](beast::error_code ec) {
        if (ec || stopping) {
            return;
        }
        options.heartbeat();
        beat();
    });
}

void HttpServer::Impl::stop() {
    net::post(control, [this] {
        if (stopping.exchange(true)) {
            return;
        }
        signals.cancel();
        heartbeat_timer.cancel();
        if (options.on_stopping) {
            options.on_stopping();
        }
        net::post(acceptor.get_executor(), [this] {
            beast::error_code ec;
            acceptor.close(ec);
            accept_retry.cancel();
        });
        // Streams have no request in flight: they close now.
        streams.closeAll();
        std::vector<std::shared_ptr<Session>> open;
        {
            std::lock_guard lock(sessions_mutex);
            for (auto& [raw, weak] : sessions) {
                if (auto session = weak.lock()) {
                    open.push_back(std::move(session));
                }
            }
        }
        if (open.empty() && streams.openCount() == 0) {
            return;
        }
        for (const auto& session : open) {
            session->closeIfIdle();
        }
        // Requests in flight get a few seconds; then whatever is left is cut off.
        grace.expires_after(ShutdownGrace);
        grace.async_wait([this](beast::error_code ec) {
            if (!ec) {
                io.stop();
            }
        });
    });
}

HttpServer::HttpServer(ServerOptions options, HandlerContext& context)
    : impl_(std::make_unique<Impl>(std::move(options), context)) {}

HttpServer::~HttpServer() = default;

bool HttpServer::listen(std::string* error) {
    return impl_->listen(error);
}

uint16_t HttpServer::port() const {
    return impl_->bound_port;
}

void HttpServer::run() {
    impl_->run();
}

void HttpServer::stop() {
    impl_->stop();
}

} // namespace velmo::server
