#include "sync/one_shot.h"

#include <utility>

namespace velmo::sync {

OneShot::OneShot(platform::Scheduler& scheduler_) : scheduler(scheduler_) {}

OneShot::~OneShot() {
    scheduler.cancelPosts(this);
}

void OneShot::start(double wait, std::function<void()> what) {
    retire();
    action = std::move(what);
    seconds = wait;
    const uint64_t mine = ++serial;
    timer = scheduler.scheduleRepeating(wait, [this, mine] { fire(mine); });
}

void OneShot::stop() {
    retire();
    action = nullptr;
    ++serial;
}

void OneShot::retire() {
    if (!timer) {
        return;
    }
    spent.push_back(std::move(timer));
    scheduler.postWhenIdle(this, [this] { spent.clear(); });
}

void OneShot::fire(uint64_t fired) {
    // A spent timer may fire again before the idle post drops it.
    if (fired != serial || !timer) {
        return;
    }
    retire();
    auto run = std::move(action);
    action = nullptr;
    if (run) {
        run();
    }
}

} // namespace velmo::sync
