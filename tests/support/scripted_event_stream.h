#pragma once

#include "platform/event_stream.h"

#include <string>
#include <vector>

namespace velmo::testing {

// An event stream that reaches nothing: the test sees what was opened and closed, and plays
// the server's part with `event` and `fail`.
class ScriptedEventStream : public platform::EventStream {
public:
    using EventStream::open;
    void open(const std::string& url, const Headers& headers, EventHandler on_event,
              FailureHandler on_failure) override {
        opened.push_back(url);
        opened_headers.push_back(headers);
        is_open = true;
        handlers = {std::move(on_event), std::move(on_failure)};
    }
    void close() override {
        if (is_open) {
            ++closes;
        }
        is_open = false;
        handlers = {};
    }

    // Delivers an event to the open stream, as the server would.
    void event(std::string_view type, std::string_view data = "") {
        if (is_open && handlers.on_event) {
            handlers.on_event(type, data);
        }
    }
    // Breaks the open stream.
    void fail() {
        if (!is_open) {
            return;
        }
        is_open = false;
        auto on_failure = std::move(handlers.on_failure);
        handlers = {};
        if (on_failure) {
            on_failure();
        }
    }
    const std::string& url() const { return opened.back(); }

    std::vector<std::string> opened;
    std::vector<Headers> opened_headers;
    int closes = 0;
    bool is_open = false;

private:
    struct Handlers {
        EventHandler on_event;
        FailureHandler on_failure;
    } handlers;
};

} // namespace velmo::testing
