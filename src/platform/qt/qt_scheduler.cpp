#include "platform/qt/qt_scheduler.h"

#include <QObject>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace velmo::platform::qt {
namespace {

class QtRepeatingTimer : public RepeatingTimer {
public:
    QtRepeatingTimer(double interval_seconds, std::function<void()> action) {
        const double ms = std::clamp(interval_seconds * 1000.0, 0.0, 24.0 * 3600.0 * 1000.0);
        timer.setInterval(static_cast<int>(std::lround(ms)));
        // Polls every five seconds; a coarse timer could drift a quarter of a second late.
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, &timer, std::move(action));
        timer.start();
    }

private:
    QTimer timer;
};

} // namespace

QtScheduler::QtScheduler() : context(std::make_unique<QObject>()) {}

QtScheduler::~QtScheduler() = default;

std::unique_ptr<RepeatingTimer> QtScheduler::scheduleRepeating(double interval_seconds,
                                                               std::function<void()> action) {
    return std::make_unique<QtRepeatingTimer>(interval_seconds, std::move(action));
}

void QtScheduler::postWhenIdle(const void* sender, std::function<void()> action) {
    if (pending.count(sender) != 0) {
        return;
    }
    const uint64_t serial = ++last_serial;
    pending[sender] = {serial, std::move(action)};
    // A timer object of no interval fires once the queued events have all been handled; the
    // static single shot of 0 ms is a queued call instead, which a chain of posts (a canvas
    // taking in its strokes a slice at a time) would run ahead of due timers and input.
    auto* timer = new QTimer(context.get());
    timer->setSingleShot(true);
    timer->setInterval(0);
    QObject::connect(timer, &QTimer::timeout, context.get(), [this, timer, sender, serial] {
        timer->deleteLater();
        deliver(sender, serial);
    });
    timer->start();
}

void QtScheduler::cancelPosts(const void* sender) {
    pending.erase(sender);
}

void QtScheduler::deliver(const void* sender, uint64_t serial) {
    const auto it = pending.find(sender);
    // A cancelled notice, or one cancelled and posted anew (that one has its own timer).
    if (it == pending.end() || it->second.serial != serial) {
        return;
    }
    // Taken off first: the action may post the next notice of the same sender.
    std::function<void()> action = std::move(it->second.action);
    pending.erase(it);
    action();
}

} // namespace velmo::platform::qt
