#include "web/glue/web_platform.h"

#include <emscripten.h>

#include <chrono>
#include <cstdlib>
#include <utility>

// The script's half of each edge lives in the page's `velmo` object (draw.js), handed to the
// module when it is made.

// clang-format off
EM_JS(void, js_http_send, (int id, const char* url, const char* method, const char* body,
                           int body_size, const char* headers, double timeout), {
    Module.velmo.httpSend(id, UTF8ToString(url), UTF8ToString(method),
                          HEAPU8.slice(body, body + body_size), UTF8ToString(headers), timeout);
});
EM_JS(void, js_http_cancel, (int id), { Module.velmo.httpCancel(id); });
EM_JS(void, js_stream_open, (int serial, const char* url, const char* headers), {
    Module.velmo.streamOpen(serial, UTF8ToString(url), UTF8ToString(headers));
});
EM_JS(void, js_stream_close, (void), { Module.velmo.streamClose(); });
EM_JS(void, js_timer_start, (int id, double ms), { Module.velmo.timerStart(id, ms); });
EM_JS(void, js_timer_stop, (int id), { Module.velmo.timerStop(id); });
EM_JS(void, js_post, (int id), { Module.velmo.post(id); });
EM_JS(void, js_random, (char* out, int size), {
    crypto.getRandomValues(HEAPU8.subarray(out, out + size));
});
EM_JS(char*, js_storage_read, (const char* name), {
    const value = Module.velmo.storageRead(UTF8ToString(name));
    if (value === null) {
        return 0;
    }
    const size = lengthBytesUTF8(value) + 1;
    const out = _malloc(size);
    stringToUTF8(value, out, size);
    return out;
});
EM_JS(void, js_storage_write, (const char* name, const char* value), {
    Module.velmo.storageWrite(UTF8ToString(name), UTF8ToString(value));
});
EM_JS(void, js_set_info, (const char* text), { Module.velmo.setInfo(UTF8ToString(text)); });
EM_JS(void, js_show_message, (const char* text), { Module.velmo.showMessage(UTF8ToString(text)); });
EM_JS(void, js_select_mode, (int mode), { Module.velmo.selectMode(mode); });
EM_JS(void, js_ask_frame, (void), { Module.velmo.askFrame(); });
EM_JS(void, js_set_transform, (float a, float b, float c, float d, float tx, float ty), {
    Module.velmo.setTransform(a, b, c, d, tx, ty);
});
EM_JS(void, js_show_present, (const char* names), {
    Module.velmo.showPresent(UTF8ToString(names));
});
EM_JS(void, js_show_markers, (const char* markers), {
    Module.velmo.showMarkers(UTF8ToString(markers));
});
// clang-format on

