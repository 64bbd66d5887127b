#include "app/quit_signals.h"

#include <QCoreApplication>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velmo::app {
namespace {

int signal_pipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    // Nothing else is safe in a signal handler; a full pipe already holds a quit.
    [[maybe_unused]] const ssize_t written = ::write(signal_pipe[1], &byte, 1);
}

} // namespace

QuitSignals::QuitSignals() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signal_pipe) != 0) {
        return;
    }
    ::fcntl(signal_pipe[1], F_SETFL, O_NONBLOCK);
    notifier = std::make_unique<QSocketNotifier>(signal_pipe[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(signal_pipe[0], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

QuitSignals::~QuitSignals() {
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    notifier.reset();
    for (int& fd : signal_pipe) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
}

} // namespace velmo::app
