#include "store/postgres/pg_news.h"

#include "store/postgres/pg_connection.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <charconv>
#include <chrono>

namespace velmo::server {

namespace {

constexpr char Hex[] = "0123456789abcdef";

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::string listenStatement(const std::string& barrier_channel) {
    return std::string("LISTEN ") + PgNewsChannel + "; LISTEN " + barrier_channel;
}

struct NotifyFree {
    void operator()(PGnotify* notify) const { PQfreemem(notify); }
};

} // namespace

std::string barrierChannel(std::string_view instance) {
    // Instance names are lower-case hexadecimal: the channel is a plain identifier.
    return "velmo_barrier_" + std::string(instance);
}

std::string newsPayloadPrefix(std::string_view instance) {
    return std::string(instance) + " a ";
}

std::string newsPayload(const PgNews& news) {
    std::string payload = news.instance;
    payload += news.notice_only                             ? " n "
               : news.news.kind == StrokeNews::Kind::Append ? " a "
                                                            : " d ";
    payload += std::to_string(news.news.stamp);
    payload += ' ';
    for (const char c : news.canvas_id) {
        const auto byte = static_cast<unsigned char>(c);
        payload += Hex[byte >> 4];
        payload += Hex[byte & 0xF];
    }
    return payload;
}

std::optional<PgNews> parseNewsPayload(std::string_view payload) {
    const size_t kind_at = payload.find(' ');
    if (kind_at == std::string_view::npos || kind_at == 0 || payload.size() < kind_at + 4 ||
        payload[kind_at + 2] != ' ') {
        return std::nullopt;
    }
    PgNews news;
    news.instance = std::string(payload.substr(0, kind_at));
    const char kind = payload[kind_at + 1];
    if (kind != 'a' && kind != 'd' && kind != 'n') {
        return std::nullopt;
    }
    news.news.kind = kind == 'a' ? StrokeNews::Kind::Append : StrokeNews::Kind::Delete;
    news.notice_only = kind == 'n';
    const std::string_view rest = payload.substr(kind_at + 3);
    const size_t id_at = rest.find(' ');
    if (id_at == std::string_view::npos) {
        return std::nullopt;
    }
    const auto [end, ec] = std::from_chars(rest.data(), rest.data() + id_at, news.news.stamp);
    if (ec != std::errc() || end != rest.data() + id_at) {
        return std::nullopt;
    }
    const std::string_view hex = rest.substr(id_at + 1);
    if (hex.empty() || hex.size() % 2 != 0) {
        return std::nullopt;
    }
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = hexValue(hex[i]);
        const int low = hexValue(hex[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        news.canvas_id += static_cast<char>(high * 16 + low);
    }
    return news;
}

PgNewsListener::PgNewsListener(std::string uri, std::string barrier_channel, OnNews on_news,
                               OnResync on_resync)
    : uri_(std::move(uri)), barrier_channel_(std::move(barrier_channel)),
      on_news_(std::move(on_news)), on_resync_(std::move(on_resync)) {
    conn_ = PgConnection::open(uri_);
    conn_->run(listenStatement(barrier_channel_));
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) {
        throw PgError("eventfd failed");
    }
    thread_ = std::thread([this] { run(); });
}

PgNewsListener::~PgNewsListener() {
    stopping_ = true;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &one, sizeof one);
    thread_.join();
    ::close(wake_fd_);
}

void PgNewsListener::run() {
    while (!stopping_) {
        if (conn_ && !listen(*conn_)) {
            return;
        }
        conn_.reset();
        // Lost: wait a second (or for a stop), then connect and listen again.
        pollfd wake{wake_fd_, POLLIN, 0};
        if (::poll(&wake, 1, 1000) > 0 || stopping_) {
            return;
        }
        try {
            auto conn = PgConnection::open(uri_);
            conn->run(listenStatement(barrier_channel_));
            on_resync_(*conn);
            conn_ = std::move(conn);
        } catch (const PgError&) {
            // tried again after the next wait
        }
    }
}

bool PgNewsListener::listen(PgConnection& conn) {
    PGconn* raw = conn.raw();
    while (!stopping_) {
        pollfd fds[2] = {{PQsocket(raw), POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue; // interrupted
        }
        if ((fds[1].revents & POLLIN) != 0 || stopping_) {
            return false;
        }
        if (PQconsumeInput(raw) != 1 || PQstatus(raw) != CONNECTION_OK) {
            return true;
        }
        while (std::unique_ptr<PGnotify, NotifyFree> notify{PQnotifies(raw)}) {
            if (notify->relname == barrier_channel_) {
                PgNews barrier;
                const std::string_view serial(notify->extra);
                const auto [end, ec] =
                    std::from_chars(serial.data(), serial.data() + serial.size(), barrier.barrier);
                if (ec == std::errc() && end == serial.data() + serial.size() &&
                    barrier.barrier != 0) {
                    on_news_(barrier);
                }
            } else if (const auto news = parseNewsPayload(notify->extra)) {
                on_news_(*news);
            }
        }
    }
    return false;
}

} // namespace velmo::server
