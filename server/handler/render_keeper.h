#pragma once

#include "handler/limits.h"
#include "handler/render_cache.h"
#include "handler/render_folder.h"
#include "store/canvas_news.h"
#include "store/store.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>

namespace velmo::server {

// Paints the renders of canvases as their strokes come, on a thread of its own, so that a
// request finds its picture painted: a canvas the server has heard of since its start renders
// in milliseconds the first time anyone asks, however many strokes it holds. For each canvas it
// is told of (touched), at most once a `pause`: every size the cache keeps for it, and the
// default size of GET /render, brought up to date by keepRender (canvas_render.h) on one core,
// kept on disk as renderCanvas keeps them. A paint from the first stroke happens here only for
// an entry that has none to start from (new, or its kept file gone); a delete that the entry's
// save points do not cover is left to the next request, which paints on every core.
//
// Cost: one core at most, and the cache's memory, which it shares with the requests (the entries
// it makes count against the same bound). Thread-safe; the destructor stops a paint under way.
class RenderKeeper {
public:
    struct Options {
        size_t page_bytes = 1 << 20;
        int width = DefaultRenderWidth; // the size always kept
        int height = DefaultRenderHeight;
        std::chrono::milliseconds pause{250};
    };
    RenderKeeper(Store& store, RenderCache& cache, const RenderFolder* folder, Options options);
    RenderKeeper(const RenderKeeper&) = delete;
    RenderKeeper& operator=(const RenderKeeper&) = delete;
    ~RenderKeeper();

    // Strokes of the canvas were stored or removed.
    void touched(std::string_view canvas_id);
    // Returns once nothing is left to paint (for tests and benchmarks).
    void waitIdle();

private:
    void run();

    Store& store_;
    RenderCache& cache_;
    const RenderFolder* folder_;
    const Options options_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::set<std::string> touched_;
    bool busy_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_; // last: started once the rest is made
};

// News as it passes, told to a keeper too: the store's own news and, with PostgreSQL, what the
// other instances stored. The keeper is given once the store it paints from is open, and taken
// away before either goes.
class KeepingNews final : public CanvasNews {
public:
    explicit KeepingNews(CanvasNews& news) : news_(news) {}

    void keepWith(RenderKeeper* keeper) {
        std::lock_guard lock(mutex_);
        keeper_ = keeper;
    }
    void publish(std::string_view canvas_id, const StrokeNews& news) override {
        {
            std::lock_guard lock(mutex_);
            if (keeper_ != nullptr) {
                keeper_->touched(canvas_id);
            }
        }
        news_.publish(canvas_id, news);
    }
    std::unique_ptr<Subscription> subscribe(std::string canvas_id, Listener listener,
                                            LiveListener live = {}) override {
        return news_.subscribe(std::move(canvas_id), std::move(listener), std::move(live));
    }
    // Live news changes no stroke: the keeper never hears of it.
    void publishLive(std::string_view canvas_id, const LiveNews& news) override {
        news_.publishLive(canvas_id, news);
    }

private:
    CanvasNews& news_;
    std::mutex mutex_;
    RenderKeeper* keeper_ = nullptr;
};

} // namespace velmo::server
