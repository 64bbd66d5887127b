#pragma once

#include "platform/event_stream.h"

#include <cstdint>
#include <memory>

class QNetworkAccessManager;

namespace velmo::platform::qt {

// Server-sent events over QNetworkAccessManager: a GET whose answer is read as it arrives, a
// piece at a time, and cut into events by the wire's parser. The stream has a network manager
// of its own, so its connection, open for as long as the stream, never holds a command back.
// Callbacks come from the event loop of the thread that owns the stream (the UI thread).
//
// Only http and https URLs are fetched. Redirects are not followed. A stream that sends
// nothing, not even a comment, for `silence_seconds` counts as broken: a proxy that buffers
// holds the events back, and a connection can die unnoticed.
class QtEventStream : public EventStream {
public:
    explicit QtEventStream(double silence_seconds = 60.0);
    ~QtEventStream() override;
    QtEventStream(const QtEventStream&) = delete;
    QtEventStream& operator=(const QtEventStream&) = delete;

    using EventStream::open;
    void open(const std::string& url, const Headers& headers, EventHandler on_event,
              FailureHandler on_failure) override;
    void close() override;

private:
    struct Stream;
    void read(uint64_t serial);
    void fail(uint64_t serial);

    std::unique_ptr<QNetworkAccessManager> manager;
    std::unique_ptr<Stream> stream;
    double silence_seconds;
    uint64_t last_serial = 0;
};

} // namespace velmo::platform::qt
