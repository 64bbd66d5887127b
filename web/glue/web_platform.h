#pragma once

// The edges of the core in a browser: each interface is carried by the page's script (fetch,
// timers, storage, the browser's random source), which calls back through web_exports.cpp.

#include "canvas/pixel_rect.h"
#include "platform/canvas_outlets.h"
#include "platform/clock.h"
#include "platform/event_stream.h"
#include "platform/http_exchange.h"
#include "platform/random_source.h"
#include "platform/scheduler.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::web {

class BrowserClock : public platform::Clock {
public:
    double now() const override;
};

class BrowserRandom : public platform::RandomSource {
public:
    std::string bytes(size_t size) override;
};

// The page's localStorage, under "velmorastra." names.
namespace storage {
std::optional<std::string> read(const std::string& name);
void write(const std::string& name, const std::string& value);
} // namespace storage

class BrowserHttp : public platform::HttpExchange {
public:
    void send(const platform::HttpRequest& request, platform::HttpCallbacks callbacks) override;
    // A page must never block: nothing calls this here, and it answers nothing.
    std::optional<platform::HttpAnswer> sendSynchronously(const platform::HttpRequest&) override {
        return std::nullopt;
    }
    // From the script.
    void head(int id, const platform::HttpStatus& status);
    void received(int id, std::string_view bytes);
    void finished(int id, const platform::HttpStatus& status);
    void failed(int id);

private:
    // The request's callbacks, which end with it: none once it ended or was cancelled.
    std::optional<platform::HttpCallbacks> take(int id);
    std::map<int, platform::HttpCallbacks> requests;
    int last_id = 0;
};

class BrowserEventStream : public platform::EventStream {
public:
    void open(const std::string& url, const Headers& headers, EventHandler on_event,
              FailureHandler on_failure) override;
    void close() override;
    // From the script; `serial` names the stream they belong to, so a closed one says nothing.
    void event(int serial, std::string_view type, std::string_view data);
    void failed(int serial);

private:
    int serial = 0;
    EventHandler on_event;
    FailureHandler on_failure;
};

class BrowserScheduler : public platform::Scheduler {
public:
    std::unique_ptr<platform::RepeatingTimer>
    scheduleRepeating(double interval_seconds, std::function<void()> action) override;
    void postWhenIdle(const void* sender, std::function<void()> action) override;
    void cancelPosts(const void* sender) override;
    // From the script.
    void timerFired(int id);
    void postDue(int id);

private:
    class Timer;
    std::map<int, std::function<void()>> timers;
    std::map<const void*, std::pair<int, std::function<void()>>> posts;
    int last_id = 0;
};

// The window's controls as the page shows them. The display is the <canvas> the page puts the
// engine's pixels on; what changed since the last frame is gathered here.
class BrowserOutlets : public platform::CanvasOutlets {
public:
    int drawMode() const override { return draw_mode; }
    void selectDrawMode(int index) override;
    void setInfoText(const std::string& text) override;
    void showCanvasID(const std::string&) override {}
    void showMessage(const std::string& text) override;
    void showSwatch(float, float, float, float, float) override {}
    void hideSwatch() override {}
    float swatchHeight() const override { return 0; }
    void setZoomSliderValue(float) override {}
    void setZoomSliderVisible(bool) override {}
    void setSearchText(const std::string&) override {}
    void invalidateDisplayRect(int x, int y, int width, int height) override;
    void invalidateDisplay() override;
    void setDisplayTransform(const platform::AffineTransform& transform) override;
    platform::AffineTransform displayTransform() const override { return transform; }
    void showPresentUsers(const std::vector<std::string>& nicknames) override;
    void showPenMarkers(const std::vector<PenMarker>& markers) override;

    // The page took the frame.
    void frameTaken();

    int draw_mode = 0;
    // Display pixels to put on the page's canvas at its next frame.
    canvas::PixelRect dirty;
    bool whole_dirty = false;

private:
    void askForFrame();
    platform::AffineTransform transform;
    bool frame_asked = false;
};

} // namespace velmo::web
