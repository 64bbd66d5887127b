#include "store/in_process_canvas_news.h"

#include <algorithm>

namespace velmo::server {

class InProcessCanvasNews::Handle : public CanvasNews::Subscription {
public:
    Handle(InProcessCanvasNews& hub, std::string canvas_id, uint64_t serial)
        : hub_(hub), canvas_id_(std::move(canvas_id)), serial_(serial) {}
    ~Handle() override { hub_.unsubscribe(canvas_id_, serial_); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

private:
    InProcessCanvasNews& hub_;
    std::string canvas_id_;
    uint64_t serial_;
};

void InProcessCanvasNews::publish(std::string_view canvas_id, const StrokeNews& news) {
    std::lock_guard lock(mutex_);
    const auto it = listeners_.find(canvas_id);
    if (it == listeners_.end()) {
        return;
    }
    for (const Entry& entry : it->second) {
        entry.listener(news);
    }
}

void InProcessCanvasNews::publishLive(std::string_view canvas_id, const LiveNews& news) {
    std::lock_guard lock(mutex_);
    const auto it = listeners_.find(canvas_id);
    if (it == listeners_.end()) {
        return;
    }
    for (const Entry& entry : it->second) {
        if (entry.live) {
            entry.live(news);
        }
    }
}

std::unique_ptr<CanvasNews::Subscription>
InProcessCanvasNews::subscribe(std::string canvas_id, Listener listener, LiveListener live) {
    uint64_t serial = 0;
    {
        std::lock_guard lock(mutex_);
        serial = ++last_serial_;
        listeners_[canvas_id].push_back({serial, std::move(listener), std::move(live)});
        ++count_;
    }
    return std::make_unique<Handle>(*this, std::move(canvas_id), serial);
}

void InProcessCanvasNews::unsubscribe(const std::string& canvas_id, uint64_t serial) {
    std::lock_guard lock(mutex_);
    const auto it = listeners_.find(canvas_id);
    if (it == listeners_.end()) {
        return;
    }
    std::vector<Entry>& entries = it->second;
    const auto gone = std::find_if(entries.begin(), entries.end(),
                                   [serial](const Entry& e) { return e.serial == serial; });
    if (gone == entries.end()) {
        return;
    }
    // Order among a canvas's listeners means nothing: the last takes the gap.
    if (gone != entries.end() - 1) {
        *gone = std::move(entries.back());
    }
    entries.pop_back();
    --count_;
    if (entries.empty()) {
        listeners_.erase(it);
    }
}

size_t InProcessCanvasNews::subscriptionCount() const {
    std::lock_guard lock(mutex_);
    return count_;
}

} // namespace velmo::server
