#include "handler/render_keeper.h"

#include "handler/canvas_render.h"

#include <algorithm>

#ifdef __linux__
#include <sys/resource.h>
#include <unistd.h>
#endif
#include <utility>
#include <vector>

namespace velmo::server {

RenderKeeper::RenderKeeper(Store& store, RenderCache& cache, const RenderFolder* folder,
                           Options options)
    : store_(store), cache_(cache), folder_(folder), options_(options), thread_([this] { run(); }) {
}

RenderKeeper::~RenderKeeper() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void RenderKeeper::touched(std::string_view canvas_id) {
    {
        std::lock_guard lock(mutex_);
        if (!touched_.emplace(canvas_id).second) {
            return;
        }
    }
    wake_.notify_one();
}

void RenderKeeper::waitIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return (touched_.empty() && !busy_) || stop_; });
}

void RenderKeeper::run() {
#ifdef __linux__
    // Behind the requests when the cores are busy, yet never starved while it holds an entry
    // a request waits for (a thread of its own: Linux takes the thread ID here).
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
#endif
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return !touched_.empty() || stop_; });
        if (stop_) {
            return;
        }
        // Strokes that come meanwhile gather for the next round.
        const std::set<std::string> canvases = std::exchange(touched_, {});
        busy_ = true;
        lock.unlock();
        for (const std::string& canvas_id : canvases) {
            std::vector<std::pair<int, int>> sizes = cache_.sizesOf(canvas_id);
            if (std::find(sizes.begin(), sizes.end(), std::pair(options_.width, options_.height)) ==
                sizes.end()) {
                sizes.emplace_back(options_.width, options_.height);
            }
            for (const auto& [width, height] : sizes) {
                if (stop_) {
                    break;
                }
                if (keepRender(store_, cache_, canvas_id, width, height, options_.page_bytes,
                               folder_, stop_) == KeepOutcome::NoSuchCanvas) {
                    break;
                }
            }
        }
        lock.lock();
        busy_ = false;
        if (touched_.empty()) {
            idle_.notify_all();
        }
        // Bounds the rounds a busy canvas costs; a request meanwhile paints the rest itself.
        wake_.wait_for(lock, options_.pause, [this] { return stop_.load(); });
    }
}

} // namespace velmo::server
