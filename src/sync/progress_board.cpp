#include "sync/progress_board.h"

#include "wire/canvas_id.h"

#include <algorithm>
#include <utility>

namespace velmo::sync {
namespace {

std::string nicknameOfUser(const std::string& user_id) {
    const auto nickname = wire::nicknameOf(user_id);
    return nickname ? std::string(*nickname) : user_id;
}

} // namespace

ProgressBoard::ProgressBoard(platform::Scheduler& scheduler_, const platform::Clock& clock_,
                             platform::CanvasOutlets& outlets_, View view_)
    : scheduler(scheduler_), clock(clock_), outlets(outlets_), view(std::move(view_)) {}

void ProgressBoard::setOwnUser(const std::string& user_id) {
    if (user_id != own_user) {
        own_user = user_id;
        showPresence();
    }
}

void ProgressBoard::progressArrived(const wire::StrokeProgress& progress) {
    if (progress_observer) {
        progress_observer(progress);
    }
    const canvas::ProgressKey key{progress.user_name, progress.stroke};
    auto it = strokes.find(key);
    if (progress.cancel) {
        if (it != strokes.end()) {
            remove(it);
            stopSweepingIfIdle();
            showMarkers();
        }
        return;
    }
    const auto done = finished_through.find(progress.user_name);
    if (done != finished_through.end() && progress.stroke <= done->second) {
        return;
    }
    if (it == strokes.end()) {
        it = strokes.emplace(key, Entry{}).first;
        it->second.stroke.user_name = progress.user_name;
    }
    canvas::MWStroke& stroke = it->second.stroke;
    stroke.pen_properties = progress.pen;
    stroke.layer = progress.layer;
    if (progress.from <= stroke.points_x.size()) {
        stroke.points_x.resize(progress.from);
        stroke.points_y.resize(progress.from);
    }
    stroke.points_x.insert(stroke.points_x.end(), progress.points_x.begin(),
                           progress.points_x.end());
    stroke.points_y.insert(stroke.points_y.end(), progress.points_y.begin(),
                           progress.points_y.end());
    it->second.heard = clock.now();
    if (view.show) {
        view.show(key, stroke);
    }
    keepSweeping();
    showMarkers();
}

void ProgressBoard::userJoined(const std::string& user_id) {
    if (std::find(present.begin(), present.end(), user_id) == present.end()) {
        present.push_back(user_id);
        showPresence();
    }
}

void ProgressBoard::userLeft(const std::string& user_id) {
    std::erase(present, user_id);
    bool removed = false;
    for (auto it = strokes.begin(); it != strokes.end();) {
        const auto next = std::next(it);
        if (it->first.first == user_id) {
            remove(it);
            removed = true;
        }
        it = next;
    }
    showPresence();
    if (removed) {
        stopSweepingIfIdle();
        showMarkers();
    }
}

void ProgressBoard::presenceLost() {
    present.clear();
    showPresence();
}

void ProgressBoard::strokeArrived(const canvas::MWStroke& finished) {
    int64_t& through = finished_through[finished.user_name];
    through = std::max(through, finished.client_time);
    bool removed = false;
    auto it = strokes.lower_bound({finished.user_name, INT64_MIN});
    while (it != strokes.end() && it->first.first == finished.user_name &&
           it->first.second <= finished.client_time) {
        const auto next = std::next(it);
        remove(it);
        removed = true;
        it = next;
    }
    if (removed) {
        stopSweepingIfIdle();
        showMarkers();
    }
}

void ProgressBoard::clear() {
    while (!strokes.empty()) {
        remove(strokes.begin());
    }
    finished_through.clear();
    present.clear();
    stopSweepingIfIdle();
    showPresence();
    showMarkers();
}

void ProgressBoard::remove(std::map<canvas::ProgressKey, Entry>::iterator it) {
    const canvas::ProgressKey key = it->first;
    strokes.erase(it);
    if (view.hide) {
        view.hide(key);
    }
}

void ProgressBoard::sweep() {
    const double now = clock.now();
    bool removed = false;
    for (auto it = strokes.begin(); it != strokes.end();) {
        const auto next = std::next(it);
        if (now - it->second.heard >= Silence) {
            remove(it);
            removed = true;
        }
        it = next;
    }
    if (removed) {
        showMarkers();
    }
    // The sweeper stays until the next progress or clear: a timer is not destroyed from
    // inside its own action.
}

void ProgressBoard::keepSweeping() {
    if (!sweeper) {
        sweeper = scheduler.scheduleRepeating(SweepInterval, [this] { sweep(); });
    }
}

void ProgressBoard::showPresence() {
    std::vector<std::string> nicknames;
    for (const std::string& user : present) {
        if (user != own_user) {
            nicknames.push_back(nicknameOfUser(user));
        }
    }
    if (nicknames != shown_users) {
        shown_users = nicknames;
        outlets.showPresentUsers(nicknames);
    }
}

void ProgressBoard::stopSweepingIfIdle() {
    if (strokes.empty()) {
        sweeper.reset();
    }
}

void ProgressBoard::showMarkers() {
    std::vector<platform::CanvasOutlets::PenMarker> markers;
    for (const auto& [key, entry] : strokes) {
        const canvas::MWStroke& stroke = entry.stroke;
        if (stroke.points_x.empty() || stroke.points_y.empty()) {
            continue;
        }
        platform::CanvasOutlets::PenMarker marker;
        marker.nickname = nicknameOfUser(key.first);
        marker.x = static_cast<float>(stroke.points_x.back()) * pixel_scale;
        marker.y = static_cast<float>(stroke.points_y.back()) * pixel_scale;
        marker.color = static_cast<uint32_t>(stroke.pen_properties.color);
        markers.push_back(std::move(marker));
    }
    if (markers != shown_markers) {
        shown_markers = markers;
        outlets.showPenMarkers(markers);
    }
}

} // namespace velmo::sync
