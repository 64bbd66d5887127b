#pragma once

#include <functional>
#include <memory>

namespace velmo::platform {

// A repeating timer; destroying the handle stops it for good.
class RepeatingTimer {
public:
    virtual ~RepeatingTimer() = default;
};

// Deferred work on the UI thread.
class Scheduler {
public:
    virtual ~Scheduler() = default;
    // Calls `action` every `interval_seconds`, the first time one interval from now, until the
    // returned handle is destroyed.
    [[nodiscard]] virtual std::unique_ptr<RepeatingTimer>
    scheduleRepeating(double interval_seconds, std::function<void()> action) = 0;
    // Runs `action` once, when the UI thread is next idle. While a notice of the same `sender`
    // is waiting, further posts of that sender are dropped (one pending notice per sender).
    virtual void postWhenIdle(const void* sender, std::function<void()> action) = 0;
    // Drops the waiting notice of `sender`, if any. A sender calls it before it goes away.
    virtual void cancelPosts(const void* sender) = 0;
};

} // namespace velmo::platform
