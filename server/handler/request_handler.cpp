#include "handler/request_handler.h"

#include "handler/canvas_render.h"
#include "handler/html.h"
#include "handler/limits.h"
#include "handler/multipart.h"
#include "handler/png_check.h"
#include "handler/sha256.h"
#include "store/stroke_pages.h"
#include "wire/canvas_id.h"
#include "wire/command_parser.h"
#include "wire/command_words.h"
#include "wire/date_id.h"
#include "wire/key_header.h"
#include "wire/percent_codec.h"
#include "wire/reply_line.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <future>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <variant>

#ifndef VELMO_VERSION
#error "VELMO_VERSION must come from the build"
#endif

namespace velmo::server {

using wire::percentDecode;
using wire::percentEncode;

Response textResponse(int status, std::string body) {
    Response response;
    response.status = status;
    response.body = std::move(body);
    return response;
}

namespace {

// A picture, never sniffed as anything else.
Response pngResponse(std::string file, std::string_view cache_control) {
    Response response;
    response.content_type = "image/png";
    response.body = std::move(file);
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    response.headers.emplace_back("Cache-Control", std::string(cache_control));
    return response;
}

constexpr std::string_view StorageUnavailable = "storage unavailable\n";

Response unavailable() {
    return textResponse(503, std::string(StorageUnavailable));
}

// 429 with the seconds to wait, rounded up: the app waits that long before it sends again.
Response tooMany(std::string_view what, int64_t wait_ms) {
    const std::string seconds = std::to_string((wait_ms + 999) / 1000);
    Response response =
        textResponse(429, "too many " + std::string(what) + "; try again in " + seconds + " s\n");
    response.headers.emplace_back("Retry-After", seconds);
    return response;
}

Response htmlResponse(int status, std::string body) {
    Response response;
    response.status = status;
    response.content_type = "text/html; charset=utf-8";
    response.body = std::move(body);
    response.headers.emplace_back("Content-Security-Policy", std::string(PagePolicy));
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    return response;
}

void appendStrokeLines(std::string& body, std::string_view canvas_id,
                       const std::vector<StoredStroke>& strokes) {
    size_t size = body.size();
    for (const StoredStroke& stroke : strokes) {
        size += wire::strokeLineSize(canvas_id, stroke.text);
    }
    body.reserve(size); // a reply can carry thousands of lines: one allocation, not a series
    for (const StoredStroke& stroke : strokes) {
        wire::appendStrokeLine(body, canvas_id, stroke.text);
    }
}

// The owed delete notice and, for a resent append stored once already and lying behind the
// mark (its first reply was lost on the way), its line again so the client can put its
// provisional copy in place. `echo` is the stamp of the stroke this request appended (0 for
// none).
std::string replyOpening(HandlerContext& context, const std::string& canvas_id,
                         DeliveryBook::Delivery delivery, int64_t echo) {
    std::string body;
    if (delivery.owes_notice) {
        wire::appendDeleteNotice(body, canvas_id);
    }
    if (echo != 0 && echo <= delivery.mark) {
        const auto resent = context.store.strokesAfter(canvas_id, echo - 1, 1);
        if (resent && !resent->empty() && resent->front().server_time == echo) {
            appendStrokeLines(body, canvas_id, *resent);
        }
    }
    return body;
}

// A reply of a delivery taken with its strokes, whole.
Response takenReply(HandlerContext& context, const std::string& canvas_id,
                    const TakenDelivery& taken, int64_t echo) {
    std::string body = replyOpening(context, canvas_id, {taken.mark, taken.owes_notice}, echo);
    appendStrokeLines(body, canvas_id, taken.strokes);
    return textResponse(200, std::move(body));
}

// The owed delete notice, then the strokes stamped after the user's mark, and the mark moves.
Response strokesForUser(HandlerContext& context, const std::string& canvas_id,
                        const std::string& user_name, int64_t now_ms, int64_t echo = 0) {
    if (const auto all = context.marks.takeAll(canvas_id, user_name, now_ms, context.page_bytes)) {
        return takenReply(context, canvas_id, *all, echo);
    }
    const auto taken = context.marks.take(canvas_id, user_name, now_ms);
    if (!taken) {
        return unavailable();
    }
    const DeliveryBook::Delivery delivery = *taken;
    std::string body = replyOpening(context, canvas_id, delivery, echo);
    const int64_t last_stamp = context.store.lastStamp(canvas_id);
    if (last_stamp > delivery.mark) {
        auto strokes = context.store.strokesAfter(canvas_id, delivery.mark, MaxStrokesPerReply);
        if (!strokes) {
            if (delivery.owes_notice) {
                context.marks.oweNotice(canvas_id, user_name); // not given after all
            }
            return unavailable();
        }
        // A reply holds about a page at most, however large the strokes: the rest follows.
        size_t bytes = 0;
        size_t kept = 0;
        while (kept < strokes->size() && (kept == 0 || bytes <= context.page_bytes)) {
            bytes += (*strokes)[kept++].text.size();
        }
        if (bytes > context.page_bytes && kept > 1) {
            --kept;
        }
        const bool whole = kept == strokes->size() && strokes->size() < MaxStrokesPerReply;
        strokes->resize(kept);
        appendStrokeLines(body, canvas_id, *strokes);
        // A canvas's strokes are readable in stamp order, so a reply not cut short holds
        // every stroke up to the last stamp known before the read: the mark goes that far even
        // when the newest strokes were deleted, and the next poll knows from memory that
        // nothing is new.
        const int64_t sent_up_to = strokes->empty() ? last_stamp
                                   : whole ? std::max(last_stamp, strokes->back().server_time)
                                           : strokes->back().server_time;
        if (sent_up_to > delivery.mark) {
            context.marks.advance(canvas_id, user_name, sent_up_to);
        }
    }
    return textResponse(200, std::move(body));
}

Response badKeyHeader() {
    return textResponse(400, "malformed Velmorastra-Key header\n");
}

// Pictures stand for a canvas in searches and on share pages, so only someone who proves a user
// ID that drew on the canvas may set them.
std::optional<Response> pictureRefusal(const Request& request, HandlerContext& context,
                                       const std::string& canvas_id, int64_t now_ms) {
    if (request.key.empty()) {
        return textResponse(403, "pictures are taken only with a key\n");
    }
    const auto header = wire::parseKeyHeader(request.key);
    if (!header) {
        return badKeyHeader();
    }
    // Looked at before the key, so that a refused picture binds no name.
    const auto drew = context.store.hasStrokeBy(canvas_id, header->user_id);
    if (!drew) {
        return unavailable();
    }
    if (!*drew) {
        return textResponse(403, "pictures are taken only from a user with a stroke on the "
                                 "canvas\n");
    }
    if (auto refusal = banRefusal(request, context, header->user_id, now_ms)) {
        return refusal;
    }
    return keyRefusal(request, context, header->user_id, now_ms);
}

// Status 0: not an HTTP answer, a request handed on (handleRequest with `from_memory`).
constexpr int HandedToWorker = 0;

// A stroke in progress: checked, counted, passed on as it was read, stored nowhere.
Response answerProgress(const Request& request, HandlerContext& context, wire::Command& command,
                        int64_t now_ms, bool from_memory) {
    if (context.live == nullptr || !context.live->enabled() || context.news == nullptr) {
        return textResponse(404, "no live drawing here\n");
    }
    const std::string& user = command.progress.user_name;
    if (auto refusal = liveKeyRefusal(request, context, user, now_ms, from_memory)) {
        return std::move(*refusal);
    }
    if (auto refusal = banRefusal(request, context, user, now_ms)) {
        return std::move(*refusal);
    }
    auto progress = makeLiveProgress(std::move(command.progress));
    // As the server writes it, it must still read (a missing pen is written out, say).
    if (progress->text.size() > wire::MaxProgressText) {
        return textResponse(400, "progress too long\n");
    }
    if (context.live->takeProgress(progress->progress.user_name, request.body.size(), now_ms) !=
        0) {
        Response response = textResponse(429, "too many strokes in progress; try again in 1 s\n");
        response.headers.emplace_back("Retry-After", "1");
        return response;
    }
    context.live->progress(command.canvas_id, std::move(progress));
    if (context.metrics != nullptr) {
        context.metrics->countProgressRelayed();
    }
    return textResponse(204, "");
}

Response handleCommand(const Request& request, HandlerContext& context, int64_t now_ms,
                       bool from_memory) {
    if (request.body.size() > MaxCommandBody) {
        return textResponse(413, "command too large\n");
    }
    auto parsed = wire::parseCommand(request.body);
    if (auto* error = std::get_if<wire::CommandError>(&parsed)) {
        return textResponse(error->status, error->message + "\n");
    }
    wire::Command& command = std::get<wire::Command>(parsed);
    // An append, a poll included, and a delete speak for their user name: a poll moves the
    // name's delivery mark, so a stranger must not swallow its deliveries either.
    if (command.kind == wire::CommandKind::Append || command.kind == wire::CommandKind::Delete) {
        if (auto refusal =
                keyRefusal(request, context, command.stroke.user_name, now_ms, from_memory)) {
            return std::move(*refusal);
        }
    }
    switch (command.kind) {
    case wire::CommandKind::Append: {
        if (command.stroke.points_x.empty()) {
            if (context.limits != nullptr) {
                if (const int64_t wait = context.limits->takePoll(
                        request.client, command.stroke.user_name, now_ms)) {
                    return tooMany("polls", wait);
                }
            }
            if (context.metrics == nullptr) {
                return strokesForUser(context, command.canvas_id, command.stroke.user_name, now_ms);
            }
            context.metrics->countPoll();
            const auto started = std::chrono::steady_clock::now();
            Response reply =
                strokesForUser(context, command.canvas_id, command.stroke.user_name, now_ms);
            context.metrics->timeStore(StoreCall::Poll, std::chrono::steady_clock::now() - started);
            return reply;
        }
        if (auto refusal = banRefusal(request, context, command.stroke.user_name, now_ms)) {
            return std::move(*refusal);
        }
        if (auto refusal = refuseAppend(context, request.client, command.canvas_id,
                                        command.stroke.user_name, now_ms)) {
            return std::move(*refusal);
        }
        std::promise<Appended> result;
        auto appended = result.get_future();
        const std::string user_name = command.stroke.user_name;
        context.store.appendStrokeAsync(
            command.canvas_id, std::move(command.stroke), now_ms, context.page_bytes,
            [&result](Appended outcome) { result.set_value(std::move(outcome)); });
        return answerAppend(context, command.canvas_id, user_name, now_ms, appended.get());
    }
    case wire::CommandKind::Delete: {
        const auto removed = context.store.deleteStrokes(
            command.canvas_id, command.stroke.user_name, command.stroke.client_time, now_ms);
        if (!removed) {
            return unavailable();
        }
        if (*removed > 0) {
            context.marks.noteDelete(command.canvas_id, command.stroke.user_name);
            if (context.news != nullptr) {
                context.news->publish(command.canvas_id, {StrokeNews::Kind::Delete, 0});
            }
        }
        return strokesForUser(context, command.canvas_id, command.stroke.user_name, now_ms);
    }
    case wire::CommandKind::Progress:
        return answerProgress(request, context, command, now_ms, from_memory);
    case wire::CommandKind::GetStrokes: {
        if (context.metrics != nullptr) {
            context.metrics->countGetStrokes();
        }
        // A canvas can be far larger than any reply the server should hold: the first page
        // answers, and the rest follows page by page.
        auto pages =
            std::make_shared<StrokePages>(context.store, command.canvas_id, context.page_bytes);
        const auto first = pages->next();
        if (!first) {
            return unavailable();
        }
        std::string body;
        appendStrokeLines(body, command.canvas_id, *first);
        Response response = textResponse(200, std::move(body));
        if (!pages->done()) {
            response.next_piece = [pages, canvas_id = command.canvas_id,
                                   any = !first->empty()]() mutable -> std::optional<std::string> {
                while (!pages->done()) {
                    const auto page = pages->next();
                    if (!page) {
                        throw std::runtime_error("the store failed during a reply");
                    }
                    if (!page->empty()) {
                        std::string piece;
                        appendStrokeLines(piece, canvas_id, *page);
                        // Lines are separated, not ended, by "\n": a piece after the first
                        // line starts with one.
                        if (any) {
                            piece.insert(0, 1, '\n');
                        }
                        any = true;
                        return piece;
                    }
                }
                return std::nullopt;
            };
        }
        return response;
    }
    case wire::CommandKind::SearchCanvasList: {
        const auto found = context.store.findCanvases(command.text, MaxSearchResults);
        if (!found) {
            return unavailable();
        }
        std::string body;
        for (const CanvasInfo& canvas : *found) {
            wire::appendCanvasListLine(body, canvas.canvas_id, canvas.thumbnail_url);
        }
        return textResponse(200, std::move(body));
    }
    case wire::CommandKind::UpdateThumbnail:
    case wire::CommandKind::UpdateFullimage: {
        const ImageKind kind = command.kind == wire::CommandKind::UpdateThumbnail
                                   ? ImageKind::Thumbnail
                                   : ImageKind::FullImage;
        if (auto refusal = pictureRefusal(request, context, command.canvas_id, now_ms)) {
            return std::move(*refusal);
        }
        if (!context.store.setImageUrl(command.canvas_id, kind, command.text, now_ms)) {
            return unavailable();
        }
        return textResponse(200, "");
    }
    }
    return textResponse(400, "unknown command\n");
}

bool isDateId(std::string_view text) {
    if (text.size() != 7) {
        return false;
    }
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
            return false;
        }
    }
    return true;
}

