#include "http/http_server.h"

#include "handler/event_stream_route.h"
#include "handler/limits.h"
#include "http/access_log.h"
#include "http/address_slots.h"
#include "http/chunked_body.h"
#include "http/event_streams.h"
#include "http/forwarded_for.h"
#include "http/metrics_access.h"
#include "http/metrics_route.h"
#include "http/render_slots.h"
#include "http/reply_budget.h"
#include "http/session_types.h"
#include "wire/key_header.h"

#include <algorithm>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

namespace velmo::server {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using SessionStream = beast::basic_stream<tcp, SessionExecutor>;

namespace {

constexpr size_t MaxHeaderBytes = 16 * 1024;
constexpr size_t FirstReadBytes = 4096;
// How long stop() waits for requests in flight before it cuts the remaining connections.
constexpr std::chrono::seconds ShutdownGrace{5};

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The one-line reason of a refusal, for the access log; empty for any other answer.
std::string_view refusalReason(const Response& response) {
    if (response.status < 400 || !response.content_type.starts_with("text/plain")) {
        return {};
    }
    const std::string_view body = response.body;
    return body.substr(0, body.find('\n'));
}

bool isUploadTarget(std::string_view target) {
    return target.substr(0, target.find('?')) == "/upload.cgi";
}

class Session;

} // namespace

class HttpServer::Impl {
public:
    Impl(ServerOptions options_, HandlerContext& context_)
        : options(std::move(options_)), context(context_), io(this->options.threads),
          control(net::make_strand(io)), acceptor(net::make_strand(io)), signals(control),
          grace(control), accept_retry(acceptor.get_executor()), heartbeat_timer(control),
          workers(static_cast<size_t>(this->options.worker_threads)) {}

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
    net::io_context io;
    // Serialises stop() and the shutdown timer.
    net::strand<net::io_context::executor_type> control;
    tcp::acceptor acceptor;
    net::signal_set signals;
    net::steady_timer grace;
    net::steady_timer accept_retry;
    net::steady_timer heartbeat_timer;
    RenderSlots renders{options.max_renders};
    AddressSlots connections{options.max_connections_per_address};
    ReplyBudget replies{options.reply_budget};
    const MetricsAccess metrics_access{options.metrics_allow, options.metrics_token};
    // Destroyed (joined) before the io_context its jobs post back to.
    net::thread_pool workers;
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(SessionSocket&& socket, HttpServer::Impl& server)
        : stream_(std::move(socket)), server_(server) {
        beast::error_code ec;
        const auto remote = stream_.socket().remote_endpoint(ec);
        if (!ec) {
            client_ = remote.address().to_string();
        }
        // A reply is written whole, head and body in one write: held back for the peer's
        // delayed acknowledgement, the tail of a large one (a render, a page of strokes) waited
        // 10 to 40 ms on a keep-alive connection.
        stream_.socket().set_option(tcp::no_delay(true), ec);
        const auto& proxies = server_.options.trusted_proxies;
        via_proxy_ = std::find(proxies.begin(), proxies.end(), client_) != proxies.end();
        counted_ = !via_proxy_ && server_.connections.take(client_);
        admitted_ = via_proxy_ || counted_;
        request_client_ = client_;
    }
    ~Session() {
        if (counted_) {
            server_.connections.give(client_);
        }
        server_.untrack(this);
    }

    void start() {
        if (!admitted_) {
            net::dispatch(stream_.get_executor(), [self = shared_from_this()] {
                Response refusal = textResponse(429, "too many connections from this address\n");
                refusal.headers.emplace_back("Retry-After", "1");
                self->send(std::move(refusal), false, "-", "-");
            });
            return;
        }
        net::dispatch(stream_.get_executor(),
                      beast::bind_front_handler(&Session::waitForRequest, shared_from_this()));
    }

