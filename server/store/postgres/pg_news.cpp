#include "store/postgres/pg_news.h"

#include "store/postgres/pg_connection.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <charconv>
#include <chrono>

#include "wire/stroke_progress.h"
#include "wire/wire_limits.h"

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
    return std::string("LISTEN ") + PgNewsChannel + "; LISTEN " + PgLiveChannel + "; LISTEN " +
           barrier_channel;
}

void appendHex(std::string& out, std::string_view bytes) {
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out += Hex[byte >> 4];
        out += Hex[byte & 0xF];
    }
}

std::optional<std::string> fromHex(std::string_view hex) {
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = hexValue(hex[i]);
        const int low = hexValue(hex[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out += static_cast<char>(high * 16 + low);
    }
    return out;
}

// An instance name is 16 hexadecimal digits (PgStore); a few more are allowed.
constexpr size_t MaxInstanceName = 32;
static_assert(MaxInstanceName + 3 + 2 * velmo::wire::MaxCanvasId + 1 +
                      2 * velmo::wire::MaxProgressText <=
                  MaxLivePayload,
              "a progress of a canvas must fit a notification");

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
    appendHex(payload, news.canvas_id);
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
    auto canvas_id = fromHex(rest.substr(id_at + 1));
    if (!canvas_id || canvas_id->empty()) {
        return std::nullopt;
    }
    news.canvas_id = std::move(*canvas_id);
    return news;
}

std::optional<std::string> livePayload(const RemoteLive& news) {
    if (news.instance.empty() || news.instance.size() > MaxInstanceName ||
        news.instance.find(' ') != std::string::npos || news.canvas_id.empty() ||
        news.canvas_id.size() > wire::MaxCanvasId || news.text.empty() ||
        news.text.size() > wire::MaxProgressText) {
        return std::nullopt;
    }
    std::string payload = news.instance;
    payload += news.kind == RemoteLive::Kind::Progress ? " p "
               : news.kind == RemoteLive::Kind::Join   ? " j "
                                                       : " l ";
    appendHex(payload, news.canvas_id);
    payload += ' ';
    appendHex(payload, news.text);
    return payload;
}

std::optional<RemoteLive> parseLivePayload(std::string_view payload) {
    const size_t kind_at = payload.find(' ');
    if (kind_at == std::string_view::npos || kind_at == 0 || payload.size() < kind_at + 4 ||
        payload[kind_at + 2] != ' ') {
        return std::nullopt;
    }
    RemoteLive news;
    news.instance = std::string(payload.substr(0, kind_at));
    switch (payload[kind_at + 1]) {
    case 'p':
        news.kind = RemoteLive::Kind::Progress;
        break;
    case 'j':
        news.kind = RemoteLive::Kind::Join;
        break;
    case 'l':
        news.kind = RemoteLive::Kind::Leave;
        break;
    default:
        return std::nullopt;
    }
    const std::string_view rest = payload.substr(kind_at + 3);
    const size_t text_at = rest.find(' ');
    if (text_at == std::string_view::npos || text_at == 0 || text_at + 1 == rest.size()) {
        return std::nullopt;
    }
    auto canvas_id = fromHex(rest.substr(0, text_at));
    auto text = fromHex(rest.substr(text_at + 1));
    if (!canvas_id || !text) {
        return std::nullopt;
    }
    news.canvas_id = std::move(*canvas_id);
    news.text = std::move(*text);
    return news;
}

PgLiveSender::PgLiveSender(std::string uri, std::string instance)
    : uri_(std::move(uri)), instance_(std::move(instance)) {
    thread_ = std::thread([this] { run(); });
}

PgLiveSender::~PgLiveSender() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void PgLiveSender::send(RemoteLive news) {
    {
        std::lock_guard lock(mutex_);
        // Half the queue for progress, which is droppable; presence may take the rest.
        const bool progress = news.kind == RemoteLive::Kind::Progress;
        if (stopping_ || queue_.size() >= (progress ? MaxQueued / 2 : MaxQueued)) {
            ++dropped_;
            return;
        }
        news.instance = instance_;
        queue_.push_back(std::move(news));
        if (queue_.size() > 1) {
            return; // the thread is woken already
        }
    }
    wake_.notify_one();
}

void PgLiveSender::run() {
    std::unique_ptr<PgConnection> conn;
    std::vector<RemoteLive> batch;
    while (true) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) {
                return;
            }
            batch.swap(queue_);
        }
        std::vector<std::string> payloads;
        payloads.reserve(batch.size());
        for (const RemoteLive& news : batch) {
            if (auto payload = livePayload(news)) {
                payloads.push_back(std::move(*payload));
            }
        }
        batch.clear();
        if (payloads.empty()) {
            continue;
        }
        const std::vector<std::string_view> views(payloads.begin(), payloads.end());
        try {
            if (!conn) {
                conn = PgConnection::open(uri_);
            }
            // One round trip for the whole batch, each payload its own notification.
            conn->exec("SELECT pg_notify($1, p) FROM unnest($2::text[]) AS p",
                       PgParams().text(PgLiveChannel).textArray(views));
        } catch (const PgError&) {
            conn.reset();
            dropped_ += payloads.size();
            // Tried again with the next batch, after a pause that does not hold up a stop.
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; });
        }
    }
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
            } else if (notify->relname == std::string_view(PgLiveChannel)) {
                if (auto live = parseLivePayload(notify->extra)) {
                    PgNews news;
                    news.instance = live->instance;
                    news.canvas_id = live->canvas_id;
                    news.live = std::move(*live);
                    on_news_(news);
                }
            } else if (const auto news = parseNewsPayload(notify->extra)) {
                on_news_(*news);
            }
        }
    }
    return false;
}

} // namespace velmo::server
