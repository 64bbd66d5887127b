#include "handler/event_stream_route.h"

#include "wire/canvas_id.h"
#include "wire/percent_codec.h"
#include "wire/server_events.h"

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

Response streamsRefused(bool per_address) {
    Response response = per_address
                            ? textResponse(429, "too many event streams from this address\n")
                            : textResponse(503, "too many event streams\n");
    response.headers.emplace_back("Retry-After", "60");
    return response;
}

} // namespace velmo::server