    // From stop(): a connection waiting for its next request is closed now; one in the middle
    // of a request finishes it and closes afterwards.
    void closeIfIdle() {
        net::dispatch(stream_.get_executor(), [self = shared_from_this()] {
            if (self->idle_) {
                beast::error_code ec;
                self->stream_.socket().close(ec);
            }
        });
    }

private:
    void waitForRequest() {
        if (server_.stopping) {
            close();
            return;
        }
        if (buffer_.size() > 0) {
            readHeader(); // a pipelined request is already here
            return;
        }
        idle_ = true;
        stream_.expires_after(server_.options.idle_timeout);
        stream_.async_read_some(buffer_.prepare(FirstReadBytes),
                                [self = shared_from_this()](beast::error_code ec, size_t bytes) {
                                    self->idle_ = false;
                                    if (ec) {
                                        self->close();
                                        return;
                                    }
                                    self->buffer_.commit(bytes);
                                    self->readHeader();
                                });
    }

    void readHeader() {
        parser_.emplace();
        parser_->header_limit(MaxHeaderBytes);
        parser_->body_limit(MaxUploadBody);
        header_checked_ = false;
        started_ = std::chrono::steady_clock::now();
        // One deadline for the whole request, header and body: a slow sender is cut off.
        stream_.expires_after(server_.options.request_timeout);
        parseBuffered();
    }

    // Parses what is already buffered without another trip through the io_context; most
    // requests arrive whole in one read. Reads more only when the request is incomplete.
    void parseBuffered() {
        while (buffer_.size() > 0 && !parser_->is_done()) {
            beast::error_code ec;
            const size_t used = parser_->put(buffer_.data(), ec);
            buffer_.consume(used);
            if (ec == http::error::need_more) {
                break;
            }
            if (ec) {
                failRead(ec);
                return;
            }
            if (parser_->is_header_done() && !header_checked_ && !checkHeader()) {
                return;
            }
            if (used == 0) {
                break;
            }
        }
        if (parser_->is_header_done() && !header_checked_ && !checkHeader()) {
            return;
        }
        if (parser_->is_done()) {
            onBody({}, 0);
        } else if (!parser_->is_header_done()) {
            http::async_read_header(
                stream_, buffer_, *parser_,
                beast::bind_front_handler(&Session::onHeader, shared_from_this()));
        } else {
            readBody();
        }
    }

    void onHeader(beast::error_code ec, size_t) {
        if (ec) {
            failRead(ec);
            return;
        }
        if (!header_checked_ && !checkHeader()) {
            return;
        }
        parseBuffered();
    }

    // Applies the body limit of the route once the header is known. False when the request
    // was refused or the parsing continues after a 100-continue answer.
    bool checkHeader() {
        header_checked_ = true;
        const auto& header = parser_->get();
        const size_t limit = header.method() == http::verb::post && isUploadTarget(header.target())
                                 ? MaxUploadBody
                                 : MaxCommandBody;
        if (parser_->content_length() && *parser_->content_length() > limit) {
            refuse(http::status::payload_too_large, "request body too large\n");
            return false;
        }
        parser_->body_limit(limit);
        if (!parser_->is_done() && beast::iequals(header[http::field::expect], "100-continue")) {
            auto interim = std::make_shared<http::response<http::empty_body>>(
                http::status::continue_, header.version());
            http::async_write(stream_, *interim,
                              [self = shared_from_this(), interim](beast::error_code e, size_t) {
                                  if (e) {
                                      self->close();
                                      return;
                                  }
                                  self->parseBuffered();
                              });
            return false;
        }
        return true;
    }

    void readBody() {
        http::async_read(stream_, buffer_, *parser_,
                         beast::bind_front_handler(&Session::onBody, shared_from_this()));
    }

