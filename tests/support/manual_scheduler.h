#pragma once

#include "platform/scheduler.h"

#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace velmo::testing {

// A scheduler that runs nothing by itself: `tick` fires every live repeating timer once and
// `runIdle` delivers the waiting notices, as an idle run loop would.
class ManualScheduler : public platform::Scheduler {
public:
    std::unique_ptr<platform::RepeatingTimer>
    scheduleRepeating(double interval_seconds, std::function<void()> action) override {
        const int id = next_timer_id++;
        timers[id] = {interval_seconds, std::move(action)};
        return std::make_unique<Timer>(*this, id);
    }

    void postWhenIdle(const void* sender, std::function<void()> action) override {
        ++posts;
        for (const auto& notice : pending) {
            if (notice.first == sender) {
                return;
            }
        }
        pending.emplace_back(sender, std::move(action));
    }

    void cancelPosts(const void* sender) override {
        std::erase_if(pending, [&](const auto& notice) { return notice.first == sender; });
    }

    void tick() {
        std::vector<std::function<void()>> actions;
        for (const auto& [id, timer] : timers) {
            actions.push_back(timer.action);
        }
        for (auto& action : actions) {
            action();
        }
    }

    // Delivers the notices waiting now; notices posted meanwhile wait for the next call.
    int runIdle() {
        auto batch = std::move(pending);
        pending.clear();
        for (auto& notice : batch) {
            notice.second();
        }
        return static_cast<int>(batch.size());
    }

    struct TimerEntry {
        double interval = 0;
        std::function<void()> action;
    };
    std::map<int, TimerEntry> timers;
    std::vector<std::pair<const void*, std::function<void()>>> pending;
    int posts = 0;

private:
    class Timer : public platform::RepeatingTimer {
    public:
        Timer(ManualScheduler& owner, int id) : owner_(owner), id_(id) {}
        ~Timer() override { owner_.timers.erase(id_); }

    private:
        ManualScheduler& owner_;
        int id_;
    };
    int next_timer_id = 1;
};

} // namespace velmo::testing
