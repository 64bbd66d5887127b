#pragma once

#include "platform/scheduler.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace velmo::sync {

// Runs an action once, a given time from now, on the UI thread. The scheduler only repeats,
// so this is a repeating timer dropped after its first fire; it is dropped from an idle post,
// never inside its own fire, since a timer may not be destroyed while it calls out.
class OneShot {
public:
    // The scheduler must outlive this.
    explicit OneShot(platform::Scheduler& scheduler);
    ~OneShot();
    OneShot(const OneShot&) = delete;
    OneShot& operator=(const OneShot&) = delete;

    // Runs `action` once, `seconds` from now, instead of any action still waiting.
    void start(double seconds, std::function<void()> action);
    // The waiting action, if any, does not run.
    void stop();
    bool waiting() const { return timer != nullptr; }
    // The wait the waiting action was started with; 0 when none waits.
    double interval() const { return timer ? seconds : 0.0; }

private:
    void fire(uint64_t serial);
    void retire();

    platform::Scheduler& scheduler;
    std::unique_ptr<platform::RepeatingTimer> timer;
    std::vector<std::unique_ptr<platform::RepeatingTimer>> spent;
    std::function<void()> action;
    double seconds = 0.0;
    uint64_t serial = 0;
};

} // namespace velmo::sync