    void onBody(beast::error_code ec, size_t) {
        if (ec) {
            failRead(ec);
            return;
        }
        auto message = parser_->release();
        Request request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        request.content_type = std::string(message[http::field::content_type]);
        request.key = std::string(
            message[beast::string_view(wire::KeyHeaderName.data(), wire::KeyHeaderName.size())]);
        request.if_none_match = std::string(message[http::field::if_none_match]);
        request.accept_encoding = std::string(message[http::field::accept_encoding]);
        request.authorization = std::string(message[http::field::authorization]);
        request.body = std::move(message.body());
        if (via_proxy_) {
            const auto forwarded = message["X-Forwarded-For"];
            request_client_ =
                forwardedClient(std::string_view(forwarded.data(), forwarded.size()), client_);
        }
        request.client = request_client_;
        const bool keep_alive = message.keep_alive();
        chunked_ok_ = message.version() >= 11;
        answering_append_ = false;
        if (server_.context.metrics != nullptr && isMetricsTarget(request.target)) {
            const auto found = message.find("X-Forwarded-For");
            std::optional<std::string_view> forwarded;
            if (found != message.end()) {
                forwarded = std::string_view(found->value().data(), found->value().size());
            }
            respond(answerMetrics(request.method, metricsClient(client_, via_proxy_, forwarded),
                                  request.authorization),
                    keep_alive, request);
            return;
        }
        if (server_.context.news != nullptr && isEventStreamTarget(request.target)) {
            openEventStream(request, keep_alive);
            return;
        }
        // A poll that may wait for news (several instances) waits on a worker, and so does one
        // whose user name's first key is to be bound: a durable write, which would hold up
        // every connection of this thread.
        if (isQuick(request) && !(server_.context.marks.pollsMayWait() && isPoll(request))) {
            Response response = handle(request, true);
            if (!needsWorker(response)) {
                respond(std::move(response), keep_alive, request);
                return;
            }
        } else if (auto append = appendCommandOf(request)) {
            answering_append_ = true;
            // The limits first: they cost no database. Bound names are known from memory; a
            // name's first key is bound on a worker.
            std::optional<Response> refusal;
            try {
                refusal = banRefusal(request, server_.context, append->stroke.user_name, nowMs());
                if (!refusal) {
                    refusal = refuseAppend(server_.context, request_client_, append->canvas_id,
                                           append->stroke.user_name, nowMs());
                }
                if (!refusal) {
                    refusal = keyRefusal(request, server_.context, append->stroke.user_name,
                                         nowMs(), true);
                }
                if (refusal && needsWorker(*refusal)) {
                    checkKeyOnWorker(std::move(*append), std::move(request), keep_alive);
                    return;
                }
            } catch (const std::exception&) {
                refusal = textResponse(500, "internal error\n");
            }
            if (refusal) {
                respond(std::move(*refusal), keep_alive, request);
                return;
            }
            startAppend(std::move(*append), request, keep_alive);
            return;
        }
        // What a worker answers may be large (a whole canvas, a picture) and is held until the
        // client takes it: it needs room in the budget first. A reply in pages holds two at
        // most, the page read from the store and the piece made of it. A poll's reply is
        // bounded by a page and answered on a network thread elsewhere: it takes none.
        std::optional<ReplyBudget::Lease> lease;
        if (!isPoll(request)) {
            lease = server_.replies.tryTake(2 * server_.context.page_bytes);
            if (!lease) {
                respond(repliesBusy(), keep_alive, request);
                return;
            }
        }
        std::optional<RenderSlots::Slot> render_slot;
        if (isRender(request)) {
            render_slot = server_.renders.tryTake();
            if (!render_slot) {
                respond(rendersBusy(), keep_alive, request);
                return;
            }
        }
        reply_lease_ = std::move(lease);
        net::post(server_.workers,
                  [self = shared_from_this(), request = std::move(request), keep_alive,
                   render_slot = std::make_shared<std::optional<RenderSlots::Slot>>(
                       std::move(render_slot))]() mutable {
                      Response response = self->handle(request);
                      render_slot->reset();
                      net::post(self->stream_.get_executor(),
                                [self, request = std::move(request), response = std::move(response),
                                 keep_alive]() mutable {
                                    self->respond(std::move(response), keep_alive, request);
                                });
                  });
    }

