#include "store/recent_strokes.h"

#include <algorithm>
#include <mutex>

namespace velmo::server {

namespace {

// Bounds of the strokes kept in memory: per canvas, in all, and in bytes of text in all.
// Strokes not yet copied into the database stay beyond them.
constexpr size_t RecentPerCanvas = 512;
constexpr size_t RecentEntries = 1 << 16;
constexpr size_t RecentBytes = 16 << 20;

} // namespace

void RecentStrokes::seed(std::string canvas_id, int64_t last_stamp, Store::CanvasSize size) {
    std::unique_lock lock(mutex_);
    // Memory starts empty: only strokes stamped after `last_stamp` are certain to be in it.
    canvases_.emplace(std::move(canvas_id),
                      CanvasMemory{last_stamp, last_stamp, last_stamp, size, nullptr});
}

Store::CanvasSize RecentStrokes::size(std::string_view canvas_id) const {
    std::shared_lock lock(mutex_);
    const auto found = canvases_.find(canvas_id);
    return found == canvases_.end() ? Store::CanvasSize{} : found->second.size;
}

void RecentStrokes::shrink(std::string_view canvas_id, Store::CanvasSize removed) {
    std::unique_lock lock(mutex_);
    const auto found = canvases_.find(canvas_id);
    if (found != canvases_.end()) {
        Store::CanvasSize& size = found->second.size;
        size.strokes = std::max<int64_t>(size.strokes - removed.strokes, 0);
        size.bytes = std::max<int64_t>(size.bytes - removed.bytes, 0);
    }
}

int64_t RecentStrokes::lastStamp(std::string_view canvas_id) const {
    std::shared_lock lock(mutex_);
    const auto found = canvases_.find(canvas_id);
    return found == canvases_.end() ? 0 : found->second.last_stamp;
}

void RecentStrokes::remember(const std::string& canvas_id, std::vector<RecentStroke>& strokes) {
    std::unique_lock lock(mutex_);
    CanvasMemory& canvas = canvases_[canvas_id];
    if (!canvas.recent) {
        canvas.recent = std::make_unique<std::deque<RecentStroke>>();
    }
    for (RecentStroke& stroke : strokes) {
        const bool behind = canvas.recent->empty()
                                ? stroke.server_time <= canvas.floor
                                : stroke.server_time <= canvas.recent->back().server_time;
        if (behind) {
            continue; // only after noteForeign: the database has it, memory starts later
        }
        canvas.last_stamp = std::max(canvas.last_stamp, stroke.server_time);
        ++canvas.size.strokes;
        canvas.size.bytes += static_cast<int64_t>(stroke.text.size());
        recent_bytes_ += stroke.text.size() + stroke.user_name.size();
        recent_order_.push_back({&canvas, stroke.server_time});
        canvas.recent->push_back(std::move(stroke));
    }
    while (canvas.recent && canvas.recent->size() > RecentPerCanvas &&
           canvas.recent->front().server_time <= canvas.copied) {
        dropOldest(canvas);
    }
    while (!recent_order_.empty() &&
           (recent_bytes_ > RecentBytes || recent_order_.size() > RecentEntries)) {
        const RecentRef oldest = recent_order_.front();
        const auto& recent = oldest.canvas->recent;
        const bool listed =
            recent && !recent->empty() && recent->front().server_time == oldest.server_time;
        if (listed && oldest.server_time > oldest.canvas->copied) {
            break; // the rest waits for the next copy
        }
        recent_order_.pop_front();
        if (listed) {
            dropOldest(*oldest.canvas);
        }
    }
}

void RecentStrokes::dropOldest(CanvasMemory& canvas) {
    RecentStroke& oldest = canvas.recent->front();
    canvas.floor = oldest.server_time;
    recent_bytes_ -= oldest.text.size() + oldest.user_name.size();
    canvas.recent->pop_front();
    if (canvas.recent->empty()) {
        canvas.recent.reset();
    }
}

bool RecentStrokes::strokesAfter(std::string_view canvas_id, int64_t after, size_t limit,
                                 std::vector<StoredStroke>& out) const {
    std::shared_lock lock(mutex_);
    const auto found = canvases_.find(canvas_id);
    if (found == canvases_.end()) {
        return false;
    }
    const CanvasMemory& canvas = found->second;
    // Stamps are positive, so memory that reaches back to 0 holds the whole canvas.
    const bool complete = std::max<int64_t>(after, 0) >= canvas.floor;
    if (canvas.recent) {
        auto it = std::upper_bound(
            canvas.recent->begin(), canvas.recent->end(), after,
            [](int64_t stamp, const RecentStroke& stroke) { return stamp < stroke.server_time; });
        for (; it != canvas.recent->end() && out.size() < limit; ++it) {
            out.push_back({it->server_time, it->client_time, it->text});
        }
    }
    return complete;
}

void RecentStrokes::noteForeign(std::string_view canvas_id, int64_t stamp) {
    std::unique_lock lock(mutex_);
    auto found = canvases_.find(canvas_id);
    if (found == canvases_.end()) {
        found = canvases_.emplace(std::string(canvas_id), CanvasMemory{}).first;
    }
    CanvasMemory& canvas = found->second;
    canvas.last_stamp = std::max(canvas.last_stamp, stamp);
    if (canvas.recent) {
        for (const RecentStroke& stroke : *canvas.recent) {
            recent_bytes_ -= stroke.text.size() + stroke.user_name.size();
        }
        canvas.recent.reset(); // its entries in recent_order_ are skipped when they come up
    }
    canvas.floor = canvas.last_stamp;
    canvas.copied = std::max(canvas.copied, canvas.last_stamp);
}

void RecentStrokes::forget(std::string_view canvas_id, std::string_view user_name,
                           int64_t client_time) {
    std::unique_lock lock(mutex_);
    const auto found = canvases_.find(canvas_id);
    if (found == canvases_.end() || !found->second.recent) {
        return;
    }
    auto& recent = *found->second.recent;
    for (auto it = recent.begin(); it != recent.end();) {
        if (it->user_name == user_name && it->client_time == client_time) {
            recent_bytes_ -= it->text.size() + it->user_name.size();
            it = recent.erase(it);
        } else {
            ++it;
        }
    }
    // Its entries in recent_order_ are skipped when they come up.
}

void RecentStrokes::Copied::note(std::string_view canvas_id, int64_t server_time) {
    auto& canvases = recent_.canvases_;
    auto canvas = canvases.find(canvas_id);
    if (canvas == canvases.end()) {
        canvas = canvases.emplace(std::string(canvas_id), CanvasMemory{}).first;
    }
    canvas->second.copied = std::max(canvas->second.copied, server_time);
}

} // namespace velmo::server
