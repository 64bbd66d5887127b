#pragma once

#include "canvas/canvas_engine.h"
#include "sync/canvas_news_feed.h"
#include "sync/progress_board.h"
#include "sync/queue_listener.h"
#include "sync/stroke_load.h"
#include "sync/stroke_progress_sender.h"
#include "sync/stroke_sync_agent.h"
#include "sync/sync_canvas.h"
#include "sync/watched_exchange.h"
#include "web/glue/web_platform.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::web {

// The edges a page gives the canvas; made before it and outliving it.
struct BrowserPlatform {
    BrowserHttp http;
    BrowserEventStream events;
    BrowserScheduler scheduler;
    BrowserClock clock;
    BrowserOutlets outlets;
    BrowserRandom random;
};

// The canvas of one page: the engine, tied to the same sync agent, live stream, progress and
// presence as the app's canvas, with its identity and queue kept in the browser's storage. One
// canvas a page, opened once; everything runs on the page's one thread.
//
// Storage ("velmorastra." names): "nickname"; "user.<canvas ID>", the user who draws on that
// canvas from this browser; "keys", one "<user ID> <key in hex>" a line; "queue.<canvas ID>",
// the commands not yet delivered, one a line.
class WebCanvas : public canvas::CanvasEngine, public sync::SyncCanvas, public sync::QueueListener {
public:
    static constexpr double PollingInterval = 5.0;
    static constexpr double LoadTimeout = 30.0;
    // Strokes of the canvas's fetch merged in one turn of the page's event loop.
    static constexpr size_t FeedChunk = 512;

    WebCanvas(BrowserPlatform& platform, std::string server_base_url);
    ~WebCanvas() override;

    // Sizes the canvas to the page's drawing area and opens `canvas_id` there.
    void open(float width, float height, const std::string& canvas_id, const std::string& nickname);
    void setNickname(const std::string& nickname);

    // Pointers on the drawing area, in its points; the first one draws (or pans, or picks), a
    // second one turns the gesture into a pinch of the view, as fingers do in the app.
    void pointerDown(int id, float x, float y);
    void pointerMove(int id, float x, float y);
    void pointerUp(int id, float x, float y);
    void pointersCancelled();

    // Until the canvas's strokes are in.
    bool loading() const { return !is_open || stroke_load != nullptr; }

    // sync::SyncCanvas
    std::string canvasID() override { return canvas_id; }
    float pixelScale() const override { return geometry.pixel_scale; }
    std::optional<std::string> keyHeader(std::string_view user) override;

    std::string userID() override;
    void get_response() override;
    void setInfoLabel() override;

    // sync::QueueListener
    void commandQueued(const std::string& command) override;
    void commandRetired() override;
    void queueReplaced(const std::deque<std::string>& commands) override;

protected:
    void strokeBegun(int64_t press_time) override;
    void strokeDragged() override;
    void strokeCancelled() override;
    void strokeFinished(const canvas::StrokeKey& key, const canvas::MWStroke& stroke) override;
    void strokeUndone(const canvas::StrokeKey& key, const canvas::MWStroke& stroke) override;

private:
    void polling();
    void startLoad();
    void feed();
    void mergeStrokes(std::vector<canvas::MWStroke> strokes);
    void dropUnconfirmedCopy(const canvas::MWStroke& echo);
    void followOpenCanvas();
    void saveQueue();
    void loadKeys();
    void saveKeys();
    void countsChanged();

    void offlineChanged();

    BrowserPlatform& platform;
    std::string server_base_url;
    // Every request of the canvas goes through it: any 2xx says the server is back.
    sync::WatchedExchange watched_http;
    std::string user_nickname;
    std::map<std::string, std::string, std::less<>> keys; // user ID -> key bytes
    sync::StrokeSyncAgent sync_agent;
    sync::StrokeProgressSender progress_sender;
    sync::ProgressBoard progress_board;
    sync::CanvasNewsFeed news_feed;
    std::unique_ptr<sync::StrokeLoad> stroke_load;
    std::unique_ptr<platform::RepeatingTimer> polling_timer;
    // Own strokes undone before their echo came: the echo must not bring them back.
    std::set<int64_t> undone_before_echo;
    // A poll owed once the canvas's fetch is in (a poll during it brings the same strokes).
    bool poll_after_load = false;
    bool is_open = false;
    bool shown_offline = false;
    int feed_token = 0;

    // The gesture: the pointer that draws, and the second one that pinches.
    std::optional<int> pointer_1st, pointer_2nd;
    std::map<int, canvas::ViewPoint> pointers;
    canvas::ViewPoint startpt_1st, startpt_2nd;
    platform::AffineTransform display_trans;
};

} // namespace velmo::web
