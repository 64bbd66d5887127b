#pragma once

#include "store/canvas_news.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmo::server {

// The news of one server process: a publish reaches the listeners of that canvas and no
// other. Memory is one entry per subscription and per canvas with a subscriber.
class InProcessCanvasNews : public CanvasNews {
public:
    InProcessCanvasNews() = default;
    InProcessCanvasNews(const InProcessCanvasNews&) = delete;
    InProcessCanvasNews& operator=(const InProcessCanvasNews&) = delete;

    void publish(std::string_view canvas_id, const StrokeNews& news) override;
    [[nodiscard]] std::unique_ptr<Subscription> subscribe(std::string canvas_id, Listener listener,
                                                          LiveListener live = {}) override;
    void publishLive(std::string_view canvas_id, const LiveNews& news) override;

    // Subscriptions open now, in all.
    size_t subscriptionCount() const;

private:
    class Handle;
    void unsubscribe(const std::string& canvas_id, uint64_t serial);

    struct Entry {
        uint64_t serial = 0;
        Listener listener;
        LiveListener live;
    };
    // Looks canvas IDs up without making a string of them.
    struct IdHash {
        using is_transparent = void;
        size_t operator()(std::string_view id) const { return std::hash<std::string_view>{}(id); }
    };
    mutable std::mutex mutex_;
    std::unordered_map<std::string, std::vector<Entry>, IdHash, std::equal_to<>> listeners_;
    uint64_t last_serial_ = 0;
    size_t count_ = 0;
};

} // namespace velmo::server