    // A stream keeps the connection: its socket goes to the event streams and this session
    // ends. Refusals are ordinary replies.
    void openEventStream(const Request& request, bool keep_alive) {
        auto canvas_id = eventStreamCanvas(request);
        if (auto* refusal = std::get_if<Response>(&canvas_id)) {
            respond(std::move(*refusal), keep_alive, request);
            return;
        }
        // A stream that names its user brings the user's key; a name's first key is bound on a
        // worker.
        std::variant<std::string, Response> user;
        try {
            user = eventStreamUser(request, server_.context, nowMs(), true);
        } catch (const std::exception&) {
            user = textResponse(500, "internal error\n");
        }
        if (auto* refusal = std::get_if<Response>(&user); refusal && needsWorker(*refusal)) {
            onWorkerThenHere<std::variant<std::string, Response>>(
                [request](Session& self) {
                    return eventStreamUser(request, self.server_.context, nowMs());
                },
                [request, keep_alive, canvas = std::move(std::get<std::string>(canvas_id))](
                    Session& self, std::variant<std::string, Response> checked) mutable {
                    self.startEventStream(request, keep_alive, std::move(canvas),
                                          std::move(checked));
                });
            return;
        }
        startEventStream(request, keep_alive, std::move(std::get<std::string>(canvas_id)),
                         std::move(user));
    }

    void startEventStream(const Request& request, bool keep_alive, std::string canvas_id,
                          std::variant<std::string, Response> user) {
        if (auto* refusal = std::get_if<Response>(&user)) {
            respond(std::move(*refusal), keep_alive, request);
            return;
        }
        const auto admission = server_.streams.admit(request_client_);
        if (admission != EventStreams::Admission::Admitted) {
            respond(streamsRefused(admission == EventStreams::Admission::AddressFull), keep_alive,
                    request);
            return;
        }
        if (server_.context.metrics != nullptr) {
            server_.context.metrics->countRequest(MetricsRoute::Events, 200);
        }
        server_.streams.start(stream_.release_socket(), request_client_, std::move(canvas_id),
                              request.target, chunked_ok_, started_,
                              std::move(std::get<std::string>(user)));
    }

    // The key check of an append on a worker, then the append from this session's thread.
    void checkKeyOnWorker(AppendCommand append, Request request, bool keep_alive) {
        // Shared by the check and what follows it: the body may be a large stroke.
        const auto shared = std::make_shared<const Request>(std::move(request));
        const std::string user = append.stroke.user_name;
        onWorkerThenHere<std::optional<Response>>(
            [shared, user](Session& self) {
                return keyRefusal(*shared, self.server_.context, user, nowMs());
            },
            [append = std::move(append), shared,
             keep_alive](Session& self, std::optional<Response> refusal) mutable {
                if (refusal) {
                    self.respond(std::move(*refusal), keep_alive, *shared);
                } else {
                    self.startAppend(std::move(append), *shared, keep_alive);
                }
            });
    }

    // A check that may wait on the database, on a worker; what it found (500 when it threw)
    // goes back to this session's thread.
    template <class Result, class Check, class Then> void onWorkerThenHere(Check check, Then then) {
        net::post(server_.workers, [self = shared_from_this(), check = std::move(check),
                                    then = std::move(then)]() mutable {
            Result result;
            try {
                result = check(*self);
            } catch (const std::exception&) {
                result = textResponse(500, "internal error\n");
            }
            net::post(self->stream_.get_executor(),
                      [self, then = std::move(then), result = std::move(result)]() mutable {
                          then(*self, std::move(result));
                      });
        });
    }

    // The stroke goes to the store's commit queue and no thread waits for the flush: the
    // store's callback brings the answer back to this connection's network thread, where
    // the reply is built from memory. A connection has one request at a time, so what the
    // answer needs waits in the session; the callback carries only a pointer and fits in
    // std::function without an allocation.
    void startAppend(AppendCommand append, const Request& request, bool keep_alive) {
        pending_.now = nowMs();
        pending_.canvas_id = append.canvas_id;
        pending_.user_name = append.stroke.user_name;
        pending_.method = request.method;
        pending_.target = request.target;
        pending_.keep_alive = keep_alive;
        pending_.self = shared_from_this();
        pending_.handed = std::chrono::steady_clock::now();
        server_.appendStarted();
        server_.context.store.appendStrokeAsync(
            std::move(append.canvas_id), std::move(append.stroke), pending_.now,
            server_.context.page_bytes,
            [session = this](Appended appended) { session->appendStored(std::move(appended)); });
    }

