#include "http/session.h"

#include "handler/event_stream_route.h"
#include "handler/limits.h"
#include "http/access_log.h"
#include "http/chunked_body.h"
#include "http/forwarded_for.h"
#include "http/http_server_impl.h"
#include "http/metrics_access.h"
#include "http/metrics_route.h"
#include "wire/key_header.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <exception>

namespace velmo::server {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr size_t MaxHeaderBytes = 16 * 1024;
constexpr size_t FirstReadBytes = 4096;

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

} // namespace

Session::Session(SessionSocket&& socket, HttpServer::Impl& server)
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

Session::~Session() {
    if (counted_) {
        server_.connections.give(client_);
    }
    server_.untrack(this);
}

void Session::start() {
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

void Session::closeIfIdle() {
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] {
        if (self->idle_) {
            beast::error_code ec;
            self->stream_.socket().close(ec);
        }
    });
}

void Session::waitForRequest() {
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

void Session::readHeader() {
    parser_.emplace();
    parser_->header_limit(MaxHeaderBytes);
    parser_->body_limit(MaxUploadBody);
    header_checked_ = false;
    started_ = std::chrono::steady_clock::now();
    // One deadline for the whole request, header and body: a slow sender is cut off.
    stream_.expires_after(server_.options.request_timeout);
    parseBuffered();
}

void Session::parseBuffered() {
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
        http::async_read_header(stream_, buffer_, *parser_,
                                beast::bind_front_handler(&Session::onHeader, shared_from_this()));
    } else {
        readBody();
    }
}

void Session::onHeader(beast::error_code ec, size_t) {
    if (ec) {
        failRead(ec);
        return;
    }
    if (!header_checked_ && !checkHeader()) {
        return;
    }
    parseBuffered();
}

bool Session::checkHeader() {
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
        auto interim = std::make_shared<http::response<http::empty_body>>(http::status::continue_,
                                                                          header.version());
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

void Session::readBody() {
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&Session::onBody, shared_from_this()));
}

void Session::onBody(beast::error_code ec, size_t) {
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
                refusal =
                    keyRefusal(request, server_.context, append->stroke.user_name, nowMs(), true);
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
    net::post(server_.workers, [self = shared_from_this(), request = std::move(request), keep_alive,
                                render_slot = std::make_shared<std::optional<RenderSlots::Slot>>(
                                    std::move(render_slot))]() mutable {
        Response response = self->handle(request);
        render_slot->reset();
        net::post(
            self->stream_.get_executor(),
            [self, request = std::move(request), response = std::move(response),
             keep_alive]() mutable { self->respond(std::move(response), keep_alive, request); });
    });
}

template <class Result, class Check, class Then>
void Session::onWorkerThenHere(Check check, Then then) {
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

void Session::openEventStream(const Request& request, bool keep_alive) {
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
                self.startEventStream(request, keep_alive, std::move(canvas), std::move(checked));
            });
        return;
    }
    startEventStream(request, keep_alive, std::move(std::get<std::string>(canvas_id)),
                     std::move(user));
}

void Session::startEventStream(const Request& request, bool keep_alive, std::string canvas_id,
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

void Session::checkKeyOnWorker(AppendCommand append, Request request, bool keep_alive) {
    // Shared by the check and what follows it: the body may be a large stroke.
    const auto shared = std::make_shared<const Request>(std::move(request));
    const std::string user = append.stroke.user_name;
    onWorkerThenHere<std::optional<Response>>(
        [shared, user](Session& self) {
            return keyRefusal(*shared, self.server_.context, user, nowMs());
        },
        [append = std::move(append), shared, keep_alive](Session& self,
                                                         std::optional<Response> refusal) mutable {
            if (refusal) {
                self.respond(std::move(*refusal), keep_alive, *shared);
            } else {
                self.startAppend(std::move(append), *shared, keep_alive);
            }
        });
}

void Session::startAppend(AppendCommand append, const Request& request, bool keep_alive) {
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

void Session::appendStored(Appended appended) {
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

Response Session::handle(const Request& request, bool from_memory) {
    try {
        return handleRequest(request, server_.context, nowMs(), from_memory);
    } catch (const std::exception&) {
        // The handler is total; memory exhaustion is what could still land here.
        return textResponse(500, "internal error\n");
    }
}

void Session::respond(Response response, bool keep_alive, const Request& request) {
    send(std::move(response), keep_alive && !server_.stopping, request.method, request.target);
}

void Session::failRead(beast::error_code ec) {
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

void Session::refuse(http::status status, std::string text) {
    std::string method = "-", target = "-";
    if (parser_ && parser_->is_header_done()) {
        method = std::string(parser_->get().method_string());
        target = std::string(parser_->get().target());
    }
    send(textResponse(static_cast<int>(status), std::move(text)), false, method, target);
}

void Session::send(Response response, bool keep_alive, std::string_view method,
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

void Session::logRequest() {
    if (!server_.options.access_log) {
        return;
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started_)
            .count();
    writeLogLine(accessLogLine(server_.options.log_format, request_client_, logged_method_,
                               logged_target_, logged_status_, response_size_, ms, logged_reason_));
}

void Session::onWritten(beast::error_code ec, size_t) {
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

void Session::nextPiece() {
    net::post(server_.workers, [self = shared_from_this()] {
        std::optional<std::string> piece;
        bool failed = false;
        try {
            piece = self->pieces_();
        } catch (const std::exception&) {
            failed = true;
        }
        net::post(self->stream_.get_executor(), [self, piece = std::move(piece), failed]() mutable {
            self->writePiece(std::move(piece), failed);
        });
    });
}

void Session::writePiece(std::optional<std::string> piece, bool failed) {
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

void Session::countAnswer(ServerMetrics& metrics, const Response& response,
                          std::string_view target) {
    metrics.countRequest(metricsRouteOf(target), response.status);
    if (answering_append_) {
        metrics.countAppend(response.status, response.refusal_reason);
        answering_append_ = false;
    }
    if (isStorageFailure(response)) {
        metrics.countDatabaseError();
    }
}

Response Session::answerMetrics(std::string_view method, const std::string& client,
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

void Session::writeHead(const Response& response, bool keep_alive) {
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

void Session::appendNumber(std::string& out, uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void Session::lingerThenClose() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    // One deadline for the whole drain: a client that keeps sending does not keep the
    // connection.
    stream_.expires_after(std::chrono::seconds(1));
    drainThenClose();
}

void Session::drainThenClose() {
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

void Session::close() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    stream_.socket().close(ec);
}

} // namespace velmo::server
