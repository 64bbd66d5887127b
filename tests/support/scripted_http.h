#pragma once

#include "platform/http_exchange.h"

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmo::testing {

// An HTTP exchange that reaches nothing: asynchronous requests wait until the test answers
// them; synchronous ones take the next scripted answer (none scripted: no answer).
class ScriptedHttp : public platform::HttpExchange {
public:
    struct Pending {
        platform::HttpRequest request;
        platform::HttpCallbacks callbacks;
    };

    void send(const platform::HttpRequest& request, platform::HttpCallbacks callbacks) override {
        async_requests.push_back({request, std::move(callbacks)});
    }

    std::optional<platform::HttpAnswer>
    sendSynchronously(const platform::HttpRequest& request) override {
        sync_requests.push_back(request);
        if (sync_answers.empty()) {
            return std::nullopt;
        }
        auto answer = std::move(sync_answers.front());
        sync_answers.pop_front();
        return answer;
    }

    // Scripts the answer of the next synchronous request, a 200 (nothing: it fails).
    void scriptSync(std::optional<std::string> answer) {
        if (answer) {
            sync_answers.push_back(platform::HttpAnswer{{}, std::move(*answer)});
        } else {
            sync_answers.push_back(std::nullopt);
        }
    }
    // Scripts an answer with this status to the next synchronous request.
    void scriptSyncStatus(platform::HttpStatus status, std::string body = {}) {
        sync_answers.push_back(platform::HttpAnswer{status, std::move(body)});
    }

    // Delivers the head, bytes, then the end with `status`, to asynchronous request `index`.
    void answer(size_t index, const std::string& body, platform::HttpStatus status = {}) {
        deliver(index, body, status);
        finish(index, status);
    }
    // Bytes of the answer's body; the head with `status` comes first, once.
    void deliver(size_t index, const std::string& bytes, platform::HttpStatus status = {}) {
        head(index, status);
        const auto callbacks = async_requests.at(index).callbacks;
        if (callbacks.received && !cancelled(index)) {
            callbacks.received(bytes);
        }
    }
    void finish(size_t index, platform::HttpStatus status = {}) {
        markEnded(index);
        head(index, status);
        const auto callbacks = async_requests.at(index).callbacks;
        if (callbacks.finished && !cancelled(index)) {
            callbacks.finished(status);
        }
    }
    void markEnded(size_t index) {
        ended_requests.resize(async_requests.size(), false);
        ended_requests.at(index) = true;
    }
    void head(size_t index, const platform::HttpStatus& status) {
        heads_told.resize(async_requests.size(), false);
        if (heads_told.at(index)) {
            return;
        }
        heads_told[index] = true;
        const auto callbacks = async_requests.at(index).callbacks;
        if (callbacks.head && !cancelled(index)) {
            callbacks.head(status);
        }
    }
    // True when the request's caller abandoned it: the exchange then reports nothing more.
    bool cancelled(size_t index) const {
        const auto& token = async_requests.at(index).callbacks.cancellation;
        return token && token->cancelled();
    }
    void fail(size_t index) {
        markEnded(index);
        const auto callbacks = async_requests.at(index).callbacks;
        if (callbacks.failed && !cancelled(index)) {
            callbacks.failed();
        }
    }
    // The newest asynchronous request to a URL holding `part` that has not ended yet, if any.
    std::optional<size_t> open(std::string_view part) const {
        for (size_t i = async_requests.size(); i-- > 0;) {
            const bool ended = i < ended_requests.size() && ended_requests[i];
            if (!ended && async_requests[i].request.url.find(part) != std::string::npos) {
                return i;
            }
        }
        return std::nullopt;
    }
    // The newest asynchronous request whose body ends with `suffix`, if any.
    std::optional<size_t> newest(std::string_view suffix) const {
        for (size_t i = async_requests.size(); i-- > 0;) {
            if (async_requests[i].request.body.ends_with(suffix)) {
                return i;
            }
        }
        return std::nullopt;
    }
    // The body of the newest asynchronous request.
    const std::string& lastBody() const { return async_requests.back().request.body; }

    std::vector<Pending> async_requests;
    std::vector<bool> heads_told;
    std::vector<bool> ended_requests;
    std::vector<platform::HttpRequest> sync_requests;
    std::deque<std::optional<platform::HttpAnswer>> sync_answers;
};

} // namespace velmo::testing
