#pragma once

#include "handler/client_limits.h"
#include "handler/http_types.h"
#include "handler/limits.h"
#include "store/canvas_news.h"
#include "store/delivery_book.h"
#include "store/store.h"

#include "canvas/mw_stroke.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::server {

// What the handler works on besides the request. The store and marks are shared by every
// request; both are thread-safe, so handleRequest may run on several threads at once.
struct HandlerContext {
    Store& store;
    DeliveryBook& marks;
    // The address clients reach this server under, ending in "/": the base of hosted image
    // URLs and of the pictures on share pages.
    std::string public_url;
    // How much stroke text a get_strokes reply or a render reads from the store at a time, and
    // a poll's reply carries at most (but always one stroke): what one reply holds in memory.
    static constexpr size_t DefaultPageBytes = 1024 * 1024;
    size_t page_bytes = DefaultPageBytes;
    // Told of every stroke stored or removed, once the store has it; none: nobody listens.
    CanvasNews* news = nullptr;
    // Appends, polls and uploads per client; none: unlimited.
    ClientLimits* limits = nullptr;
    // The size cap of a canvas; 0 turns either off.
    int64_t max_canvas_strokes = DefaultMaxCanvasStrokes;
    int64_t max_canvas_bytes = DefaultMaxCanvasBytes;
};

// Answers one request: the canvas commands (POST /), the front page (GET /) with the most
// recently active canvases, the share page (GET /?v:<date ID>),
// server renders, the image host and the health check. `now_ms` is the time the request is
// handled, in ms since 1970. Never throws for any request.
Response handleRequest(const Request& request, HandlerContext& context, int64_t now_ms);

// True for the requests that are answered from memory in microseconds: the poll (an append
// without points) and the health check. A cheap look at the bytes, without
// parsing. The server answers these on its network threads, appends with points through
// appendCommandOf and answerAppend, and everything else (deletes, database reads, renders,
// uploads) on worker threads, so that a disk flush or a render never holds up the network.
bool isQuick(const Request& request);

// True for a server render (GET /render/...), the one request whose cost is the CPU's, not the
// database's: the server bounds how many run at once and answers the rest with rendersBusy.
bool isRender(const Request& request);
// 503 with Retry-After: too many renders are running; the client may ask again shortly.
Response rendersBusy();
// 503 with Retry-After: the replies held for clients fill the server's budget for them.
Response repliesBusy();

// An append with points, split in two so that no thread waits for its flush: the server hands
// the stroke to Store::appendStrokeAsync and answers with answerAppend once the store is done.
struct AppendCommand {
    std::string canvas_id;
    canvas::MWStroke stroke;
};
// The append a request carries when it is a valid append with points (the rest, refusals
// included, goes through handleRequest).
std::optional<AppendCommand> appendCommandOf(const Request& request);
// The refusal of a command for `user_name` by the request's key, or nothing when it may go on:
// 403 when the name is bound to a key the request does not bring (a key counts only for the
// user ID its header names), 400 for a malformed key header, 503 when storage fails. The first
// key that comes for a name binds it. The server calls it before an append with points goes to
// the store; handleRequest checks the other commands itself.
std::optional<Response> keyRefusal(const Request& request, HandlerContext& context,
                                   std::string_view user_name, int64_t now_ms);
// The refusal of an append by the limits: 429 when its client (`client` is its address) appends
// too fast, 409 when the canvas is full. Nothing when it may go to the store. Counts the append
// against its client.
std::optional<Response> refuseAppend(HandlerContext& context, std::string_view client,
                                     std::string_view canvas_id, std::string_view user_name,
                                     int64_t now_ms);
// The reply to an append once the store answered (Store::appendStrokeAsync, given
// HandlerContext::page_bytes as the reply's bound).
Response answerAppend(HandlerContext& context, const std::string& canvas_id,
                      const std::string& user_name, int64_t now_ms, Appended appended);

} // namespace velmo::server