    // On the store's thread. The network thread takes over the session's only reference.
    void appendStored(Appended appended) {
        HttpServer::Impl& server = server_;
        if (server.context.metrics != nullptr) {
            server.context.metrics->timeStore(StoreCall::Append,
                                              std::chrono::steady_clock::now() - pending_.handed);
        }
        pending_.appended = std::move(appended);
        net::post(stream_.get_executor(), [self = std::move(pending_.self)] {
            PendingAppend& pending = self->pending_;
            Response response;
            try {
                response = answerAppend(self->server_.context, pending.canvas_id, pending.user_name,
                                        pending.now, std::move(pending.appended));
            } catch (const std::exception&) {
                response = textResponse(500, "internal error\n");
            }
            self->send(std::move(response), pending.keep_alive && !self->server_.stopping,
                       pending.method, pending.target);
        });
        server.appendFinished();
    }

    Response handle(const Request& request, bool from_memory = false) {
        try {
            return handleRequest(request, server_.context, nowMs(), from_memory);
        } catch (const std::exception&) {
            // The handler is total; memory exhaustion is what could still land here.
            return textResponse(500, "internal error\n");
        }
    }

    void respond(Response response, bool keep_alive, const Request& request) {
        send(std::move(response), keep_alive && !server_.stopping, request.method, request.target);
    }

    void failRead(beast::error_code ec) {
        if (ec == http::error::body_limit) {
            refuse(http::status::payload_too_large, "request body too large\n");
        } else if (ec == http::error::header_limit) {
            refuse(http::status::request_header_fields_too_large, "header too large\n");
        } else if (ec == beast::error::timeout || ec == http::error::end_of_stream ||
                   ec == net::error::operation_aborted || ec == net::error::eof ||
                   ec == net::error::connection_reset) {
            close();
        } else {
            refuse(http::status::bad_request, "malformed request\n");
        }
    }

    // Answers and closes: after a refused or broken request the rest of the stream cannot be
    // trusted to start at a message boundary.
    void refuse(http::status status, std::string text) {
        std::string method = "-", target = "-";
        if (parser_ && parser_->is_header_done()) {
            method = std::string(parser_->get().method_string());
            target = std::string(parser_->get().target());
        }
        send(textResponse(static_cast<int>(status), std::move(text)), false, method, target);
    }

    // The head is written here rather than by Beast's serializer: a reply is a status, two
    // or three fixed fields and a body, and the serializer's message and field nodes were a
    // good part of the allocations per request.
    void send(Response response, bool keep_alive, std::string_view method,
              std::string_view target) {
        const bool head_only = method == "HEAD";
        if (response.next_piece && !head_only) {
            pieces_ = std::move(response.next_piece);
            // HTTP/1.0 knows no chunks: the body then ends where the connection does.
            chunked_ = chunked_ok_;
            keep_alive = keep_alive && chunked_;
        }
        writeHead(response, keep_alive);
        if (server_.context.metrics != nullptr) {
            countAnswer(*server_.context.metrics, response, target);
        }
        if (server_.options.access_log) {
            logged_reason_ = refusalReason(response);
        }
        reply_body_ = std::move(response.body);
        reply_shared_ = std::move(response.shared_body);
        if (head_only) {
            reply_body_.clear(); // the head announces the length of a body that is not sent
            reply_shared_.reset();
        } else if (pieces_ && chunked_) {
            reply_body_ = chunk(reply_body_);
        }
        if (reply_lease_) {
            reply_lease_->growTo(reply_body_.size());
        }
        if (server_.options.access_log) {
            logged_method_ = method;
            logged_target_ = target;
            logged_status_ = response.status;
            if (!pieces_) {
                logRequest();
            }
        }
        keep_alive_ = keep_alive;
        stream_.expires_after(server_.options.request_timeout);
        std::array<net::const_buffer, 3> buffers{net::buffer(reply_head_), net::buffer(reply_body_),
                                                 net::const_buffer()};
        if (reply_shared_) {
            buffers[2] = net::buffer(*reply_shared_);
        }
        net::async_write(stream_, buffers,
                         beast::bind_front_handler(&Session::onWritten, shared_from_this()));
    }

