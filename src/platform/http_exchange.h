#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmo::platform {

// One HTTP request as the core builds it. The body is sent as raw bytes; only the headers
// listed here are the caller's own.
struct HttpRequest {
    std::string url;
    std::string method = "POST";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    double timeout_seconds = 10.0;
};

// What an asynchronous exchange reports, always on the thread that started it and never from
// inside `send`. `received` may come any number of times; then exactly one of `finished` or
// `failed` (refused, no network, time-out). The HTTP status is not reported: any body that
// arrives is the answer.
struct HttpCallbacks {
    std::function<void(std::string_view bytes)> received;
    std::function<void()> finished;
    std::function<void()> failed;
};

// The HTTP client at the edge of the core.
class HttpExchange {
public:
    virtual ~HttpExchange() = default;
    // Starts the request and returns at once. The callbacks may outlive the caller, so they
    // must guard whatever they reach.
    virtual void send(const HttpRequest& request, HttpCallbacks callbacks) = 0;
    // Blocks the calling thread until the answer, a failure or the time-out; no other UI
    // handler runs meanwhile. Returns the body, or nothing when no answer came.
    virtual std::optional<std::string> sendSynchronously(const HttpRequest& request) = 0;
};

} // namespace velmo::platform