// The browser page of a canvas, when this server has one; empty otherwise.
std::string drawUrlOf(const HandlerContext& context, std::string_view canvas_id) {
    if (context.browser_page == nullptr) {
        return {};
    }
    return context.public_url + "draw/" + percentEncode(canvas_id);
}

Response sharePageFor(std::string_view query, HandlerContext& context) {
    if (query.substr(0, 2) != "v:" || !isDateId(query.substr(2))) {
        return htmlResponse(404, notFoundPage());
    }
    const auto canvases = context.store.canvasesByDateId(query.substr(2), MaxCanvasesPerDateId);
    if (!canvases) {
        return unavailable();
    }
    if (canvases->empty()) {
        return htmlResponse(404, notFoundPage());
    }
    const CanvasInfo* canvas = &canvases->front();
    std::vector<std::string> others;
    for (auto other = canvases->begin() + 1; other != canvases->end(); ++other) {
        others.push_back(other->canvas_id);
    }
    const std::string picture =
        wire::isValidImageUrl(canvas->fullimage_url)
            ? canvas->fullimage_url
            : context.public_url + "render/" + percentEncode(canvas->canvas_id) + ".png";
    return htmlResponse(
        200, sharePage(canvas->canvas_id, picture, others, drawUrlOf(context, canvas->canvas_id)));
}