    // One access log line per request, once its reply is complete (or cut off).
    void logRequest() {
        if (!server_.options.access_log) {
            return;
        }
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started_)
                .count();
        writeLogLine(accessLogLine(server_.options.log_format, request_client_, logged_method_,
                                   logged_target_, logged_status_, response_size_, ms,
                                   logged_reason_));
    }

    void onWritten(beast::error_code ec, size_t) {
        // A large reply is not kept while the connection waits.
        reply_body_ = std::string();
        reply_shared_.reset();
        if (!pieces_) {
            reply_lease_.reset();
        }
        if (ec) {
            if (pieces_) {
                pieces_ = nullptr;
                logRequest();
            }
            close();
            return;
        }
        if (pieces_) {
            nextPiece();
            return;
        }
        if (!keep_alive_) {
            if (!admitted_) {
                lingerThenClose();
                return;
            }
            close();
            return;
        }
        waitForRequest();
    }

    // The next piece of a long reply comes from storage, off the network threads; a failure
    // there cuts the reply off, which the client sees as an incomplete answer.
    void nextPiece() {
        net::post(server_.workers, [self = shared_from_this()] {
            std::optional<std::string> piece;
            bool failed = false;
            try {
                piece = self->pieces_();
            } catch (const std::exception&) {
                failed = true;
            }
            net::post(self->stream_.get_executor(),
                      [self, piece = std::move(piece), failed]() mutable {
                          self->writePiece(std::move(piece), failed);
                      });
        });
    }

    void writePiece(std::optional<std::string> piece, bool failed) {
        if (failed) {
            if (server_.context.metrics != nullptr) {
                server_.context.metrics->countDatabaseError();
            }
            pieces_ = nullptr;
            logRequest();
            close();
            return;
        }
        if (!piece) {
            pieces_ = nullptr;
            logRequest();
            if (!chunked_) {
                close(); // the end of the body
                return;
            }
            reply_body_ = "0\r\n\r\n";
            chunk_head_.clear();
        } else {
            response_size_ += piece->size();
            reply_body_ = std::move(*piece);
            if (reply_lease_) {
                reply_lease_->growTo(reply_body_.size());
            }
            // Framed around the piece rather than copied with it: a piece is up to a page.
            chunk_head_ = chunked_ && !reply_body_.empty() ? chunkHead(reply_body_.size()) : "";
        }
        static constexpr std::string_view ChunkEnd = "\r\n";
        stream_.expires_after(server_.options.request_timeout);
        const std::array<net::const_buffer, 3> buffers{
            net::buffer(chunk_head_), net::buffer(reply_body_),
            net::buffer(ChunkEnd.data(), chunk_head_.empty() ? 0 : ChunkEnd.size())};
        net::async_write(stream_, buffers,
                         beast::bind_front_handler(&Session::onWritten, shared_from_this()));
    }

    // Every answer is counted once, as it is sent: the request by its route and status, an
    // append by what became of it.
    void countAnswer(ServerMetrics& metrics, const Response& response, std::string_view target) {
        metrics.countRequest(metricsRouteOf(target), response.status);
        if (answering_append_) {
            metrics.countAppend(response.status, response.body);
            answering_append_ = false;
        }
        if (isStorageFailure(response)) {
            metrics.countDatabaseError();
        }
    }

    // GET /metrics, on this network thread: the text is made from counters and a few gauges,
    // without a lock but the event streams' own, in microseconds.
    Response answerMetrics(std::string_view method, const std::string& client,
                           std::string_view authorization) {
        const bool allowed = server_.metrics_access.allows(client, authorization);
        MetricsGauges gauges;
        if (allowed) {
            gauges.streams_open = server_.streams.openCount();
            gauges.reply_bytes_held = server_.replies.held();
            gauges.reply_bytes_limit = server_.replies.limit();
            gauges.resident_bytes = residentMemoryBytes();
        }
        return metricsResponse(method, allowed, *server_.context.metrics, gauges);
    }

