#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmo::platform {

// A stream of server-sent events (text/event-stream) at the edge of the core: one stream at a
// time. Asynchronous: `open` and `close` return at once, and the callbacks come later on the
// thread that opened the stream, never from inside open or close.
class EventStream {
public:
    // An event's type ("message" when the stream named none) and its data.
    using EventHandler = std::function<void(std::string_view type, std::string_view data)>;
    using FailureHandler = std::function<void()>;
    // Request headers of the caller's own (a key proving the user the URL names), besides
    // those the stream sends itself.
    using Headers = std::vector<std::pair<std::string, std::string>>;

    virtual ~EventStream() = default;

    // Opens `url`, closing a stream opened before. Each event that arrives comes to
    // `on_event`. When the stream cannot be opened, is answered with anything but a 200
    // text/event-stream, breaks, ends, or stays silent for longer than its servers' keep-alive
    // comments allow, `on_failure` comes once and the stream is closed. Nothing comes after
    // close, a newer open or the failure.
    virtual void open(const std::string& url, const Headers& headers, EventHandler on_event,
                      FailureHandler on_failure) = 0;
    void open(const std::string& url, EventHandler on_event, FailureHandler on_failure) {
        open(url, Headers{}, std::move(on_event), std::move(on_failure));
    }
    virtual void close() = 0;
};

} // namespace velmo::platform
