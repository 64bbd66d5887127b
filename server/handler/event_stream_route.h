#pragma once

#include "handler/http_types.h"
#include "handler/request_handler.h"

#include <cstdint>

#include <string>
#include <string_view>
#include <variant>

namespace velmo::server {

// The live channel, GET /events/<percent-encoded canvas ID> (wire/server_events.h). The HTTP
// layer holds these streams open itself; what is decided per request lives here, free of
// sockets.

// True for a target on the event-stream route, whatever comes after it.
bool isEventStreamTarget(std::string_view target);

// The canvas whose news the request asks for, or the answer that refuses it, as the other
// routes answer: 405 for a method other than GET, 400 for a canvas ID that does not decode or
// is not valid. Any valid ID is taken, a canvas without strokes too: its first stroke is news.
std::variant<std::string, Response> eventStreamCanvas(const Request& request);

// The user the stream's request names (?user=<percent-encoded user ID>), its key checked as a
// progress command's (liveKeyRefusal), or the answer that refuses it: 400 for a user ID that
// does not decode or may not be named, 403 without the user's key. Empty when it names none,
// or when the server has no live channel (the parameter is then ignored). With `from_memory`,
// an answer for which needsWorker is true: to be asked again on a worker without it.
std::variant<std::string, Response> eventStreamUser(const Request& request, HandlerContext& context,
                                                    int64_t now_ms, bool from_memory = false);

// The answer when no stream may be opened: 429 when the client's address holds its share
// already, 503 when the server holds all it takes. Both ask the client to retry later.
Response streamsRefused(bool per_address);

} // namespace velmo::server
