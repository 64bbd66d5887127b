#include "http/event_streams.h"

#include "http/access_log.h"
#include "http/chunked_body.h"
#include "http/pending_news.h"
#include "wire/server_events.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <vector>

namespace velmo::server {

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// The kernel's send room for a stream. Events are tens of bytes, so this is plenty for one that
// is read; for one that is not, it bounds what the kernel holds for it before the write stalls
// and the stream is dropped.
constexpr int StreamSendBuffer = 8 * 1024;

std::string streamHead(bool chunked) {
    std::string head = "HTTP/1.1 200 OK\r\n"
                       "Server: velmorastra-server\r\n"
                       "Content-Type: text/event-stream\r\n"
                       "Cache-Control: no-cache\r\n"
                       // nginx passes the events on as they come instead of buffering them.
                       "X-Accel-Buffering: no\r\n";
    // HTTP/1.0 knows no chunks: the body ends where the connection does.
    head += chunked ? "Transfer-Encoding: chunked\r\n\r\n" : "Connection: close\r\n\r\n";
    return head;
}

// What publishers on any thread share with a stream: the news it owes and how to wake it.
// Listeners hold this, never the stream itself, so no stream is ever destroyed inside a
// publish (where the hub's lock is held).
struct Mailbox {
    Mailbox(SessionExecutor executor_, PendingLive::Limits limits)
        : live(limits), executor(std::move(executor_)) {}
    PendingNews news;
    PendingLive live;
    SessionExecutor executor;
    std::weak_ptr<StreamSession> session;
};

} // namespace

class StreamSession : public std::enable_shared_from_this<StreamSession> {
public:
    StreamSession(SessionSocket socket, EventStreams& streams, std::string client,
                  std::string canvas_id, std::string target, bool chunked,
                  std::chrono::steady_clock::time_point started, std::string user)
        : socket_(std::move(socket)), timer_(socket_.get_executor()),
          pace_timer_(socket_.get_executor()), streams_(streams),
          mailbox_(std::make_shared<Mailbox>(socket_.get_executor(), streams.options_.live_limits)),
          client_(std::move(client)), canvas_id_(std::move(canvas_id)), target_(std::move(target)),
          user_(std::move(user)), started_(started), chunked_(chunked) {}
    ~StreamSession() {
        if (present_) {
            // Destroyed without a close (the io_context went first): the user goes all the same.
            subscription_.reset();
            streams_.context_.live->leave(canvas_id_, user_);
        }
        streams_.release(this, client_);
    }
    StreamSession(const StreamSession&) = delete;
    StreamSession& operator=(const StreamSession&) = delete;

    void start() {
        net::dispatch(socket_.get_executor(), [self = shared_from_this()] { self->open(); });
    }

    // From any thread.
    void closeSoon() {
        net::dispatch(socket_.get_executor(), [self = shared_from_this()] { self->close(); });
    }

private:
    void open() {
        if (closed_) {
            return;
        }
        boost::system::error_code ec;
        socket_.set_option(net::socket_base::send_buffer_size(StreamSendBuffer), ec);
        socket_.set_option(tcp::no_delay(true), ec);
        mailbox_->session = weak_from_this();
        // Subscribed before the newest stamp is read: news in between is owed, not lost.
        const auto wake = [](const std::shared_ptr<Mailbox>& mailbox) {
            net::post(mailbox->executor, [weak = mailbox->session] {
                if (const auto self = weak.lock()) {
                    self->deliver();
                }
            });
        };
        const auto on_news = [mailbox = mailbox_, wake](const StrokeNews& news) {
            if (mailbox->news.add(news)) {
                wake(mailbox);
            }
        };
        LiveDrawing* live = streams_.context_.live;
        if (live == nullptr || !live->enabled()) {
            subscription_ = streams_.context_.news->subscribe(canvas_id_, on_news);
        } else {
            const auto on_live = [mailbox = mailbox_, wake, own = user_](const LiveNews& news) {
                bool woke = false;
                if (news.kind == LiveNews::Kind::Progress) {
                    // The drawer's own streams know its strokes.
                    woke = news.user != own && mailbox->live.addProgress(news.progress);
                } else {
                    woke = mailbox->live.addPresence(news.user, news.kind == LiveNews::Kind::Join);
                }
                if (woke) {
                    wake(mailbox);
                }
            };
            // Entered, subscribed and told who is here with no join or leave in between; those
            // present are owed after "ready".
            std::vector<std::string> present;
            present_ = live->enter(
                canvas_id_, user_,
                [&] {
                    subscription_ = streams_.context_.news->subscribe(canvas_id_, on_news, on_live);
                },
                present);
            for (const std::string& user : present) {
                mailbox_->live.addPresence(user, true);
            }
        }
        const int64_t newest = streams_.context_.store.lastStamp(canvas_id_);
        std::string first = streamHead(chunked_);
        first += frame(wire::serverEventText(wire::ReadyEvent, std::to_string(newest)));
        write(std::move(first));
        waitForClient();
    }

