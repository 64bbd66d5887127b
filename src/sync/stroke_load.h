#pragma once

#include "canvas/mw_stroke.h"
#include "platform/http_exchange.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::sync {

// Every stroke of one canvas, fetched with the get_strokes command without holding up the UI
// thread: the answer is read as it arrives (the server sends it a page at a time), each line
// decoded as soon as it is whole, and the strokes wait in order until the owner takes them.
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

    // Up to `most` of the strokes decoded and not yet taken, in the order the server sent them.
    std::vector<canvas::MWStroke> take(size_t most);
    size_t waiting() const { return strokes.size(); }
    // Strokes decoded so far, taken or not.
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
    // Decodes the whole lines in `pending`; with `last`, the rest too.
    void decodeLines(bool last);

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
    std::string pending;
    std::deque<canvas::MWStroke> strokes;
    size_t decoded_count = 0;
    bool is_ended = false;
    bool is_complete = false;
};

} // namespace velmo::sync
