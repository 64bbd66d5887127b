#pragma once

#include "platform/http_exchange.h"

#include <memory>

class QNetworkAccessManager;

namespace velmo::platform::qt {

// HTTP over QNetworkAccessManager. Asynchronous requests report on the thread that owns the
// exchange (the UI thread), from its event loop. A synchronous request runs on a worker
// thread with a network manager of its own while the calling thread waits without an event
// loop, so no timer, touch or other handler runs in between.
//
// Only http and https URLs are fetched; any other URL fails. Every request ends within its
// time-out, counted from the start. An answer with any HTTP status is reported with that
// status and its Retry-After, for the core to judge; redirects are never followed. A
// connection that breaks before the whole body came is a failure. A cancelled request is
// aborted at once and reports nothing.
class QtHttpExchange : public HttpExchange {
public:
    QtHttpExchange();
    // Requests still running are dropped without calling their callbacks.
    ~QtHttpExchange() override;
    QtHttpExchange(const QtHttpExchange&) = delete;
    QtHttpExchange& operator=(const QtHttpExchange&) = delete;

    void send(const HttpRequest& request, HttpCallbacks callbacks) override;
    std::optional<HttpAnswer> sendSynchronously(const HttpRequest& request) override;

private:
    std::unique_ptr<QNetworkAccessManager> manager;
};

} // namespace velmo::platform::qt
