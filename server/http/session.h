#pragma once

#include "handler/http_types.h"
#include "handler/request_handler.h"
#include "handler/server_metrics.h"
#include "http/http_server.h"
#include "http/reply_budget.h"
#include "http/session_types.h"
#include "store/store.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace velmo::server {

// One client connection: reads requests one at a time, answers quick ones on its network
// thread and hands the others to the server's workers, and writes each reply whole (or in
// pieces, for a long one). Event streams leave it: their socket goes to the server's
// EventStreams. Lives as long as a shared_ptr to it: its own pending operations hold one.
// Everything runs on the connection's strand, but the checks and appends it hands off.
class Session : public std::enable_shared_from_this<Session> {
    using SessionStream = boost::beast::basic_stream<boost::asio::ip::tcp, SessionExecutor>;

public:
    Session(SessionSocket&& socket, HttpServer::Impl& server);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Serves the connection, or refuses it (429) when its address has no place left.
    void start();

    // From stop(): a connection waiting for its next request is closed now; one in the middle
    // of a request finishes it and closes afterwards.
    void closeIfIdle();

private:
    void waitForRequest();
    void readHeader();

    // Parses what is already buffered without another trip through the io_context; most
    // requests arrive whole in one read. Reads more only when the request is incomplete.
    void parseBuffered();

    void onHeader(boost::beast::error_code ec, size_t);

    // Applies the body limit of the route once the header is known. False when the request
    // was refused or the parsing continues after a 100-continue answer.
    bool checkHeader();

    void readBody();
    void onBody(boost::beast::error_code ec, size_t);

    // A stream keeps the connection: its socket goes to the event streams and this session
    // ends. Refusals are ordinary replies.
    void openEventStream(const Request& request, bool keep_alive);

    void startEventStream(const Request& request, bool keep_alive, std::string canvas_id,
                          std::variant<std::string, Response> user);

    // The key check of an append on a worker, then the append from this session's thread.
    void checkKeyOnWorker(AppendCommand append, Request request, bool keep_alive);

    // A check that may wait on the database, on a worker; what it found (500 when it threw)
    // goes back to this session's thread.
    template <class Result, class Check, class Then> void onWorkerThenHere(Check check, Then then);

    // The stroke goes to the store's commit queue and no thread waits for the flush: the
    // store's callback brings the answer back to this connection's network thread, where
    // the reply is built from memory. A connection has one request at a time, so what the
    // answer needs waits in the session; the callback carries only a pointer and fits in
    // std::function without an allocation.
    void startAppend(AppendCommand append, const Request& request, bool keep_alive);

    // On the store's thread. The network thread takes over the session's only reference.
    void appendStored(Appended appended);

    Response handle(const Request& request, bool from_memory = false);

    void respond(Response response, bool keep_alive, const Request& request);

    void failRead(boost::beast::error_code ec);

    // Answers and closes: after a refused or broken request the rest of the stream cannot be
    // trusted to start at a message boundary.
    void refuse(boost::beast::http::status status, std::string text);

    // The head is written here rather than by Beast's serializer: a reply is a status, two
    // or three fixed fields and a body, and the serializer's message and field nodes were a
    // good part of the allocations per request.
    void send(Response response, bool keep_alive, std::string_view method, std::string_view target);

    // One access log line per request, once its reply is complete (or cut off).
    void logRequest();

    void onWritten(boost::beast::error_code ec, size_t);

    // The next piece of a long reply comes from storage, off the network threads; a failure
    // there cuts the reply off, which the client sees as an incomplete answer.
    void nextPiece();

    void writePiece(std::optional<std::string> piece, bool failed);

    // Every answer is counted once, as it is sent: the request by its route and status, an
    // append by what became of it.
    void countAnswer(ServerMetrics& metrics, const Response& response, std::string_view target);

    // GET /metrics, on this network thread: the text is made from counters and a few gauges,
    // without a lock but the event streams' own, in microseconds.
    Response answerMetrics(std::string_view method, const std::string& client,
                           std::string_view authorization);

    void writeHead(const Response& response, bool keep_alive);

    static void appendNumber(std::string& out, uint64_t value);

    // A refused connection's request is read and dropped for a moment before the socket
    // closes: closing with it unread would reset the connection, and the client could lose the
    // answer saying why.
    void lingerThenClose();

    void drainThenClose();
    void close();

    SessionStream stream_;
    HttpServer::Impl& server_;
    boost::beast::flat_buffer buffer_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
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

} // namespace velmo::server