    std::string frame(std::string_view text) {
        body_bytes_ += text.size();
        return chunked_ ? chunk(text) : std::string(text);
    }

    void write(std::string bytes) {
        out_ = std::move(bytes);
        writing_ = true;
        arm(streams_.options_.write_timeout);
        net::async_write(socket_, net::buffer(out_),
                         [self = shared_from_this()](boost::system::error_code ec, size_t) {
                             self->written(ec);
                         });
    }

    void written(boost::system::error_code ec) {
        writing_ = false;
        out_ = std::string();
        if (ec || closed_) {
            close();
            return;
        }
        arm(streams_.options_.keepalive);
        deliver();
    }

    // A wake-up from a publisher; news that comes during a write waits for its end. A stroke
    // after a quiet spell goes out at once; during a burst on the canvas, the news of a spacing
    // is sent as one event at its end, so a busy canvas costs each stream (and each client's
    // polls) a bounded number of events a second. Live news is not paced: it is written as
    // soon as no write is under way, all that is owed in one write, with the stroke news if
    // that is due.
    void deliver() {
        if (closed_ || writing_) {
            return;
        }
        std::string out = mailbox_->live.take();
        if (!pacing_) {
            const auto now = std::chrono::steady_clock::now();
            if (now < quiet_until_) {
                if (mailbox_->news.owed()) {
                    pace();
                }
            } else if (auto event = mailbox_->news.take()) {
                quiet_until_ = now + streams_.options_.event_spacing;
                out += *event;
            }
        }
        if (!out.empty()) {
            write(frame(out));
        }
    }

