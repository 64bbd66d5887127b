#include "handler/live_drawing.h"

#include "wire/command_parser.h"
#include "wire/server_events.h"

#include <algorithm>

namespace velmo::server {

std::shared_ptr<const LiveProgress> makeLiveProgress(wire::StrokeProgress progress) {
    auto live = std::make_shared<LiveProgress>();
    live->text = wire::progressText(progress);
    live->event = wire::serverEventText(wire::ProgressEvent, live->text);
    live->progress = std::move(progress);
    return live;
}

LiveDrawing::LiveDrawing(LiveOptions options, CanvasNews& news)
    : options_(options), news_(news), rate_(options.progress, options.max_users),
      bytes_(options.progress_bytes, options.max_users) {}

LiveDrawing::~LiveDrawing() {
    {
        std::lock_guard lock(relay_mutex_);
        stopping_ = true;
        relay_ = nullptr;
    }
    tick_wake_.notify_all();
    if (ticks_.joinable()) {
        ticks_.join();
    }
}

int64_t LiveDrawing::takeProgress(std::string_view user_name, size_t bytes, int64_t now_ms) {
    return takeRequestAndBytes(rate_, bytes_, user_name, bytes, now_ms);
}

void LiveDrawing::progress(std::string_view canvas_id,
                           std::shared_ptr<const LiveProgress> progress) {
    LiveNews news;
    news.kind = LiveNews::Kind::Progress;
    news.user = progress->progress.user_name;
    news.progress = progress;
    news_.publishLive(canvas_id, news);
    tell(RemoteLive::Kind::Progress, canvas_id, progress->text);
}

void LiveDrawing::announce(std::string_view canvas_id, LiveNews::Kind kind,
                           const std::string& user) {
    LiveNews news;
    news.kind = kind;
    news.user = user;
    news_.publishLive(canvas_id, news);
}

void LiveDrawing::tell(RemoteLive::Kind kind, std::string_view canvas_id, std::string_view text) {
    std::lock_guard lock(relay_mutex_);
    if (relay_ != nullptr) {
        relay_->send({kind, {}, std::string(canvas_id), std::string(text)});
    }
}

bool LiveDrawing::enter(const std::string& canvas_id, const std::string& user,
                        const std::function<void()>& subscribe, std::vector<std::string>& present) {
    std::lock_guard lock(mutex_);
    bool entered = false;
    Canvas& canvas = canvases_[canvas_id];
    if (!user.empty()) {
        const auto it = std::find_if(canvas.begin(), canvas.end(),
                                     [&](const Present& p) { return p.user == user; });
        if (it != canvas.end()) {
            if (it->local++ == 0) {
                tell(RemoteLive::Kind::Join, canvas_id, user); // present elsewhere until now
            }
            entered = true;
        } else if (canvas.size() < options_.max_present) {
            canvas.push_back({user, 1, {}});
            entered = true;
            announce(canvas_id, LiveNews::Kind::Join, user);
            tell(RemoteLive::Kind::Join, canvas_id, user);
        }
    }
    subscribe();
    present.clear();
    for (const Present& p : canvas) {
        present.push_back(p.user);
    }
    if (canvas.empty()) {
        canvases_.erase(canvas_id);
    }
    return entered;
}

void LiveDrawing::leave(const std::string& canvas_id, const std::string& user) {
    std::lock_guard lock(mutex_);
    const auto found = canvases_.find(canvas_id);
    if (found == canvases_.end()) {
        return;
    }
    Canvas& canvas = found->second;
    const auto it = std::find_if(canvas.begin(), canvas.end(),
                                 [&](const Present& p) { return p.user == user; });
    if (it == canvas.end() || it->local == 0) {
        return;
    }
    if (--it->local > 0) {
        return;
    }
    tell(RemoteLive::Kind::Leave, canvas_id, user);
    if (!it->listed()) {
        canvas.erase(it);
        announce(canvas_id, LiveNews::Kind::Leave, user);
    }
    if (canvas.empty()) {
        canvases_.erase(found);
    }
}

void LiveDrawing::relayWith(LiveRelay* relay) {
    {
        std::lock_guard lock(relay_mutex_);
        relay_ = relay;
        if (relay == nullptr || ticks_.joinable() || stopping_) {
            return;
        }
    }
    ticks_ = std::thread([this] { runTicks(); });
}

void LiveDrawing::runTicks() {
    const auto step = std::max(std::chrono::milliseconds(10),
                               std::min(options_.announce_every, options_.remote_expiry) / 4);
    auto last_announce = std::chrono::steady_clock::now();
    std::unique_lock lock(relay_mutex_);
    while (!stopping_) {
        tick_wake_.wait_for(lock, step);
        if (stopping_) {
            return;
        }
        lock.unlock();
        const auto now = std::chrono::steady_clock::now();
        tick(now);
        if (now - last_announce >= options_.announce_every) {
            last_announce = now;
            std::lock_guard presence(mutex_);
            for (const auto& [canvas_id, canvas] : canvases_) {
                for (const Present& p : canvas) {
                    if (p.local > 0) {
                        tell(RemoteLive::Kind::Join, canvas_id, p.user);
                    }
                }
            }
        }
        lock.lock();
    }
}

void LiveDrawing::tick(std::chrono::steady_clock::time_point now) {
    std::lock_guard lock(mutex_);
    for (auto c = canvases_.begin(); c != canvases_.end();) {
        Canvas& canvas = c->second;
        for (auto p = canvas.begin(); p != canvas.end();) {
            std::erase_if(p->remote,
                          [&](const auto& r) { return now - r.second > options_.remote_expiry; });
            if (!p->listed()) {
                const std::string user = std::move(p->user);
                p = canvas.erase(p);
                announce(c->first, LiveNews::Kind::Leave, user);
            } else {
                ++p;
            }
        }
        c = canvas.empty() ? canvases_.erase(c) : std::next(c);
    }
}

void LiveDrawing::heard(const RemoteLive& news) {
    if (!options_.enabled) {
        return;
    }
    if (news.kind == RemoteLive::Kind::Progress) {
        auto progress = wire::parseProgress(news.text, wire::ServerPixelScale);
        if (!progress) {
            return;
        }
        LiveNews live;
        live.kind = LiveNews::Kind::Progress;
        live.user = progress->user_name;
        live.progress = makeLiveProgress(std::move(*progress));
        news_.publishLive(news.canvas_id, live);
        return;
    }
    if (!wire::isPresenceUser(news.text)) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    if (news.kind == RemoteLive::Kind::Join) {
        Canvas& canvas = canvases_[news.canvas_id];
        const auto it = std::find_if(canvas.begin(), canvas.end(),
                                     [&](const Present& p) { return p.user == news.text; });
        if (it != canvas.end()) {
            it->remote[news.instance] = now;
        } else if (canvas.size() < options_.max_present) {
            canvas.push_back({news.text, 0, {{news.instance, now}}});
            announce(news.canvas_id, LiveNews::Kind::Join, news.text);
        }
        if (canvas.empty()) {
            canvases_.erase(news.canvas_id);
        }
        return;
    }
    const auto found = canvases_.find(news.canvas_id);
    if (found == canvases_.end()) {
        return;
    }
    Canvas& canvas = found->second;
    const auto it = std::find_if(canvas.begin(), canvas.end(),
                                 [&](const Present& p) { return p.user == news.text; });
    if (it == canvas.end() || it->remote.erase(news.instance) == 0 || it->listed()) {
        return;
    }
    const std::string user = it->user;
    canvas.erase(it);
    announce(news.canvas_id, LiveNews::Kind::Leave, user);
    if (canvas.empty()) {
        canvases_.erase(found);
    }
}

std::vector<std::string> LiveDrawing::present(const std::string& canvas_id) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    const auto found = canvases_.find(canvas_id);
    if (found != canvases_.end()) {
        for (const Present& p : found->second) {
            out.push_back(p.user);
        }
    }
    return out;
}

} // namespace velmo::server
