#include "handler/event_stream_route.h"

#include "wire/canvas_id.h"
#include "wire/percent_codec.h"
#include "wire/server_events.h"
#include "wire/stroke_progress.h"

namespace velmo::server {

bool isEventStreamTarget(std::string_view target) {
    return target.substr(0, wire::EventsRoute.size()) == wire::EventsRoute;
}

std::variant<std::string, Response> eventStreamCanvas(const Request& request) {
    if (request.method != "GET") {
        return textResponse(405, "method not allowed\n");
    }
    const std::string_view target = request.target;
    const std::string_view path = target.substr(0, target.find('?'));
    auto canvas_id = wire::percentDecode(path.substr(wire::EventsRoute.size()));
    if (!canvas_id || !wire::isValidCanvasId(*canvas_id)) {
        return textResponse(400, "bad canvas ID\n");
    }
    return std::move(*canvas_id);
}

std::variant<std::string, Response> eventStreamUser(const Request& request, HandlerContext& context,
                                                    int64_t now_ms, bool from_memory) {
    if (context.live == nullptr || !context.live->enabled()) {
        return std::string();
    }
    auto user = wire::presenceUserOf(request.target);
    if (!user) {
        // No parameter, or one that does not decode.
        const std::string_view target = request.target;
        const size_t question = target.find('?');
        if (question != std::string_view::npos &&
            ("&" + std::string(target.substr(question + 1)))
                    .find("&" + std::string(wire::PresenceUserParameter)) != std::string::npos) {
            return textResponse(400, "bad user ID\n");
        }
        return std::string();
    }
    if (auto refusal = liveKeyRefusal(request, context, *user, now_ms, from_memory)) {
        return std::move(*refusal);
    }
    return std::move(*user);
}

Response streamsRefused(bool per_address) {
    Response response = per_address
                            ? textResponse(429, "too many event streams from this address\n")
                            : textResponse(503, "too many event streams\n");
    response.headers.emplace_back("Retry-After", "60");
    return response;
}

} // namespace velmo::server
