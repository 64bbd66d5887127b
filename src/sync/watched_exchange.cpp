#include "sync/watched_exchange.h"

#include <utility>

namespace velmo::sync {

WatchedExchange::WatchedExchange(platform::HttpExchange& inner_)
    : inner(inner_), watch(std::make_shared<Watch>()) {}

WatchedExchange::~WatchedExchange() {
    watch->on_seen = nullptr;
}

void WatchedExchange::seen(const std::weak_ptr<Watch>& weak) {
    if (const auto w = weak.lock(); w && w->on_seen) {
        // A copy: the listener may replace itself.
        const auto listener = w->on_seen;
        listener();
    }
}

void WatchedExchange::send(const platform::HttpRequest& request,
                           platform::HttpCallbacks callbacks) {
    callbacks.finished = [weak = std::weak_ptr<Watch>(watch),
                          finished =
                              std::move(callbacks.finished)](const platform::HttpStatus& status) {
        if (finished) {
            finished(status);
        }
        if (platform::meaningOf(status.code) == platform::AnswerMeaning::Delivered) {
            seen(weak);
        }
    };
    inner.send(request, std::move(callbacks));
}

std::optional<platform::HttpAnswer>
WatchedExchange::sendSynchronously(const platform::HttpRequest& request) {
    auto answer = inner.sendSynchronously(request);
    if (answer && platform::meaningOf(answer->status.code) == platform::AnswerMeaning::Delivered) {
        seen(watch);
    }
    return answer;
}

} // namespace velmo::sync
