#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>

namespace velmo::testing {

// Runs the event loop until `done` holds or `timeout_ms` passes; whether it held.
inline bool spinUntil(const std::function<bool()>& done, int timeout_ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout_ms) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

// Runs the event loop for `ms` milliseconds.
inline void spinFor(int ms) {
    spinUntil([] { return false; }, ms);
}

} // namespace velmo::testing