namespace velmo::web {
namespace {

// Header lines "name: value", one a line: header values never hold a line break.
std::string headerLines(const std::vector<std::pair<std::string, std::string>>& headers) {
    std::string lines;
    for (const auto& [name, value] : headers) {
        lines += name + ": " + value + "\n";
    }
    return lines;
}

} // namespace

double BrowserClock::now() const {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string BrowserRandom::bytes(size_t size) {
    std::string out(size, '\0');
    if (size > 0) {
        js_random(out.data(), static_cast<int>(size));
    }
    return out;
}

namespace storage {

std::optional<std::string> read(const std::string& name) {
    char* value = js_storage_read(("velmorastra." + name).c_str());
    if (value == nullptr) {
        return std::nullopt;
    }
    std::string out(value);
    free(value);
    return out;
}

void write(const std::string& name, const std::string& value) {
    js_storage_write(("velmorastra." + name).c_str(), value.c_str());
}

} // namespace storage

void BrowserHttp::send(const platform::HttpRequest& request, platform::HttpCallbacks callbacks) {
    const int id = ++last_id;
    if (callbacks.cancellation) {
        callbacks.cancellation->on_cancel = [this, id] {
            if (requests.erase(id) > 0) {
                js_http_cancel(id);
            }
        };
    }
    requests.emplace(id, std::move(callbacks));
    js_http_send(id, request.url.c_str(), request.method.c_str(), request.body.data(),
                 static_cast<int>(request.body.size()), headerLines(request.headers).c_str(),
                 request.timeout_seconds);
}

void BrowserHttp::head(int id, const platform::HttpStatus& status) {
    const auto it = requests.find(id);
    if (it != requests.end() && it->second.head) {
        const auto call = it->second.head;
        call(status);
    }
}

void BrowserHttp::received(int id, std::string_view bytes) {
    const auto it = requests.find(id);
    if (it != requests.end() && it->second.received) {
        const auto call = it->second.received;
        call(bytes);
    }
}

std::optional<platform::HttpCallbacks> BrowserHttp::take(int id) {
    const auto it = requests.find(id);
    if (it == requests.end()) {
        return std::nullopt;
    }
    platform::HttpCallbacks callbacks = std::move(it->second);
    requests.erase(it);
    if (callbacks.cancellation) {
        callbacks.cancellation->on_cancel = nullptr;
    }
    return callbacks;
}

void BrowserHttp::finished(int id, const platform::HttpStatus& status) {
    if (auto callbacks = take(id); callbacks && callbacks->finished) {
        callbacks->finished(status);
    }
}

void BrowserHttp::failed(int id) {
    if (auto callbacks = take(id); callbacks && callbacks->failed) {
        callbacks->failed();
    }
}

void BrowserEventStream::open(const std::string& url, const Headers& headers,
                              EventHandler event_handler, FailureHandler failure_handler) {
    ++serial;
    on_event = std::move(event_handler);
    on_failure = std::move(failure_handler);
    js_stream_open(serial, url.c_str(), headerLines(headers).c_str());
}

void BrowserEventStream::close() {
    ++serial;
    on_event = nullptr;
    on_failure = nullptr;
    js_stream_close();
}

void BrowserEventStream::event(int from, std::string_view type, std::string_view data) {
    if (from == serial && on_event) {
        const EventHandler call = on_event;
        call(type, data);
    }
}

void BrowserEventStream::failed(int from) {
    if (from != serial || !on_failure) {
        return;
    }
    const FailureHandler call = std::move(on_failure);
    close();
    call();
}

class BrowserScheduler::Timer : public platform::RepeatingTimer {
public:
    Timer(BrowserScheduler& owner, int timer_id) : scheduler(owner), id(timer_id) {}
    ~Timer() override {
        scheduler.timers.erase(id);
        js_timer_stop(id);
    }

private:
    BrowserScheduler& scheduler;
    int id;
};

std::unique_ptr<platform::RepeatingTimer>
BrowserScheduler::scheduleRepeating(double interval_seconds, std::function<void()> action) {
    const int id = ++last_id;
    timers.emplace(id, std::move(action));
    js_timer_start(id, interval_seconds * 1000.0);
    return std::make_unique<Timer>(*this, id);
}

void BrowserScheduler::postWhenIdle(const void* sender, std::function<void()> action) {
    if (posts.contains(sender)) {
        return;
    }
    const int id = ++last_id;
    posts.emplace(sender, std::make_pair(id, std::move(action)));
    js_post(id);
}

void BrowserScheduler::cancelPosts(const void* sender) {
    posts.erase(sender);
}

void BrowserScheduler::timerFired(int id) {
    const auto it = timers.find(id);
    if (it != timers.end()) {
        // A copy: the action may stop its own timer.
        const std::function<void()> action = it->second;
        action();
    }
}

void BrowserScheduler::postDue(int id) {
    for (auto it = posts.begin(); it != posts.end(); ++it) {
        if (it->second.first == id) {
            const std::function<void()> action = std::move(it->second.second);
            posts.erase(it);
            action();
            return;
        }
    }
}

void BrowserOutlets::selectDrawMode(int index) {
    draw_mode = index;
    js_select_mode(index);
}

void BrowserOutlets::setInfoText(const std::string& text) {
    js_set_info(text.c_str());
}

void BrowserOutlets::showMessage(const std::string& text) {
    js_show_message(text.c_str());
}

void BrowserOutlets::invalidateDisplayRect(int x, int y, int width, int height) {
    dirty = dirty.united({x, y, width, height});
    askForFrame();
}

void BrowserOutlets::invalidateDisplay() {
    whole_dirty = true;
    askForFrame();
}

void BrowserOutlets::setDisplayTransform(const platform::AffineTransform& t) {
    transform = t;
    js_set_transform(t.a, t.b, t.c, t.d, t.tx, t.ty);
}

void BrowserOutlets::showPresentUsers(const std::vector<std::string>& nicknames) {
    std::string names;
    for (const std::string& name : nicknames) {
        names += name + "\n";
    }
    js_show_present(names.c_str());
}

void BrowserOutlets::showPenMarkers(const std::vector<PenMarker>& markers) {
    // "x y colour nickname" a line: nicknames never hold a line break.
    std::string lines;
    for (const PenMarker& marker : markers) {
        lines += std::to_string(marker.x) + " " + std::to_string(marker.y) + " " +
                 std::to_string(marker.color) + " " + marker.nickname + "\n";
    }
    js_show_markers(lines.c_str());
}

void BrowserOutlets::askForFrame() {
    if (!frame_asked) {
        frame_asked = true;
        js_ask_frame();
    }
}

void BrowserOutlets::frameTaken() {
    frame_asked = false;
    dirty = {};
    whole_dirty = false;
}

} // namespace velmo::web
