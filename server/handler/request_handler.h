#pragma once

#include "handler/http_types.h"
#include "store/canvas_news.h"
#include "store/delivery_book.h"
#include "store/store.h"

#include "canvas/mw_stroke.h"

#include <cstdint>
#include <optional>
#include <string>

namespace velmo::server {

// What the handler works on besides the request. The store and marks are shared by every
// request; both are thread-safe, so handleRequest may run on several threads at once.
struct HandlerContext {
    Store& store;
    DeliveryBook& marks;
    // The address clients reach this server under, ending in "/": the base of hosted image
    // URLs and of the pictures on share pages.
    std::string public_url;
    // How much stroke text a get_strokes reply or a render reads from the store at a time.
    size_t page_bytes = 4 * 1024 * 1024;
    // Told of every stroke stored or removed, once the store has it; none: nobody listens.
    CanvasNews* news = nullptr;
};

// Answers one request: the canvas commands (POST /), the share page (GET /?v:<date ID>),
// server renders, the image host and the health check. `now_ms` is the time the request is
// handled, in ms since 1970. Never throws for any request.
Response handleRequest(const Request& request, HandlerContext& context, int64_t now_ms);

// True for the requests that are answered from memory in microseconds: the poll (an append
// without points), the health check and the index page. A cheap look at the bytes, without
// parsing. The server answers these on its network threads, appends with points through
// appendCommandOf and answerAppend, and everything else (deletes, database reads, renders,
// uploads) on worker threads, so that a disk flush or a render never holds up the network.
bool isQuick(const Request& request);

// True for a server render (GET /render/...), the one request whose cost is the CPU's, not the
// database's: the server bounds how many run at once and answers the rest with rendersBusy.
bool isRender(const Request& request);
// 503 with Retry-After: too many renders are running; the client may ask again shortly.
Response rendersBusy();

// An append with points, split in two so that no thread waits for its flush: the server hands
// the stroke to Store::appendStrokeAsync and answers with answerAppend once the store is done.
struct AppendCommand {
    std::string canvas_id;
    canvas::MWStroke stroke;
};
// The append a request carries when it is a valid append with points (the rest, refusals
// included, goes through handleRequest).
std::optional<AppendCommand> appendCommandOf(const Request& request);
// The reply to an append once the store answered: `stamp` is its stamp, nothing on failure.
Response answerAppend(HandlerContext& context, const std::string& canvas_id,
                      const std::string& user_name, int64_t now_ms, std::optional<int64_t> stamp);

} // namespace velmo::server
