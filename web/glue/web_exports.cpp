// The functions the page's script calls: the canvas's operations, and the answers of the
// edges it carries (web_platform.h).

#include "web/glue/web_canvas.h"

#include <emscripten.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using velmo::web::BrowserPlatform;
using velmo::web::WebCanvas;

std::unique_ptr<BrowserPlatform> platform;
std::unique_ptr<WebCanvas> canvas;
// The frame handed to the page: x, y, width, height, then its RGBA pixels.
std::vector<uint8_t> frame_pixels;
int32_t frame_rect[4];

std::optional<double> retryAfter(double seconds) {
    return seconds >= 0 ? std::optional<double>(seconds) : std::nullopt;
}

} // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE void web_create(const char* server_base_url) {
    canvas.reset();
    platform = std::make_unique<BrowserPlatform>();
    canvas = std::make_unique<WebCanvas>(*platform, server_base_url);
}

EMSCRIPTEN_KEEPALIVE void web_open(float width, float height, const char* canvas_id,
                                   const char* nickname) {
    canvas->open(width, height, canvas_id, nickname);
}

EMSCRIPTEN_KEEPALIVE void web_set_nickname(const char* nickname) {
    canvas->setNickname(nickname);
}

EMSCRIPTEN_KEEPALIVE int web_canvas_width() {
    return canvas->geometry.canvas_width;
}

EMSCRIPTEN_KEEPALIVE int web_canvas_height() {
    return canvas->geometry.canvas_height;
}

EMSCRIPTEN_KEEPALIVE void web_pointer_down(int id, float x, float y) {
    canvas->pointerDown(id, x, y);
}

EMSCRIPTEN_KEEPALIVE void web_pointer_move(int id, float x, float y) {
    canvas->pointerMove(id, x, y);
}

EMSCRIPTEN_KEEPALIVE void web_pointer_up(int id, float x, float y) {
    canvas->pointerUp(id, x, y);
}

EMSCRIPTEN_KEEPALIVE void web_pointers_cancel() {
    canvas->pointersCancelled();
}

EMSCRIPTEN_KEEPALIVE void web_undo() {
    canvas->undoOneStroke();
}

// `color` is 0xRRGGBB, `width` in display pixels (1 to 25), `density` 0 to 255.
EMSCRIPTEN_KEEPALIVE void web_set_pen(int color, float width, int density) {
    canvas->pen_properties.color =
        static_cast<int32_t>(0xFF000000u | (static_cast<uint32_t>(color) & 0xFFFFFFu));
    canvas->pen_properties.width =
        std::max(1, velmo::canvas::truncateToInt(width / canvas->geometry.pixel_scale));
    canvas->pen_properties.density = std::clamp(density, 0, 255);
}

EMSCRIPTEN_KEEPALIVE void web_set_layer(int layer) {
    if (layer >= 0 && layer <= 2) {
        canvas->setLayerIndex(static_cast<unsigned>(layer));
        canvas->setInfoLabel();
    }
}

// 0 draws, 2 pans.
EMSCRIPTEN_KEEPALIVE void web_set_mode(int mode) {
    platform->outlets.draw_mode = mode;
    canvas->setDrawMode();
}

EMSCRIPTEN_KEEPALIVE void web_zoom(float factor, float x, float y) {
    canvas->zoomAtViewPoint(factor, {x, y});
}

EMSCRIPTEN_KEEPALIVE void web_pan(float dx, float dy) {
    canvas->panView(dx, dy);
}

// The display pixels changed since the last frame, as RGBA (not premultiplied) at
// web_frame_pixels(); the rectangle at web_frame_rect(). Zero width: nothing changed.
EMSCRIPTEN_KEEPALIVE void web_take_frame() {
    auto& outlets = platform->outlets;
    const auto& display = canvas->display_bitmap;
    velmo::canvas::PixelRect rect =
        outlets.whole_dirty ? display.bounds()
                            : outlets.dirty.clippedTo(display.width(), display.height());
    outlets.frameTaken();
    if (rect.empty()) {
        rect = {};
    }
    frame_rect[0] = rect.x;
    frame_rect[1] = rect.y;
    frame_rect[2] = rect.width;
    frame_rect[3] = rect.height;
    frame_pixels.resize(static_cast<size_t>(rect.width) * static_cast<size_t>(rect.height) * 4);
    uint8_t* out = frame_pixels.data();
    for (int y = rect.y; y < rect.bottom(); ++y) {
        const velmo::canvas::Pixel* row =
            display.data() + static_cast<size_t>(y) * static_cast<size_t>(display.width());
        for (int x = rect.x; x < rect.right(); ++x) {
            const velmo::canvas::Argb p = velmo::canvas::unpackPixel(row[x]);
            const auto straight = [&](uint8_t c) -> uint8_t {
                return p.a == 0 ? 0
                                : static_cast<uint8_t>(std::min(255, (c * 255 + p.a / 2) / p.a));
            };
            out[0] = p.a == 255 ? p.r : straight(p.r);
            out[1] = p.a == 255 ? p.g : straight(p.g);
            out[2] = p.a == 255 ? p.b : straight(p.b);
            out[3] = p.a;
            out += 4;
        }
    }
}

EMSCRIPTEN_KEEPALIVE const int32_t* web_frame_rect() {
    return frame_rect;
}

EMSCRIPTEN_KEEPALIVE const uint8_t* web_frame_pixels() {
    return frame_pixels.data();
}

EMSCRIPTEN_KEEPALIVE void web_http_head(int id, int status, double retry_after) {
    platform->http.head(id, {status, retryAfter(retry_after)});
}

EMSCRIPTEN_KEEPALIVE void web_http_received(int id, const char* bytes, int size) {
    platform->http.received(id, std::string_view(bytes, static_cast<size_t>(size)));
}

EMSCRIPTEN_KEEPALIVE void web_http_finished(int id, int status, double retry_after) {
    platform->http.finished(id, {status, retryAfter(retry_after)});
}

EMSCRIPTEN_KEEPALIVE void web_http_failed(int id) {
    platform->http.failed(id);
}

EMSCRIPTEN_KEEPALIVE void web_stream_event(int serial, const char* type, const char* data,
                                           int data_size) {
    platform->events.event(serial, type, std::string_view(data, static_cast<size_t>(data_size)));
}

EMSCRIPTEN_KEEPALIVE void web_stream_failed(int serial) {
    platform->events.failed(serial);
}

EMSCRIPTEN_KEEPALIVE void web_timer_fired(int id) {
    platform->scheduler.timerFired(id);
}

EMSCRIPTEN_KEEPALIVE void web_post_due(int id) {
    platform->scheduler.postDue(id);
}

} // extern "C"
