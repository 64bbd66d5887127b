#include "handler/admin_routes.h"

#include "handler/ban_list.h"
#include "handler/iso_time.h"
#include "handler/render_cache.h"
#include "handler/render_folder.h"
#include "handler/request_handler.h"
#include "wire/canvas_id.h"
#include "wire/percent_codec.h"
#include "wire/wire_limits.h"

#include <charconv>
#include <ctime>

namespace velmo::server {

namespace {

constexpr size_t DefaultPage = 100;
constexpr size_t MostPerPage = 1000;

Response adminText(int status, std::string body) {
    Response response = textResponse(status, std::move(body));
    // What the operator reads names users and canvases: no cache keeps it.
    response.headers.emplace_back("Cache-Control", "no-store");
    return response;
}

Response unauthorized() {
    Response response = adminText(401, "an operator's bearer token is needed\n");
    response.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"velmorastra-admin\"");
    return response;
}

Response storageFailed() {
    Response response = adminText(503, "storage unavailable\n");
    response.headers.emplace_back("Retry-After", "5");
    return response;
}

// The page a list asks for: after= (any bytes, percent-encoded) and limit=.
struct Page {
    std::string after;
    size_t limit = DefaultPage;
};

std::optional<Page> pageOf(std::string_view query) {
    Page page;
    if (query.find("after=") != std::string_view::npos) {
        auto after = formValue(query, "after");
        if (!after) {
            return std::nullopt;
        }
        page.after = std::move(*after);
    }
    if (query.find("limit=") != std::string_view::npos) {
        const auto limit = formValue(query, "limit");
        size_t value = 0;
        if (!limit || std::from_chars(limit->data(), limit->data() + limit->size(), value).ptr !=
                          limit->data() + limit->size()) {
            return std::nullopt;
        }
        if (value < 1 || value > MostPerPage) {
            return std::nullopt;
        }
        page.limit = value;
    }
    return page;
}

bool isKeyHash(std::string_view text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The ban a form names: user=NAME or key=HASH (either case of hex), exactly one.
std::optional<Ban> banOf(std::string_view form, int64_t now_ms) {
    auto user = formValue(form, "user");
    auto key = formValue(form, "key");
    if (user.has_value() == key.has_value()) {
        return std::nullopt;
    }
    if (user) {
        if (user->empty() || user->size() > wire::MaxUserName) {
            return std::nullopt;
        }
        return Ban{Ban::Kind::UserName, std::move(*user), now_ms};
    }
    for (char& c : *key) {
        if (c >= 'A' && c <= 'F') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    if (!isKeyHash(*key)) {
        return std::nullopt;
    }
    return Ban{Ban::Kind::Key, std::move(*key), now_ms};
}

std::string banLine(const Ban& ban) {
    return (ban.kind == Ban::Kind::UserName ? "user " + wire::percentEncode(ban.value)
                                            : "key " + ban.value);
}

// Renders of a removed canvas would still show it: the kept ones go from memory and disk.
void forgetRenders(HandlerContext& context, std::string_view canvas_id) {
    if (context.renders != nullptr) {
        for (const auto& [width, height] : context.renders->sizesOf(canvas_id)) {
            context.renders->take(canvas_id, width, height).forget();
        }
    }
    if (context.render_folder != nullptr) {
        context.render_folder->removeCanvas(canvas_id);
    }
}

} // namespace

std::optional<std::string> formValue(std::string_view form, std::string_view name) {
    while (!form.empty()) {
        const size_t end = std::min(form.find('&'), form.size());
        const std::string_view pair = form.substr(0, end);
        form.remove_prefix(std::min(end + 1, form.size()));
        const size_t equals = pair.find('=');
        if (equals == std::string_view::npos || pair.substr(0, equals) != name) {
            continue;
        }
        std::string value(pair.substr(equals + 1));
        for (char& c : value) {
            if (c == '+') {
                c = ' ';
            }
        }
        return wire::percentDecode(value);
    }
    return std::nullopt;
}

AdminRoutes::AdminRoutes(std::string_view token, Log log) : token_(token), log_(std::move(log)) {}

void AdminRoutes::log(const AdminAction& action) const {
    if (log_) {
        log_(action);
    }
}

bool AdminRoutes::authorized(std::string_view authorization) const {
    return token_.broughtBy(authorization);
}

Response AdminRoutes::handle(const Request& request, HandlerContext& context,
                             int64_t now_ms) const {
    if (!authorized(request.authorization)) {
        return unauthorized();
    }
    const std::string_view target = request.target;
    const size_t question = target.find('?');
    std::string_view path = target.substr(0, question);
    const std::string_view query =
        question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
    const bool get = request.method == "GET";
    const bool post = request.method == "POST";
    path.remove_prefix(std::string_view("/admin/").size());

    if (path == "canvases") {
        if (!get) {
            return adminText(405, "method not allowed\n");
        }
        const auto page = pageOf(query);
        if (!page) {
            return adminText(400, "after= wants a percent-encoded ID, limit= 1 to 1000\n");
        }
        const auto canvases = context.store.listCanvases(page->after, page->limit);
        if (!canvases) {
            return storageFailed();
        }
        std::string body;
        for (const CanvasSummary& canvas : *canvases) {
            body += wire::percentEncode(canvas.canvas_id) + " " + std::to_string(canvas.strokes) +
                    " " + isoTime(canvas.last_activity) + "\n";
        }
        return adminText(200, std::move(body));
    }

    if (path == "bans" || path == "bans/remove") {
        if (context.bans == nullptr) {
            return adminText(404, "not found\n");
        }
        if (path == "bans" && get) {
            const auto bans = context.store.bans();
            if (!bans) {
                return storageFailed();
            }
            std::string body;
            for (const Ban& ban : *bans) {
                body += banLine(ban) + " " + isoTime(ban.since) + "\n";
            }
            return adminText(200, std::move(body));
        }
        const bool lift = path == "bans/remove" ? post : request.method == "DELETE";
        if (!lift && !(path == "bans" && post)) {
            return adminText(405, "method not allowed\n");
        }
        const auto ban = banOf(request.method == "DELETE" ? query : request.body, now_ms);
        if (!ban) {
            return adminText(400, "name user=NAME or key=HASH (64 hex digits), one of them\n");
        }
        const auto was = context.bans->set(*ban, !lift, now_ms);
        if (!was) {
            return storageFailed();
        }
        if (lift && !*was) {
            return adminText(404, "no such ban: " + banLine(*ban) + "\n");
        }
        if (lift || !*was) {
            log({lift ? "unban" : "ban",
                 {},
                 ban->kind == Ban::Kind::UserName ? ban->value : "",
                 ban->kind == Ban::Kind::Key ? ban->value : "",
                 -1});
        }
        return adminText(200, std::string(lift   ? "lifted the ban of "
                                          : *was ? "already banned: "
                                                 : "banned ") +
                                  banLine(*ban) + "\n");
    }

    // canvases/<ID>/<what>
    constexpr std::string_view CanvasesPrefix = "canvases/";
    const size_t slash = path.rfind('/');
    if (!path.starts_with(CanvasesPrefix) || slash < CanvasesPrefix.size()) {
        return adminText(404, "not found\n");
    }
    const std::string_view what = path.substr(slash + 1);
    if (what != "users" && what != "remove-user" && what != "remove") {
        return adminText(404, "not found\n");
    }
    const auto canvas_id =
        wire::percentDecode(path.substr(CanvasesPrefix.size(), slash - CanvasesPrefix.size()));
    if (!canvas_id || !wire::isValidCanvasId(*canvas_id)) {
        return adminText(400, "not a canvas ID\n");
    }
    const std::string encoded_id = wire::percentEncode(*canvas_id);
    if (what == "users") {
        if (!get) {
            return adminText(405, "method not allowed\n");
        }
        const auto page = pageOf(query);
        if (!page) {
            return adminText(400, "after= wants a percent-encoded name, limit= 1 to 1000\n");
        }
        const auto users = context.store.canvasUsers(*canvas_id, page->after, page->limit);
        if (!users) {
            return storageFailed();
        }
        std::string body;
        for (const CanvasUser& user : *users) {
            body += wire::percentEncode(user.user_name) + " " + std::to_string(user.strokes) + " " +
                    (user.key_hash.empty() ? "-" : user.key_hash) + "\n";
        }
        return adminText(200, std::move(body));
    }
    if (!post) {
        return adminText(405, "method not allowed\n");
    }
    std::optional<std::string> user;
    if (what == "remove-user") {
        user = formValue(request.body, "user");
        if (!user || user->empty() || user->size() > wire::MaxUserName) {
            return adminText(400, "name the user: user=NAME\n");
        }
    } else {
        const CanvasLookup lookup = context.store.canvas(*canvas_id);
        if (lookup.failed()) {
            return storageFailed();
        }
        if (!lookup.found()) {
            return adminText(404, "no such canvas\n");
        }
    }
    const auto removed = context.store.removeStrokes(
        *canvas_id, user ? std::optional<std::string_view>(*user) : std::nullopt, now_ms);
    if (!removed) {
        return storageFailed();
    }
    if (*removed > 0) {
        // As after a delete: every user of the canvas, the removed one too, owes the notice,
        // and the canvas's event streams hear of it (other instances through the store).
        context.marks.noteDelete(*canvas_id, {});
        if (context.news != nullptr) {
            context.news->publish(*canvas_id, {StrokeNews::Kind::Delete, 0});
        }
    }
    if (!user) {
        forgetRenders(context, *canvas_id);
    }
    const auto count = static_cast<int64_t>(*removed);
    log({user ? "remove-user" : "remove-canvas", *canvas_id, user ? *user : "", {}, count});
    if (user) {
        return adminText(200, "removed " + std::to_string(count) + " strokes of " +
                                  wire::percentEncode(*user) + " from " + encoded_id + "\n");
    }
    return adminText(200, "removed canvas " + encoded_id + " with " + std::to_string(count) +
                              " strokes\n");
}

} // namespace velmo::server
