#pragma once

#include "platform/http_exchange.h"

#include <functional>
#include <memory>
#include <optional>

namespace velmo::sync {

// An HTTP exchange that hands every request to another and tells when the server answered one
// with a 2xx: whatever the request was, the server is there. UI thread only, like the
// exchange it wraps, which must outlive it.
class WatchedExchange : public platform::HttpExchange {
public:
    explicit WatchedExchange(platform::HttpExchange& inner);
    ~WatchedExchange() override;
    WatchedExchange(const WatchedExchange&) = delete;
    WatchedExchange& operator=(const WatchedExchange&) = delete;

    // Called after the request's own callbacks have had the answer; none: nobody.
    void setSeenListener(std::function<void()> listener) { watch->on_seen = std::move(listener); }

    void send(const platform::HttpRequest& request, platform::HttpCallbacks callbacks) override;
    std::optional<platform::HttpAnswer>
    sendSynchronously(const platform::HttpRequest& request) override;

private:
    // Held weakly by the callbacks of requests in flight, which may outlive this.
    struct Watch {
        std::function<void()> on_seen;
    };
    static void seen(const std::weak_ptr<Watch>& watch);

    platform::HttpExchange& inner;
    std::shared_ptr<Watch> watch;
};

} // namespace velmo::sync
