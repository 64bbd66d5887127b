#pragma once

#include "platform/scheduler.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

class QObject;

namespace velmo::platform::qt {

// Timers and idle-time notices on the thread that owns the scheduler (the UI thread).
// A notice runs from a zero-interval timer, which Qt fires once the events already waiting
// (input, paints, network) have been handled.
class QtScheduler : public Scheduler {
public:
    QtScheduler();
    // Waiting notices are dropped; live repeating timers stop.
    ~QtScheduler() override;
    QtScheduler(const QtScheduler&) = delete;
    QtScheduler& operator=(const QtScheduler&) = delete;

    [[nodiscard]] std::unique_ptr<RepeatingTimer>
    scheduleRepeating(double interval_seconds, std::function<void()> action) override;
    void postWhenIdle(const void* sender, std::function<void()> action) override;
    void cancelPosts(const void* sender) override;

    // How many notices wait now.
    int pendingCount() const { return static_cast<int>(pending.size()); }

private:
    struct Notice {
        uint64_t serial = 0;
        std::function<void()> action;
    };
    void deliver(const void* sender, uint64_t serial);

    // Parent of the notices' timers, so none fires after the scheduler is gone.
    std::unique_ptr<QObject> context;
    std::map<const void*, Notice> pending;
    uint64_t last_serial = 0;
};

} // namespace velmo::platform::qt
