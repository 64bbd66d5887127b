#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmo::server {

// The parts of an HTTP request the handler looks at, free of any socket type.
struct Request {
    std::string method;       // "GET", "POST", ...
    std::string target;       // the request target as sent, path and query
    std::string content_type; // empty when absent
    std::string body;
    std::string key = {}; // the Velmorastra-Key header, empty when absent
    // The client's address as the server saw it; the limits per client count by it. Initialised
    // so that requests written as {method, target, type, body} need not name it.
    std::string client = {};
    // The If-None-Match header, empty when absent: a render answers 304 when it names the
    // render's ETag.
    std::string if_none_match = {};
    // The Accept-Encoding header, empty when absent: the browser page's files go gzipped to a
    // client that takes gzip.
    std::string accept_encoding = {};
    // The Authorization header, empty when absent: the /admin/ routes want the operator's
    // bearer token in it.
    std::string authorization = {};
};

// Why a request was refused, where its status and text alone are not for the server to go by:
// a ban and a key that does not match are both 403. Kept for the server's own counts; never
// sent.
enum class RefusalReason : uint8_t {
    None, // not refused, or refused for what the status says
    Banned,
};

struct Response {
    int status = 200;
    // Always one of a few literals; a view saves a string per reply.
    std::string_view content_type = "text/plain; charset=utf-8";
    std::string body;
    // A body kept in memory and shared by every reply that carries it (the browser page's
    // files): sent after `body` without being copied. Not with `next_piece`.
    std::shared_ptr<const std::string> shared_body = {};
    // Further headers, name and value, added after Content-Type.
    std::vector<std::pair<std::string, std::string>> headers;
    // For a body too large to hold at once: after `body`, the pieces this gives one by one
    // until it gives nothing, sent as they come. It may block on storage (the server calls it
    // off its network threads) and throws when storage fails, which cuts the reply off.
    std::function<std::optional<std::string>()> next_piece;
    RefusalReason refusal_reason = RefusalReason::None;
};

Response textResponse(int status, std::string body);

} // namespace velmo::server
