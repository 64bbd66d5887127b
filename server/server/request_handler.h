#pragma once

#include "server/delivery_marks.h"
#include "server/http_types.h"
#include "server/store.h"

#include <cstdint>
#include <string>

namespace velmo::server {

// What the handler works on besides the request. The store and marks are shared by every
// request; both are thread-safe, so handleRequest may run on several threads at once.
struct HandlerContext {
    Store& store;
    DeliveryMarks& marks;
    // The address clients reach this server under, ending in "/": the base of hosted image
    // URLs and of the pictures on share pages.
    std::string public_url;
};

// Answers one request: the canvas commands (POST /), the share page (GET /?v:<date ID>),
// server renders, the image host and the health check. `now_ms` is the time the request is
// handled, in ms since 1970. Never throws for any request.
Response handleRequest(const Request& request, HandlerContext& context, int64_t now_ms);

// True for the requests that are answered from memory in microseconds: the poll (an append
// without points), the health check and the index page. A cheap look at the bytes, without
// parsing. The server answers these on its network threads and everything else (durable writes,
// database reads, renders, uploads) on worker threads, so that a disk flush or a render never
// holds up the network, and appends waiting at the same time share one commit.
bool isQuick(const Request& request);

} // namespace velmo::server