// The front page's canvases, each picture a server render (there is one even before any
// upload) linking to the canvas's share page. A canvas whose ID carries no creation time has
// no share page: its picture links to the render itself.
Response frontPageFor(HandlerContext& context) {
    const auto canvases = context.store.findCanvases("", MaxFrontPageCanvases);
    if (!canvases) {
        return unavailable();
    }
    std::vector<CanvasCard> cards;
    cards.reserve(canvases->size());
    for (const CanvasInfo& canvas : *canvases) {
        CanvasCard card;
        card.canvas_id = canvas.canvas_id;
        const std::string render = context.public_url + "render/" + percentEncode(canvas.canvas_id);
        card.picture_url = render + ".png?w=160&h=240";
        const auto date_id = wire::dateID(canvas.canvas_id);
        card.link_url = date_id ? context.public_url + "?v:" + *date_id : render + ".png";
        card.draw_url = drawUrlOf(context, canvas.canvas_id);
        cards.push_back(std::move(card));
    }
    return htmlResponse(200, frontPage(VELMO_VERSION, context.public_url, cards));
}

// "w=<n>&h=<n>" in any order, each at most once, and both when there are no defaults (0);
// nothing for anything else.
std::optional<std::pair<int, int>> sizeQuery(std::string_view query, int width, int height) {
    bool width_seen = false;
    bool height_seen = false;
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view item = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (item.empty()) {
            continue;
        }
        const bool is_width = item.substr(0, 2) == "w=";
        const bool is_height = item.substr(0, 2) == "h=";
        bool& seen = is_width ? width_seen : height_seen;
        if ((!is_width && !is_height) || seen) {
            return std::nullopt;
        }
        seen = true;
        int* field = is_width ? &width : &height;
        const std::string_view digits = item.substr(2);
        const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), *field);
        if (result.ec != std::errc() || result.ptr != digits.data() + digits.size()) {
            return std::nullopt;
        }
    }
    if (width == 0 || height == 0) {
        return std::nullopt;
    }
    return std::make_pair(width, height);
}

