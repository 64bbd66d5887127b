#pragma once

#include "handler/admin_routes.h"
#include "handler/ban_list.h"
#include "handler/browser_page.h"
#include "handler/client_limits.h"
#include "handler/http_types.h"
#include "handler/limits.h"
#include "handler/live_drawing.h"
#include "handler/render_cache.h"
#include "handler/render_folder.h"
#include "handler/server_metrics.h"
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
    // Strokes in progress and who is present (with `news`); none: progress commands answer
    // 404 and streams ignore ?user=.
    LiveDrawing* live = nullptr;
    // Appends, polls and uploads per client; none: unlimited.
    ClientLimits* limits = nullptr;
    // Renders kept between requests (GET /render and GET /layers); none: every render paints
    // its canvas from the first stroke.
    RenderCache* renders = nullptr;
    // Where renders are kept on disk between runs (with `renders`); none: each start paints
    // its first render of a canvas from the first stroke.
    const RenderFolder* render_folder = nullptr;
    // The browser page and its files (GET /draw/..., GET /web/...); none: /draw/ answers 404
    // with a page saying it is not installed, and share pages offer no link to it.
    const BrowserPage* browser_page = nullptr;
    // Counts what the handler does for GET /metrics (polls, get_strokes, renders, strokes in
    // progress passed on, a poll's store time); none: nothing is counted.
    ServerMetrics* metrics = nullptr;
    // The bans in force (their appends, progress and pictures are refused); none: no bans.
    BanList* bans = nullptr;
    // The operator's routes under /admin/; none: they answer 404.
    const AdminRoutes* admin = nullptr;
    // The size cap of a canvas; 0 turns either off.
    int64_t max_canvas_strokes = DefaultMaxCanvasStrokes;
    int64_t max_canvas_bytes = DefaultMaxCanvasBytes;
};

// Answers one request: the canvas commands (POST /), the front page (GET /) with the most
// recently active canvases, the share page (GET /?v:<date ID>), the browser page and its files,
// server renders, the layers of a canvas, the image host and the health check. `now_ms` is the
// time the request is handled, in ms since 1970. Never throws for any request.
//
// GET /draw/<percent-encoded canvas ID>: the browser page of any valid canvas ID, drawn on or
// not (BrowserPage::page), with Cache-Control: no-cache and a content security policy that lets
// in only this server's scripts, styles and connections (DrawPagePolicy); 400 for a bad ID.
// GET /web/<hashed name>: a file of the page, cached for good (immutable); 404 for other names.
//
// GET /render/<percent-encoded canvas ID>.png?w=W&h=H: the canvas's picture, its strokes
// painted by the engine at the canvas size of CanvasGeometry::setScreenSize(W, H) (W from 1 to
// 1280, default 320; H from 1 to 1920, default 480; else 400), as an 8-bit RGB PNG.
//
// GET /layers/<percent-encoded canvas ID>.png?w=W&h=H: the canvas's three layers at the canvas
// size of CanvasGeometry::setScreenSize(W, H), so that a client opening a big canvas starts
// from them and replays only the strokes after them. W and H from 1 to 4096 each, both given,
// and W * H at most 3840 * 2160; else 400. The file (png/layers_png.h): an 8-bit RGB PNG without
// alpha of canvas_width x (3 * canvas_height) pixels, rows 0..h-1 layer 0, h..2h-1 layer 1,
// 2h..3h-1 layer 2, each pixel's R, G, B the layer pixel's r, g, b bytes exactly; a tEXt chunk
// before the pixels, keyword "Velmorastra-Layers", text "through=<T> strokes=<N>": T the server
// time of the newest stroke painted (0 when none), N how many strokes are painted (every stroke
// stored when the render read the canvas).
//
// Both: 200 with image/png, a strong ETag, Cache-Control: no-cache (browsers ask again, with
// If-None-Match) and X-Content-Type-Options: nosniff; 304 without a body when If-None-Match
// names the ETag (or is "*"); 404 "no such canvas" for a canvas without strokes or pictures;
// 503 with Retry-After when storage fails before or during the render. Both count as renders
// (isRender). Answered from the render cache (HandlerContext::renders, canvas_render.h).
//
// With `from_memory` (a network thread asking), a command whose user name's key only the
// database can check is not answered: the answer is one for which needsWorker is true, and the
// request is to be asked again on a worker without it. Nothing of it was done.
Response handleRequest(const Request& request, HandlerContext& context, int64_t now_ms,
                       bool from_memory = false);
// See handleRequest; such an answer is never sent.
bool needsWorker(const Response& response);
// True for the answer to a request the database failed (503 "storage unavailable").
bool isStorageFailure(const Response& response);

// True for the requests that are answered from memory in microseconds: the poll (an append
// without points), the health check and the browser page with its files (the files are sent
// from memory without a copy). A cheap look at the bytes, without parsing. The server answers these
// on its network threads, appends with points through appendCommandOf and answerAppend, and
// everything else (deletes, database reads, renders, uploads) on worker threads, so that a disk
// flush or a render never holds up the network.
bool isQuick(const Request& request);
// True for the poll: an append whose stroke has no points.
bool isPoll(const Request& request);

// True for a server render (GET /render/... or GET /layers/...), the one request whose cost is
// the CPU's, not the database's: the server bounds how many run at once and answers the rest
// with rendersBusy.
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
// With `from_memory`, a name only the database knows is not checked: the answer is then one for
// which needsWorker is true, and the check is to be made again on a worker without it.
std::optional<Response> keyRefusal(const Request& request, HandlerContext& context,
                                   std::string_view user_name, int64_t now_ms,
                                   bool from_memory = false);
// The refusal of a claim to speak for `user_name` on the live channel (a progress command, a
// stream naming its user): keyRefusal, but a key for exactly that user ID is required (403
// without one) and 400 for a user ID a stream may not name (wire::isPresenceUser).
std::optional<Response> liveKeyRefusal(const Request& request, HandlerContext& context,
                                       std::string_view user_name, int64_t now_ms,
                                       bool from_memory = false);
// The refusal of a command that would add to a canvas (an append with points, a stroke in
// progress, a picture) by a banned user name, or by a banned key in the request's key header:
// 403 with the reason in its text and as RefusalReason::Banned. Nothing when neither is banned.
// Answered from memory (BanList).
std::optional<Response> banRefusal(const Request& request, HandlerContext& context,
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