    void writeHead(const Response& response, bool keep_alive) {
        const auto status = static_cast<http::status>(response.status);
        response_size_ =
            response.body.size() + (response.shared_body ? response.shared_body->size() : 0);
        reply_head_.assign("HTTP/1.1 ");
        appendNumber(reply_head_, static_cast<uint64_t>(response.status));
        reply_head_ += ' ';
        reply_head_ += http::obsolete_reason(status);
        reply_head_ += "\r\nServer: velmorastra-server\r\n";
        // A 304 has no body, and a length or type would describe the body it stands for; a
        // 204 has none either, and says nothing of one.
        const bool not_modified = response.status == 304 || response.status == 204;
        if (!not_modified) {
            reply_head_ += "Content-Type: ";
            reply_head_ += response.content_type;
            reply_head_ += "\r\n";
        }
        for (const auto& [name, value] : response.headers) {
            reply_head_ += name;
            reply_head_ += ": ";
            reply_head_ += value;
            reply_head_ += "\r\n";
        }
        if (!not_modified && !pieces_) {
            reply_head_ += "Content-Length: ";
            appendNumber(reply_head_, response_size_);
            reply_head_ += "\r\n";
        } else if (!not_modified && chunked_) {
            reply_head_ += "Transfer-Encoding: chunked\r\n";
        }
        reply_head_ += keep_alive ? "\r\n" : "Connection: close\r\n\r\n";
    }

    static void appendNumber(std::string& out, uint64_t value) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        out.append(digits, end);
    }

    // A refused connection's request is read and dropped for a moment before the socket
    // closes: closing with it unread would reset the connection, and the client could lose the
    // answer saying why.
    void lingerThenClose() {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        // One deadline for the whole drain: a client that keeps sending does not keep the
        // connection.
        stream_.expires_after(std::chrono::seconds(1));
        drainThenClose();
    }

    void drainThenClose() {
        stream_.async_read_some(buffer_.prepare(FirstReadBytes),
                                [self = shared_from_this()](beast::error_code e, size_t) {
                                    self->buffer_.clear();
                                    if (e) {
                                        self->close();
                                        return;
                                    }
                                    self->drainThenClose();
                                });
    }

    void close() {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        stream_.socket().close(ec);
    }

    SessionStream stream_;
    HttpServer::Impl& server_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    // The reply being written. The head's room is reused from request to request.
    std::string reply_head_;
    std::string reply_body_;
    std::shared_ptr<const std::string> reply_shared_;
    size_t response_size_ = 0;
    bool keep_alive_ = false;
    // A reply sent in pieces (Response::next_piece), chunked unless the request was HTTP/1.0.
    std::function<std::optional<std::string>()> pieces_;
    bool chunked_ = false;
    bool chunked_ok_ = true;
    // The access log's view of the request being answered.
    std::string logged_method_;
    std::string logged_target_;
    int logged_status_ = 0;
    std::string logged_reason_;
    // The room in the server's reply budget that the reply being made or sent holds.
    std::optional<ReplyBudget::Lease> reply_lease_;
    std::string chunk_head_;
    // Whether this connection may send requests: it has a place among its address's
    // (AddressSlots, then counted_), or it comes from a trusted proxy.
    bool admitted_ = false;
    bool counted_ = false;
    bool via_proxy_ = false;
    // The client of the request at hand: the peer, or the one a trusted proxy names.
    std::string request_client_;
    // The request at hand is an append with points: its answer is counted as one.
    bool answering_append_ = false;
    // An append handed to the store. `self` keeps the session alive until the answer is back.
    struct PendingAppend {
        std::shared_ptr<Session> self;
        std::string canvas_id;
        std::string user_name;
        std::string method;
        std::string target;
        int64_t now = 0;
        bool keep_alive = false;
        std::chrono::steady_clock::time_point handed; // to the store, for its latency
        Appended appended; // from the store's thread to the network thread
    } pending_;
    std::string client_ = "-";
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    bool idle_ = false;
    bool header_checked_ = false;
};

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