std::optional<std::pair<int, int>> renderSize(std::string_view query) {
    const auto size = sizeQuery(query, DefaultRenderWidth, DefaultRenderHeight);
    if (!size || size->first < 1 || size->second < 1 || size->first > MaxRenderWidth ||
        size->second > MaxRenderHeight) {
        return std::nullopt;
    }
    return size;
}

std::optional<std::pair<int, int>> layersSize(std::string_view query) {
    const auto size = sizeQuery(query, 0, 0);
    if (!size || size->first < 1 || size->second < 1 || size->first > MaxLayersSide ||
        size->second > MaxLayersSide || int64_t{size->first} * size->second > MaxLayersPixels) {
        return std::nullopt;
    }
    return size;
}

// 503 with Retry-After: the render could not read its canvas; it may well a moment later.
Response renderUnavailable() {
    Response response = unavailable();
    response.headers.emplace_back("Retry-After", "2");
    return response;
}

// The canvas ID of "<percent-encoded canvas ID>.png", or the answer to a name that is none.
std::variant<std::string, Response> renderedCanvasId(std::string_view name) {
    if (name.size() < 4 || name.substr(name.size() - 4) != ".png") {
        return textResponse(404, "not found\n");
    }
    auto canvas_id = percentDecode(name.substr(0, name.size() - 4));
    if (!canvas_id || !wire::isValidCanvasId(*canvas_id)) {
        return textResponse(400, "bad canvas ID\n");
    }
    return std::move(*canvas_id);
}