    // Stroke news is owed during a spacing: it goes at the spacing's end.
    void pace() {
        pacing_ = true;
        pace_timer_.expires_at(quiet_until_);
        pace_timer_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
            self->pacing_ = false;
            if (!ec) {
                self->deliver();
            }
        });
    }

    // One timer serves both waits: the write deadline while writing, else the next comment.
    void arm(std::chrono::milliseconds after) {
        const uint64_t serial = ++timer_serial_;
        timer_.expires_after(after);
        timer_.async_wait([self = shared_from_this(), serial](boost::system::error_code ec) {
            self->timedOut(ec, serial);
        });
    }

    void timedOut(boost::system::error_code ec, uint64_t serial) {
        if (ec || serial != timer_serial_ || closed_) {
            return;
        }
        if (writing_) {
            // The client takes nothing: what the kernel holds for it is dropped with a reset.
            boost::system::error_code ignored;
            socket_.set_option(net::socket_base::linger(true, 0), ignored);
            close();
            return;
        }
        write(frame(wire::KeepAliveComment));
    }

    // The client sends nothing after its request: a read ends when it closes, and bytes it
    // sends anyway are dropped. A read, not a wait for readability: the poller may report the
    // request's own readiness after the request was read, which a wait would take for the end.
    void waitForClient() {
        socket_.async_read_some(net::buffer(scratch_),
                                [self = shared_from_this()](boost::system::error_code ec, size_t) {
                                    self->readable(ec);
                                });
    }

    void readable(boost::system::error_code ec) {
        if (ec || closed_) {
            close();
            return;
        }
        waitForClient();
    }

    void close() {
        if (closed_) {
            return;
        }
        closed_ = true;
        subscription_.reset();
        if (present_) {
            present_ = false;
            streams_.context_.live->leave(canvas_id_, user_);
        }
        ++timer_serial_;
        timer_.cancel();
        pace_timer_.cancel();
        boost::system::error_code ec;
        socket_.shutdown(tcp::socket::shutdown_both, ec);
        socket_.close(ec);
        if (streams_.options_.access_log) {
            const double ms = std::chrono::duration<double, std::milli>(
                                  std::chrono::steady_clock::now() - started_)
                                  .count();
            writeLogLine(accessLogLine(streams_.options_.log_format, client_, "GET", target_, 200,
                                       body_bytes_, ms));
        }
    }

    SessionSocket socket_;
    net::steady_timer timer_;
    net::steady_timer pace_timer_;
    EventStreams& streams_;
    std::shared_ptr<Mailbox> mailbox_;
    std::unique_ptr<CanvasNews::Subscription> subscription_;
    std::string client_;
    std::string canvas_id_;
    std::string target_;
    std::string user_;     // the user the stream names; empty: none
    bool present_ = false; // user_ was entered as present (LiveDrawing::enter)
    // The bytes being written; nothing between writes.
    std::string out_;
    std::array<char, 512> scratch_{};
    std::chrono::steady_clock::time_point started_;
    // No news event before this time; see deliver().
    std::chrono::steady_clock::time_point quiet_until_{};
    size_t body_bytes_ = 0;
    uint64_t timer_serial_ = 0;
    bool chunked_ = true;
    bool writing_ = false;
    bool pacing_ = false;
    bool closed_ = false;
};

EventStreams::EventStreams(EventStreamOptions options, HandlerContext& context,
                           std::function<void()> drained)
    : options_(options), context_(context), drained_(std::move(drained)) {}

EventStreams::~EventStreams() = default;

EventStreams::Admission EventStreams::admit(const std::string& client) {
    std::lock_guard lock(mutex_);
    if (closing_ || admitted_ >= options_.max_streams) {
        return Admission::ServerFull;
    }
    size_t& mine = per_address_[client];
    if (mine >= options_.max_streams_per_address) {
        if (mine == 0) {
            per_address_.erase(client);
        }
        return Admission::AddressFull;
    }
    ++mine;
    ++admitted_;
    return Admission::Admitted;
}

void EventStreams::start(SessionSocket socket, const std::string& client, std::string canvas_id,
                         std::string target, bool chunked,
                         std::chrono::steady_clock::time_point started, std::string user) {
    auto session =
        std::make_shared<StreamSession>(std::move(socket), *this, client, std::move(canvas_id),
                                        std::move(target), chunked, started, std::move(user));
    bool closing = false;
    {
        std::lock_guard lock(mutex_);
        open_.emplace(session.get(), session);
        closing = closing_;
    }
    session->start();
    if (closing) {
        session->closeSoon(); // admitted just before the shutdown began
    }
}

void EventStreams::closeAll() {
    std::vector<std::shared_ptr<StreamSession>> open;
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        for (auto& [raw, weak] : open_) {
            if (auto session = weak.lock()) {
                open.push_back(std::move(session));
            }
        }
    }
    for (const auto& session : open) {
        session->closeSoon();
    }
}

size_t EventStreams::openCount() const {
    std::lock_guard lock(mutex_);
    return admitted_;
}

void EventStreams::release(StreamSession* session, const std::string& client) {
    bool drained = false;
    {
        std::lock_guard lock(mutex_);
        open_.erase(session);
        const auto it = per_address_.find(client);
        if (it != per_address_.end() && --it->second == 0) {
            per_address_.erase(it);
        }
        --admitted_;
        drained = closing_ && admitted_ == 0;
    }
    if (drained && drained_) {
        drained_();
    }
}

} // namespace velmo::server
