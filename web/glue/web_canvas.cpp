#include "web/glue/web_canvas.h"

#include "identity/canvas_identity.h"
#include "wire/command_parser.h"
#include "wire/key_header.h"

#include <emscripten.h>

#include <algorithm>
#include <utility>
#include <variant>

// clang-format off
EM_JS(void, js_counts, (int strokes, int queued, int loading, const char* user), {
    Module.velmo.counts(strokes, queued, loading !== 0, UTF8ToString(user));
});
// clang-format on

namespace velmo::web {
namespace {

// A queue kept one command a line: a command never holds a line break, but a backslash and a
// line break are escaped all the same so that no stored queue can be read as other commands.
std::string escapeLine(std::string_view command) {
    std::string out;
    out.reserve(command.size());
    for (const char c : command) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<std::string> readLines(std::string_view text) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n') {
            lines.push_back(std::move(line));
            line.clear();
        } else if (c == '\\' && i + 1 < text.size()) {
            line += text[++i] == 'n' ? '\n' : text[i];
        } else {
            line += c;
        }
    }
    if (!line.empty()) {
        lines.push_back(std::move(line));
    }
    return lines;
}

int truncated(float v) {
    return canvas::truncateToInt(v);
}

} // namespace

WebCanvas::WebCanvas(BrowserPlatform& platform_, std::string server_base_url_)
    : canvas::CanvasEngine(platform_.outlets, platform_.clock), platform(platform_),
      server_base_url(std::move(server_base_url_)), watched_http(platform.http),
      sync_agent(watched_http, platform.scheduler, platform.clock, server_base_url),
      progress_sender(watched_http, platform.scheduler, platform.clock, server_base_url),
      progress_board(platform.scheduler, platform.clock, platform.outlets,
                     {[this](const canvas::ProgressKey& key, const canvas::MWStroke& stroke) {
                          showStrokeInProgress(key, stroke);
                      },
                      [this](const canvas::ProgressKey& key) { hideStrokeInProgress(key); }}),
      news_feed(platform.events, platform.scheduler, server_base_url,
                [this](std::optional<int64_t> stamp) { sync_agent.newsArrived(stamp); }) {
    sync_agent.canvas = this;
    sync_agent.setResponseListener([this] { get_response(); });
    sync_agent.setPollSource([this] { polling(); });
    sync_agent.setRefusalListener([this](const std::string&, int status) {
        outlets.showMessage("The server refused a change to this canvas (HTTP " +
                            std::to_string(status) + "); it was not shared.");
    });
    sync_agent.setQueueListener(this);
    sync_agent.setOfflineListener([this] { offlineChanged(); });
    watched_http.setSeenListener([this] { sync_agent.serverSeen(); });
    news_feed.setSeenListener([this] { sync_agent.serverSeen(); });
    setStrokeAgent(&sync_agent);
    polling_timer = platform.scheduler.scheduleRepeating(PollingInterval, [this] {
        polling();
        news_feed.tick();
    });
}

WebCanvas::~WebCanvas() {
    platform.scheduler.cancelPosts(&feed_token);
    sync_agent.setQueueListener(nullptr);
}

void WebCanvas::open(float width, float height, const std::string& id,
                     const std::string& nickname) {
    user_nickname = nickname;
    setScreenSize(width, height);
    clear_canvas();
    canvas_id = id;
    user_id = storage::read("user." + canvas_id).value_or("");
    loadKeys();
    if (!user_id.empty() && !keys.contains(user_id)) {
        // A user whose key is gone can no longer prove its strokes: draw as a new one.
        user_id.clear();
    }
    // What was drawn here and not delivered goes first, and shows meanwhile as own strokes.
    std::vector<std::string> queued = readLines(storage::read("queue." + canvas_id).value_or(""));
    for (const std::string& command : queued) {
        const auto parsed = wire::parseCommand(command);
        const auto* ok = std::get_if<wire::Command>(&parsed);
        if (ok != nullptr && ok->kind == wire::CommandKind::Append &&
            !ok->stroke.points_x.empty()) {
            strokes_history.store({InitServerTime, ok->stroke.client_time}, ok->stroke);
        }
    }
    sync_agent.restoreQueue(std::move(queued));
    paintChanges();
    startLoad();
    is_open = true;
    followOpenCanvas();
    sync_agent.resumeQueue();
    setInfoLabel();
    countsChanged();
}

void WebCanvas::setNickname(const std::string& nickname) {
    if (nickname != user_nickname) {
        user_nickname = nickname;
        storage::write("nickname", nickname);
        // Strokes from now on are the new nickname's; the old user's stay undoable by none.
        if (!user_id.empty()) {
            user_id.clear();
            storage::write("user." + canvas_id, "");
            followOpenCanvas();
        }
    }
}