Response renderResponse(RenderResult result) {
    switch (result.outcome) {
    case RenderResult::Outcome::Rendered: {
        Response response = pngResponse(std::move(result.png), "no-cache");
        response.headers.emplace_back("ETag", std::move(result.etag));
        return response;
    }
    case RenderResult::Outcome::NotModified: {
        Response response;
        response.status = 304;
        response.headers.emplace_back("ETag", std::move(result.etag));
        response.headers.emplace_back("Cache-Control", "no-cache");
        return response;
    }
    case RenderResult::Outcome::NoSuchCanvas:
        return textResponse(404, "no such canvas\n");
    case RenderResult::Outcome::StorageFailed:
        return renderUnavailable();
    case RenderResult::Outcome::EncodeFailed:
        break;
    }
    return textResponse(500, "could not encode the picture\n");
}

Response renderFile(const Request& request, HandlerContext& context, const std::string& canvas_id,
                    std::pair<int, int> size, RenderFile file) {
    // Without a cache every render is its own; the cache of no bytes keeps nothing.
    static RenderCache uncached(0);
    RenderCache& cache = context.renders != nullptr ? *context.renders : uncached;
    RenderResult result = renderCanvas(
        context.store, cache, canvas_id, size.first, size.second, file, request.if_none_match,
        context.page_bytes, context.renders != nullptr ? context.render_folder : nullptr);
    if (context.metrics != nullptr && (result.outcome == RenderResult::Outcome::Rendered ||
                                       result.outcome == RenderResult::Outcome::NotModified)) {
        context.metrics->countRender(result.painted);
    }
    return renderResponse(std::move(result));
}

Response render(const Request& request, std::string_view name, std::string_view query,
                HandlerContext& context) {
    auto canvas_id = renderedCanvasId(name);
    if (auto* refusal = std::get_if<Response>(&canvas_id)) {
        return std::move(*refusal);
    }
    const auto size = renderSize(query);
    if (!size) {
        return textResponse(400, "size out of bounds (w at most 1280, h at most 1920)\n");
    }
    return renderFile(request, context, std::get<std::string>(canvas_id), *size,
                      RenderFile::Picture);
}

Response layers(const Request& request, std::string_view name, std::string_view query,
                HandlerContext& context) {
    auto canvas_id = renderedCanvasId(name);
    if (auto* refusal = std::get_if<Response>(&canvas_id)) {
        return std::move(*refusal);
    }
    const auto size = layersSize(query);
    if (!size) {
        return textResponse(400, "size missing or out of bounds (w and h from 1 to 4096, w * h "
                                 "at most 3840 * 2160)\n");
    }
    return renderFile(request, context, std::get<std::string>(canvas_id), *size,
                      RenderFile::Layers);
}

Response upload(const Request& request, HandlerContext& context, int64_t now_ms) {
    if (request.body.size() > MaxUploadBody) {
        return textResponse(413, "upload too large\n");
    }
    if (context.limits != nullptr) {
        if (const int64_t wait =
                context.limits->takeUpload(request.client, request.body.size(), now_ms)) {
            return tooMany("uploads", wait);
        }
    }
    const auto boundary = multipartBoundary(request.content_type);
    if (!boundary) {
        return textResponse(400, "expected multipart/form-data\n");
    }
    const auto parts = parseMultipart(request.body, *boundary);
    if (!parts) {
        return textResponse(400, "malformed form\n");
    }
    const FormPart* image = nullptr;
    for (const FormPart& part : *parts) {
        if (part.name == "imagedata") {
            image = &part;
        }
    }
    if (image == nullptr) {
        return textResponse(400, "no imagedata field\n");
    }
    const auto checked = checkPng(image->data);
    if (const auto* problem = std::get_if<PngProblem>(&checked)) {
        switch (*problem) {
        case PngProblem::TooLarge:
            return textResponse(413, "image larger than 8 MiB\n");
        case PngProblem::TooManyPixels:
            return textResponse(413, "image has too many pixels\n");
        case PngProblem::NotPng:
            return textResponse(415, "only PNG images are accepted\n");
        case PngProblem::Malformed:
            return textResponse(400, "malformed PNG\n");
        }
    }
    const std::string hash = sha256Hex(image->data);
    if (!context.store.putImage(hash, image->data, now_ms)) {
        return unavailable();
    }
    // One line and nothing else: the client takes a whole line beginning with the scheme.
    return textResponse(200, context.public_url + "images/" + hash + ".png");
}

