#pragma once

#include <functional>
#include <memory>
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

// The head of an answer: its HTTP status, and the wait the server asked for with
// Retry-After (in seconds; nothing when absent or not a number of seconds).
struct HttpStatus {
    int code = 200;
    std::optional<double> retry_after;
};

// One whole answer of a synchronous exchange.
struct HttpAnswer {
    HttpStatus status;
    std::string body;
};

// What an answer means for the command it carried. Only a 2xx delivers it. A redirect (never
// followed), 408, 429 and 5xx say "not now": the command goes again later, as after a broken
// connection. Any other status (another 4xx, or one outside 200..599) says the server will
// never take it.
enum class AnswerMeaning { Delivered, TryAgain, Refused };

inline AnswerMeaning meaningOf(int code) {
    if (code >= 200 && code < 300) {
        return AnswerMeaning::Delivered;
    }
    if ((code >= 300 && code < 400) || code == 408 || code == 429 || (code >= 500 && code < 600)) {
        return AnswerMeaning::TryAgain;
    }
    return AnswerMeaning::Refused;
}

// Lets the caller abandon one asynchronous exchange. After `cancel` the exchange calls none of
// the request's callbacks and stops the transfer. The exchange sets `on_cancel` while the
// request runs; cancelling twice, or after the end, does nothing more. UI thread only.
class HttpCancellation {
public:
    void cancel() {
        if (is_cancelled) {
            return;
        }
        is_cancelled = true;
        if (on_cancel) {
            const auto stop = std::move(on_cancel);
            on_cancel = nullptr;
            stop();
        }
    }
    bool cancelled() const { return is_cancelled; }

    std::function<void()> on_cancel;

private:
    bool is_cancelled = false;
};

// What an asynchronous exchange reports, always on the thread that started it and never from
// inside `send`. `head` comes once, as soon as the answer's status is known and before any of
// its bytes; `received` may come any number of times, as the bytes arrive; then exactly one
// of `finished` (an answer came, with any status; its body is what was received) or `failed`
// (refused, no network, a broken connection, time-out). The time-out counts from the start
// or from the last bytes received, so a long answer that keeps coming is not cut off.
struct HttpCallbacks {
    std::function<void(const HttpStatus& status)> head;
    std::function<void(std::string_view bytes)> received;
    std::function<void(const HttpStatus& status)> finished;
    std::function<void()> failed;
    // The caller's handle to abandon the request; none when it never will.
    std::shared_ptr<HttpCancellation> cancellation;
};

// The HTTP client at the edge of the core.
class HttpExchange {
public:
    virtual ~HttpExchange() = default;
    // Starts the request and returns at once. The callbacks may outlive the caller, so they
    // must guard whatever they reach.
    virtual void send(const HttpRequest& request, HttpCallbacks callbacks) = 0;
    // Blocks the calling thread until the answer, a failure or the time-out; no other UI
    // handler runs meanwhile. Returns the answer with any status, or nothing when none came.
    virtual std::optional<HttpAnswer> sendSynchronously(const HttpRequest& request) = 0;
};

} // namespace velmo::platform