std::string WebCanvas::userID() {
    if (user_id.empty()) {
        user_id = identity::makeID(user_nickname, clock.now());
        keys[user_id] = platform.random.bytes(wire::MinKeyBytes);
        // The key goes to storage before any command under the ID can.
        saveKeys();
        storage::write("user." + canvas_id, user_id);
        countsChanged();
    }
    return user_id;
}

std::optional<std::string> WebCanvas::keyHeader(std::string_view user) {
    const auto it = keys.find(user.empty() ? std::string_view(user_id) : user);
    if (it == keys.end()) {
        return std::nullopt;
    }
    return wire::keyHeaderValue(it->first, it->second);
}

void WebCanvas::loadKeys() {
    for (const std::string& line : readLines(storage::read("keys").value_or(""))) {
        if (const auto header = wire::parseKeyHeader(line)) {
            keys.try_emplace(header->user_id, header->key);
        }
    }
}

void WebCanvas::saveKeys() {
    // Keys of other canvases' users stay: another page may still need them.
    loadKeys();
    std::string text;
    for (const auto& [user, key] : keys) {
        text += escapeLine(wire::keyHeaderValue(user, key)) + "\n";
    }
    storage::write("keys", text);
}

void WebCanvas::followOpenCanvas() {
    const std::string user = userID();
    progress_board.setOwnUser(user);
    progress_board.setPixelScale(geometry.pixel_scale);
    news_feed.setLiveListener(&progress_board, geometry.pixel_scale);
    news_feed.follow(canvas_id, user, keyHeader(user));
}

void WebCanvas::startLoad() {
    sync::StrokeLoad::Listener listener;
    listener.arrived = [this] { platform.scheduler.postWhenIdle(&feed_token, [this] { feed(); }); };
    listener.ended = [this](bool) {
        platform.scheduler.postWhenIdle(&feed_token, [this] { feed(); });
    };
    stroke_load =
        std::make_unique<sync::StrokeLoad>(watched_http, server_base_url, canvas_id, keyHeader(""),
                                           geometry.pixel_scale, LoadTimeout, std::move(listener));
    stroke_load->start();
}

void WebCanvas::feed() {
    if (!stroke_load) {
        return;
    }
    mergeStrokes(stroke_load->take(FeedChunk));
    if (stroke_load->hasWaiting()) {
        platform.scheduler.postWhenIdle(&feed_token, [this] { feed(); });
    } else if (stroke_load->ended()) {
        if (!stroke_load->complete()) {
            // Fetched again after the next reply shows the server is there.
            sync_agent.canvas_should_be_refreshed = true;
        }
        stroke_load.reset();
        if (poll_after_load) {
            poll_after_load = false;
            polling();
        }
    }
    setInfoLabel();
    countsChanged();
}

void WebCanvas::get_response() {
    std::lock_guard guard(sync_agent.lock());
    const int status = sync_agent.response_status();
    if (status == 0) {
        return;
    }
    std::vector<canvas::MWStroke> strokes = std::move(sync_agent.returned_strokes);
    sync_agent.returned_strokes.clear();
    if (status == 2 && !stroke_load) {
        sync_agent.canvas_should_be_refreshed = false;
        startLoad();
    }
    mergeStrokes(std::move(strokes));
    setInfoLabel();
    countsChanged();
}

void WebCanvas::mergeStrokes(std::vector<canvas::MWStroke> strokes) {
    if (strokes.empty()) {
        return;
    }
    for (canvas::MWStroke& stroke : strokes) {
        if (stroke.user_name == user_id && undone_before_echo.contains(stroke.client_time)) {
            continue;
        }
        dropUnconfirmedCopy(stroke);
        progress_board.strokeArrived(stroke);
        const canvas::StrokeKey key{stroke.server_time, stroke.client_time};
        strokes_history.store(key, std::move(stroke));
    }
    paintChanges();
}

void WebCanvas::dropUnconfirmedCopy(const canvas::MWStroke& echo) {
    for (const int64_t unconfirmed : {InitServerTime, int64_t{0}}) {
        const auto it = strokes_history.find({unconfirmed, echo.client_time});
        if (it != strokes_history.end() && it->second.user_name == echo.user_name) {
            strokes_history.erase(it);
        }
    }
}

void WebCanvas::polling() {
    std::lock_guard guard(sync_agent.lock());
    if (!sync_agent.queued_commands.empty()) {
        sync_agent.resumeQueue();
        return;
    }
    if (stroke_load) {
        poll_after_load = true;
        return;
    }
    canvas::MWStroke poll;
    poll.user_name = userID();
    poll.client_time = static_cast<int64_t>(clock.now() * 1000.0);
    poll.pen_properties = canvas::defaultPen(geometry.pixel_scale);
    sync_agent.append_stroke(poll);
}

