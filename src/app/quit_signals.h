#pragma once

#include <QSocketNotifier>

#include <memory>

namespace velmo::app {

// SIGTERM and SIGINT end the client like a quit from the window: the event loop ends, the
// state is saved, and the process exits with status 0. The signal handler only writes a
// byte to a pipe; the quit happens on the UI thread.
class QuitSignals {
public:
    QuitSignals();
    ~QuitSignals();
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

private:
    std::unique_ptr<QSocketNotifier> notifier;
};

} // namespace velmo::app
