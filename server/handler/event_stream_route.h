#pragma once

#include "handler/http_types.h"

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

// The answer when no stream may be opened: 429 when the client's address holds its share
// already, 503 when the server holds all it takes. Both ask the client to retry later.
Response streamsRefused(bool per_address);

} // namespace velmo::server