void WebCanvas::setInfoLabel() {
    static constexpr const char* LayerNames[] = {"Normal", "Multiply", "Screen"};
    std::string text = std::string(LayerNames[std::min(layer_index, 2u)]) + " layer";
    if (stroke_load) {
        text += " (loading: " + std::to_string(strokes_history.size()) + " strokes)";
    }
    if (sync_agent.offline()) {
        const size_t waiting = sync_agent.waitingChanges();
        text += waiting == 0 ? std::string(" · offline")
                             : " · offline: " + std::to_string(waiting) +
                                   (waiting == 1 ? " stroke waiting" : " strokes waiting");
    }
    outlets.setInfoText(text);
}

void WebCanvas::offlineChanged() {
    const bool offline = sync_agent.offline();
    if (shown_offline && !offline) {
        // The queue got through: a stream waiting to reopen need wait no more.
        news_feed.serverSeen();
    }
    shown_offline = offline;
    setInfoLabel();
}

void WebCanvas::countsChanged() {
    js_counts(static_cast<int>(strokes_history.size()),
              static_cast<int>(sync_agent.queued_commands.size()), loading() ? 1 : 0,
              user_id.c_str());
}

void WebCanvas::commandQueued(const std::string&) {
    saveQueue();
}

void WebCanvas::commandRetired() {
    saveQueue();
}

void WebCanvas::queueReplaced(const std::deque<std::string>&) {
    saveQueue();
}

void WebCanvas::saveQueue() {
    std::string text;
    for (const std::string& command : sync_agent.queued_commands) {
        text += escapeLine(command) + "\n";
    }
    storage::write("queue." + canvas_id, text);
    countsChanged();
    setInfoLabel();
}

void WebCanvas::strokeBegun(int64_t press_time) {
    if (!news_feed.live() || x_array.empty() || y_array.empty()) {
        return;
    }
    const std::string user = userID();
    progress_sender.strokeBegun(canvas_id, user, keyHeader(user), press_time, pen_properties,
                                static_cast<int32_t>(layer_index), x_array.back(), y_array.back());
}

void WebCanvas::strokeDragged() {
    if (!x_array.empty() && !y_array.empty()) {
        progress_sender.strokeExtended(x_array.back(), y_array.back());
    }
}

void WebCanvas::strokeCancelled() {
    progress_sender.strokeCancelled();
}

void WebCanvas::strokeFinished(const canvas::StrokeKey& key, const canvas::MWStroke& stroke) {
    progress_sender.strokeFinished();
    CanvasEngine::strokeFinished(key, stroke);
    countsChanged();
}

void WebCanvas::strokeUndone(const canvas::StrokeKey& key, const canvas::MWStroke& stroke) {
    if (key.first == InitServerTime || key.first == 0) {
        undone_before_echo.insert(stroke.client_time);
    }
    CanvasEngine::strokeUndone(key, stroke);
    countsChanged();
}

void WebCanvas::pointerDown(int id, float x, float y) {
    pointers[id] = {x, y};
    if (display_bitmap.empty()) {
        return;
    }
    if (!pointer_1st) {
        if (!pointer_2nd) {
            pointer_1st = id;
            touchPressedAtX(truncated(x), truncated(y));
        }
    } else if (!pointer_2nd && id != *pointer_1st) {
        pointer_2nd = id;
        startpt_1st = pointers[*pointer_1st];
        startpt_2nd = pointers[*pointer_2nd];
        display_trans = outlets.displayTransform();
        cancelStroke();
    }
}

void WebCanvas::pointerMove(int id, float x, float y) {
    if (!pointers.contains(id)) {
        return;
    }
    pointers[id] = {x, y};
    if (display_bitmap.empty() || !pointer_1st) {
        return;
    }
    const canvas::ViewPoint first = pointers[*pointer_1st];
    if (!pointer_2nd) {
        if (id == *pointer_1st) {
            touchDraggedAtX(truncated(first.x), truncated(first.y));
        }
        return;
    }
    changeTransform(display_trans, startpt_1st, startpt_2nd, first, pointers[*pointer_2nd], false);
}

void WebCanvas::pointerUp(int id, float x, float y) {
    if (!pointers.contains(id)) {
        return;
    }
    pointers[id] = {x, y};
    if (!display_bitmap.empty() && pointer_1st) {
        const canvas::ViewPoint first = pointers[*pointer_1st];
        if (!pointer_2nd) {
            if (id == *pointer_1st) {
                touchReleasedAtX(truncated(first.x), truncated(first.y));
                pointer_1st.reset();
            }
        } else if (id == *pointer_1st || id == *pointer_2nd) {
            changeTransform(display_trans, startpt_1st, startpt_2nd, first, pointers[*pointer_2nd],
                            true);
            pointer_1st.reset();
        }
    }
    pointers.erase(id);
    if (pointers.empty()) {
        pointer_1st.reset();
        pointer_2nd.reset();
    }
}

void WebCanvas::pointersCancelled() {
    if (pointer_1st && !pointer_2nd) {
        cancelStroke();
    }
    pointer_1st.reset();
    pointer_2nd.reset();
    pointers.clear();
}

} // namespace velmo::web
