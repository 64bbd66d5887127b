#include "http/pending_live.h"

#include "wire/server_events.h"

#include <algorithm>

namespace velmo::server {

namespace {

size_t digits(int64_t value) {
    size_t n = value < 0 ? 2 : 1;
    for (uint64_t v = value < 0 ? static_cast<uint64_t>(-(value + 1)) + 1
                                : static_cast<uint64_t>(value);
         v >= 10; v /= 10) {
        ++n;
    }
    return n;
}

// The bytes of " x-y" in a progress text.
size_t pointBytes(int32_t x, int32_t y) {
    return 2 + digits(x) + digits(y);
}

// About what the event of a progress takes: its points exactly, the rest bounded.
size_t eventBytes(const wire::StrokeProgress& progress) {
    size_t bytes = 160 + progress.user_name.size();
    for (size_t i = 0; i < progress.points_x.size(); ++i) {
        bytes += pointBytes(progress.points_x[i], progress.points_y[i]);
    }
    return bytes;
}

} // namespace

void mergeProgress(wire::StrokeProgress& pending, const wire::StrokeProgress& next) {
    pending.points_x.insert(pending.points_x.end(), next.points_x.begin(), next.points_x.end());
    pending.points_y.insert(pending.points_y.end(), next.points_y.begin(), next.points_y.end());
    pending.at = next.at;
    pending.pen = next.pen;
    pending.layer = next.layer;
    // What the reader takes: at most MaxProgressPoints points, MaxProgressText bytes (the
    // fields before the points take about 160 bytes besides the user name).
    size_t room =
        wire::MaxProgressText - std::min(wire::MaxProgressText, 200 + pending.user_name.size());
    size_t keep = 0;
    for (size_t i = pending.points_x.size(); i > 0 && keep < wire::MaxProgressPoints; --i) {
        const size_t bytes = pointBytes(pending.points_x[i - 1], pending.points_y[i - 1]);
        if (bytes > room) {
            break;
        }
        room -= bytes;
        ++keep;
    }
    const size_t cut = pending.points_x.size() - keep;
    if (cut > 0) {
        pending.points_x.erase(pending.points_x.begin(),
                               pending.points_x.begin() + static_cast<std::ptrdiff_t>(cut));
        pending.points_y.erase(pending.points_y.begin(),
                               pending.points_y.begin() + static_cast<std::ptrdiff_t>(cut));
        pending.from += static_cast<uint32_t>(cut);
    }
}

bool PendingLive::addProgress(const std::shared_ptr<const LiveProgress>& progress) {
    const wire::StrokeProgress& next = progress->progress;
    std::lock_guard lock(mutex_);
    const bool woke = !owedBefore();
    const auto it = std::find_if(strokes_.begin(), strokes_.end(), [&](const Stroke& s) {
        const wire::StrokeProgress& p = s.progress();
        return p.stroke == next.stroke && p.user_name == next.user_name;
    });
    if (it == strokes_.end()) {
        const size_t bytes = progress->event.size();
        if (strokes_.size() >= limits_.max_strokes || bytes_ + bytes > limits_.max_bytes) {
            ++dropped_;
            return false;
        }
        strokes_.push_back({progress, std::nullopt, bytes});
        bytes_ += bytes;
        return woke;
    }
    const wire::StrokeProgress& pending = it->progress();
    const bool contiguous =
        !pending.cancel && !next.cancel && next.from == pending.from + pending.points_x.size();
    Stroke replaced;
    if (contiguous) {
        wire::StrokeProgress merged = pending;
        mergeProgress(merged, next);
        const size_t bytes = eventBytes(merged);
        replaced = {nullptr, std::move(merged), bytes};
    } else {
        replaced = {progress, std::nullopt, progress->event.size()};
    }
    if (bytes_ - it->bytes + replaced.bytes > limits_.max_bytes) {
        // No room for it merged: the newest alone, if that fits.
        replaced = {progress, std::nullopt, progress->event.size()};
        if (bytes_ - it->bytes + replaced.bytes > limits_.max_bytes) {
            ++dropped_;
            return false;
        }
    }
    bytes_ = bytes_ - it->bytes + replaced.bytes;
    *it = std::move(replaced);
    return woke;
}

bool PendingLive::addPresence(const std::string& user, bool joined) {
    std::lock_guard lock(mutex_);
    const bool woke = !owedBefore();
    const auto it = std::find_if(presence_.begin(), presence_.end(),
                                 [&](const auto& p) { return p.first == user; });
    if (it != presence_.end()) {
        it->second = joined;
        return woke;
    }
    if (presence_.size() >= limits_.max_users) {
        ++dropped_;
        return false;
    }
    presence_.emplace_back(user, joined);
    return woke;
}

std::string PendingLive::take() {
    std::vector<Stroke> strokes;
    std::vector<std::pair<std::string, bool>> presence;
    {
        std::lock_guard lock(mutex_);
        strokes.swap(strokes_);
        presence.swap(presence_);
        bytes_ = 0;
    }
    std::string out;
    for (const auto& [user, joined] : presence) {
        out += wire::serverEventText(joined ? wire::JoinEvent : wire::LeaveEvent, user);
    }
    for (const Stroke& stroke : strokes) {
        if (stroke.merged) {
            out += wire::serverEventText(wire::ProgressEvent, wire::progressText(*stroke.merged));
        } else {
            out += stroke.as_sent->event;
        }
    }
    return out;
}

size_t PendingLive::progressBytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

size_t PendingLive::strokes() const {
    std::lock_guard lock(mutex_);
    return strokes_.size();
}

size_t PendingLive::dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

} // namespace velmo::server