bool isImageName(std::string_view name) {
    if (name.size() != 64 + 4 || name.substr(64) != ".png") {
        return false;
    }
    for (const char c : name.substr(0, 64)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

Response hostedImage(std::string_view name, HandlerContext& context) {
    if (!isImageName(name)) {
        return textResponse(404, "not found\n");
    }
    auto png = context.store.image(name.substr(0, 64));
    if (!png) {
        return textResponse(404, "not found\n");
    }
    return pngResponse(std::move(*png), "public, max-age=31536000, immutable");
}

Response methodNotAllowed() {
    return textResponse(405, "method not allowed\n");
}

// Any canvas ID has a page, drawn on or not: a new canvas starts with its first stroke.
Response drawPage(std::string_view encoded_id, const HandlerContext& context) {
    if (context.browser_page == nullptr) {
        return htmlResponse(404, browserPageMissingPage());
    }
    const auto canvas_id = percentDecode(encoded_id);
    if (!canvas_id || !wire::isValidCanvasId(*canvas_id)) {
        return htmlResponse(400, notACanvasPage());
    }
    Response response;
    response.content_type = "text/html; charset=utf-8";
    response.body = context.browser_page->page(*canvas_id, publicPath(context.public_url));
    // Asked again on every visit, so a new build's file names reach browsers at once.
    response.headers.emplace_back("Cache-Control", "no-cache");
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    response.headers.emplace_back("Referrer-Policy", "same-origin");
    response.headers.emplace_back("Content-Security-Policy", std::string(DrawPagePolicy));
    return response;
}

// Whether an Accept-Encoding value takes gzip: named without "q=0" (browsers send
// "gzip, deflate, br"; a "*" is not read as gzip, since every browser names it).
bool acceptsGzip(std::string_view accept_encoding) {
    size_t at = 0;
    while (at < accept_encoding.size()) {
        size_t end = accept_encoding.find(',', at);
        if (end == std::string_view::npos) {
            end = accept_encoding.size();
        }
        std::string_view item = accept_encoding.substr(at, end - at);
        at = end + 1;
        const size_t semicolon = item.find(';');
        std::string_view coding = item.substr(0, semicolon);
        while (!coding.empty() && (coding.front() == ' ' || coding.front() == '\t')) {
            coding.remove_prefix(1);
        }
        while (!coding.empty() && (coding.back() == ' ' || coding.back() == '\t')) {
            coding.remove_suffix(1);
        }
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (coding.size() != 4 || lower(coding[0]) != 'g' || lower(coding[1]) != 'z' ||
            lower(coding[2]) != 'i' || lower(coding[3]) != 'p') {
            continue;
        }
        if (semicolon == std::string_view::npos) {
            return true;
        }
        std::string_view params = item.substr(semicolon + 1);
        params.remove_prefix(std::min(params.find_first_not_of(" \t"), params.size()));
        // "q=0", "q=0.0", "q=0.000" refuse it; any other weight takes it.
        if (params.size() >= 3 && (params[0] == 'q' || params[0] == 'Q') && params[1] == '=') {
            const std::string_view weight = params.substr(2);
            return weight.find_first_not_of("0. \t") != std::string_view::npos;
        }
        return true;
    }
    return false;
}

Response webFile(std::string_view name, const Request& request, const HandlerContext& context) {
    const BrowserPage::File* file =
        context.browser_page != nullptr ? context.browser_page->file(name) : nullptr;
    if (file == nullptr) {
        return textResponse(404, "not found\n");
    }
    Response response;
    response.content_type = file->content_type;
    response.shared_body = file->bytes;
    if (file->gzipped && acceptsGzip(request.accept_encoding)) {
        response.shared_body = file->gzipped;
        response.headers.emplace_back("Content-Encoding", "gzip");
    }
    response.headers.emplace_back("Vary", "Accept-Encoding");
    // The name holds the content's hash: what is under it never changes.
    response.headers.emplace_back("Cache-Control", "public, max-age=31536000, immutable");
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    return response;
}

} // namespace

namespace {

// The command word of a POST / body ("append", "delete"...), a cheap look at the bytes; nothing
// when the body is not shaped as a command.
std::optional<std::string_view> commandWordOf(std::string_view body) {
    const size_t id_end = body.find(": ");
    if (id_end == std::string_view::npos) {
        return std::nullopt;
    }
    const size_t word_end = body.find(':', id_end + 2);
    if (word_end == std::string_view::npos) {
        return std::nullopt;
    }
    return body.substr(id_end + 2, word_end - id_end - 2);
}

// The poll is the append whose stroke text ends at "points:".
bool isPollBody(std::string_view body, std::string_view word) {
    constexpr std::string_view NoPoints = "points:";
    return word == wire::wordOf(wire::AppendAfterID) && body.ends_with(NoPoints);
}

} // namespace

bool isQuick(const Request& request) {
    if (request.method == "GET") {
        const std::string_view target = request.target;
        return target == "/healthz" || target.starts_with("/draw/") || target.starts_with("/web/");
    }
    if (request.method != "POST" || request.target != "/") {
        return false;
    }
    // A body that is no command is refused without touching anything.
    // A progress is checked from memory and passed on: answered at once unless its user
    // name's first key is to be bound (needsWorker).
    const auto word = commandWordOf(request.body);
    return !word || isPollBody(request.body, *word) || *word == wire::wordOf(wire::ProgressAfterID);
}

bool isPoll(const Request& request) {
    if (request.method != "POST" || request.target != "/") {
        return false;
    }
    const auto word = commandWordOf(request.body);
    return word && isPollBody(request.body, *word);
}

bool isRender(const Request& request) {
    const std::string_view target = request.target;
    return request.method == "GET" &&
           (target.starts_with("/render/") || target.starts_with("/layers/"));
}

Response rendersBusy() {
    Response response = textResponse(503, "too many renders in flight\n");
    response.headers.emplace_back("Retry-After", "5");
    return response;
}

Response repliesBusy() {
    Response response = textResponse(503, "server busy: too many replies in flight\n");
    response.headers.emplace_back("Retry-After", "2");
    return response;
}

std::optional<AppendCommand> appendCommandOf(const Request& request) {
    const std::string_view target = request.target;
    if (request.method != "POST" || target.substr(0, target.find('?')) != "/" ||
        request.body.size() > MaxCommandBody) {
        return std::nullopt;
    }
    auto parsed = wire::parseCommand(request.body);
    auto* command = std::get_if<wire::Command>(&parsed);
    if (command == nullptr || command->kind != wire::CommandKind::Append ||
        command->stroke.points_x.empty()) {
        return std::nullopt;
    }
    return AppendCommand{std::move(command->canvas_id), std::move(command->stroke)};
}

namespace {

// The hash of the command's key for `user_name`: empty when it brought none for that name,
// nothing when its key header does not read.
std::optional<std::string> keyHashFor(const Request& request, std::string_view user_name) {
    std::string hash;
    if (!request.key.empty()) {
        const auto header = wire::parseKeyHeader(request.key);
        if (!header) {
            return std::nullopt;
        }
        if (header->user_id == user_name) {
            hash = sha256Hex(header->key);
        }
    }
    return hash;
}

} // namespace

std::optional<Response> keyRefusal(const Request& request, HandlerContext& context,
                                   std::string_view user_name, int64_t now_ms, bool from_memory) {
    const auto hash = keyHashFor(request, user_name);
    if (!hash) {
        return badKeyHeader();
    }
    const auto check = from_memory ? context.store.knownUserKey(user_name, *hash)
                                   : context.store.checkUserKey(user_name, *hash, now_ms);
    if (!check && from_memory) {
        Response handed;
        handed.status = HandedToWorker;
        return handed;
    }
    if (!check) {
        return unavailable();
    }
    if (*check == KeyCheck::Mismatch) {
        return textResponse(403, "this user name is bound to another key\n");
    }
    return std::nullopt;
}

std::optional<Response> liveKeyRefusal(const Request& request, HandlerContext& context,
                                       std::string_view user_name, int64_t now_ms,
                                       bool from_memory) {
    if (!wire::isPresenceUser(user_name)) {
        return textResponse(400, "bad user ID\n");
    }
    if (request.key.empty()) {
        return textResponse(403, "live drawing is only for a user with its key\n");
    }
    const auto header = wire::parseKeyHeader(request.key);
    if (!header) {
        return badKeyHeader();
    }
    if (header->user_id != user_name) {
        return textResponse(403, "the key is for another user\n");
    }
    return keyRefusal(request, context, user_name, now_ms, from_memory);
}

std::optional<Response> banRefusal(const Request& request, HandlerContext& context,
                                   std::string_view user_name, int64_t now_ms) {
    if (context.bans == nullptr) {
        return std::nullopt;
    }
    // A key is hashed only while some key is banned: appends are frequent, bans rare.
    std::string key_hash;
    if (context.bans->anyKeyBanned() && !request.key.empty()) {
        if (const auto header = wire::parseKeyHeader(request.key)) {
            key_hash = sha256Hex(header->key);
        }
    }
    const auto banned = context.bans->refused(user_name, key_hash, now_ms);
    if (!banned) {
        return std::nullopt;
    }
    Response refusal =
        textResponse(403, *banned == Ban::Kind::UserName ? "this user name is banned\n"
                                                         : "this key is banned\n");
    refusal.refusal_reason = RefusalReason::Banned;
    return refusal;
}

std::optional<Response> refuseAppend(HandlerContext& context, std::string_view client,
                                     std::string_view canvas_id, std::string_view user_name,
                                     int64_t now_ms) {
    if (context.limits != nullptr) {
        if (const int64_t wait = context.limits->takeAppend(client, user_name, now_ms)) {
            return tooMany("appends", wait);
        }
    }
    if (context.max_canvas_strokes > 0 || context.max_canvas_bytes > 0) {
        const auto size = context.store.canvasSize(canvas_id);
        if (!size) {
            return unavailable();
        }
        // A canvas below its cap takes the stroke whatever its size: the cap is passed by the
        // last strokes let in at most (one each of the appends in flight).
        const bool full =
            (context.max_canvas_strokes > 0 && size->strokes >= context.max_canvas_strokes) ||
            (context.max_canvas_bytes > 0 && size->bytes >= context.max_canvas_bytes);
        if (full) {
            // 409: the canvas's state refuses the stroke, and will keep refusing it, so the app
            // drops it and says so instead of sending it again.
            return textResponse(409, "canvas is full\n");
        }
    }
    return std::nullopt;
}

Response answerAppend(HandlerContext& context, const std::string& canvas_id,
                      const std::string& user_name, int64_t now_ms, Appended appended) {
    if (!appended.stamp) {
        return unavailable();
    }
    const int64_t stamp = *appended.stamp;
    if (context.news != nullptr) {
        context.news->publish(canvas_id, {StrokeNews::Kind::Append, stamp});
    }
    if (!appended.delivery) {
        return strokesForUser(context, canvas_id, user_name, now_ms, stamp);
    }
    // The store moved the mark with the append: its strokes are the reply, whole.
    return takenReply(context, canvas_id, *appended.delivery, stamp);
}

bool needsWorker(const Response& response) {
    return response.status == HandedToWorker;
}

bool isStorageFailure(const Response& response) {
    return response.status == 503 && response.body == StorageUnavailable;
}

Response handleRequest(const Request& request, HandlerContext& context, int64_t now_ms,
                       bool from_memory) {
    const std::string_view target = request.target;
    const size_t question = target.find('?');
    const std::string_view path = target.substr(0, question);
    const std::string_view query =
        question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
    const bool get = request.method == "GET";
    const bool post = request.method == "POST";

    if (path == "/") {
        if (post) {
            return handleCommand(request, context, now_ms, from_memory);
        }
        if (!get) {
            return methodNotAllowed();
        }
        if (query.empty()) {
            return frontPageFor(context);
        }
        return sharePageFor(query, context);
    }
    if (path == "/healthz") {
        return get ? textResponse(200, "ok\n") : methodNotAllowed();
    }
    if (path.starts_with("/admin/")) {
        // Without the operator's token file nothing is there, not even a 401 that would say so.
        return context.admin != nullptr ? context.admin->handle(request, context, now_ms)
                                        : textResponse(404, "not found\n");
    }
    if (path == "/upload.cgi") {
        return post ? upload(request, context, now_ms) : methodNotAllowed();
    }
    constexpr std::string_view RenderPrefix = "/render/";
    if (path.substr(0, RenderPrefix.size()) == RenderPrefix) {
        return get ? render(request, path.substr(RenderPrefix.size()), query, context)
                   : methodNotAllowed();
    }
    constexpr std::string_view LayersPrefix = "/layers/";
    if (path.substr(0, LayersPrefix.size()) == LayersPrefix) {
        return get ? layers(request, path.substr(LayersPrefix.size()), query, context)
                   : methodNotAllowed();
    }
    constexpr std::string_view DrawPrefix = "/draw/";
    if (path.starts_with(DrawPrefix)) {
        return get ? drawPage(path.substr(DrawPrefix.size()), context) : methodNotAllowed();
    }
    constexpr std::string_view WebPrefix = "/web/";
    if (path.starts_with(WebPrefix)) {
        return get ? webFile(path.substr(WebPrefix.size()), request, context) : methodNotAllowed();
    }
    constexpr std::string_view ImagePrefix = "/images/";
    if (path.substr(0, ImagePrefix.size()) == ImagePrefix) {
        return get ? hostedImage(path.substr(ImagePrefix.size()), context) : methodNotAllowed();
    }
    return textResponse(404, "not found\n");
}

} // namespace velmo::server
