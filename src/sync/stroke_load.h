#pragma once

#include "canvas/mw_stroke.h"
#include "platform/http_exchange.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::sync {

// Every stroke of one canvas, fetched with the get_strokes command without holding up the UI
// thread: the answer is kept as it arrives (the server sends it a page at a time, but the
// exchange may hand over tens of megabytes at once), and its lines are decoded only as the
// owner takes strokes, a slice at a time, in the order the server sent them.
// Only a 2xx answer counts: any other status, a broken connection or a time-out of the
// exchange (counted from the last bytes that came) is a failure, and what came before it is
// not to be trusted as the whole canvas.
//
// UI thread only. Destroying the load abandons the request; none of its callbacks run after.
class StrokeLoad {
public:
    struct Listener {
        // Strokes wait to be taken (called once per batch of arrived bytes, never from start).
        std::function<void()> arrived;
        // The answer is complete (true) or the fetch failed (false). Strokes may still wait.
        std::function<void(bool complete)> ended;
    };

    // `key_header`: the Velmorastra-Key value to send, if any. `timeout` in seconds, counted
    // from the last bytes received.
    StrokeLoad(platform::HttpExchange& http, std::string server_base_url, std::string canvas_id,
               std::optional<std::string> key_header, float pixel_scale, double timeout,
               Listener listener);
    ~StrokeLoad();
    StrokeLoad(const StrokeLoad&) = delete;
    StrokeLoad& operator=(const StrokeLoad&) = delete;

    // Sends the request; the listener hears of it from the event loop on.
    void start();

    // The next strokes of the answer, up to `most`, decoded now.
    std::vector<canvas::MWStroke> take(size_t most);
    // Whether a whole line of the answer waits to be taken.
    bool hasWaiting() const { return read_at < whole_up_to; }
    // Strokes taken so far.
    size_t decoded() const { return decoded_count; }
    const std::string& canvasID() const { return canvas_id; }
    bool ended() const { return is_ended; }
    bool complete() const { return is_complete; }

private:
    struct Shared;
    void head(const platform::HttpStatus& status);
    void bytes(std::string_view data);
    void finished(const platform::HttpStatus& status);
    void failed();

    platform::HttpExchange& http;
    std::string server_base_url;
    std::string canvas_id;
    std::optional<std::string> key_header;
    float pixel_scale;
    double timeout;
    Listener listener;
    std::shared_ptr<Shared> shared;
    std::shared_ptr<platform::HttpCancellation> cancellation;
    bool delivered = false; // a 2xx head came
    // The answer's bytes not taken yet start at `read_at`; the lines up to `whole_up_to` are
    // whole.
    std::string pending;
    size_t read_at = 0;
    size_t whole_up_to = 0;
    size_t decoded_count = 0;
    bool is_ended = false;
    bool is_complete = false;
};

} // namespace velmo::sync
