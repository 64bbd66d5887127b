#include "cli/service_notify.h"

#include <cstdint>
#include <string>

#ifdef VELMO_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace velmo::server {

#ifdef VELMO_HAVE_SYSTEMD

bool ServiceNotify::supported() {
    return true;
}

// The environment is left as it is (unset_environment 0): every later message needs the socket
// it names.
void ServiceNotify::ready(std::string_view status) const {
    std::string message = "READY=1\nSTATUS=";
    for (const char c : status) {
        // One line: a newline would start another assignment.
        message += c == '\n' ? ' ' : c;
    }
    sd_notify(0, message.c_str());
}

void ServiceNotify::alive() const {
    sd_notify(0, "WATCHDOG=1");
}

void ServiceNotify::stopping() const {
    sd_notify(0, "STOPPING=1\nSTATUS=stopping");
}

std::optional<std::chrono::microseconds> ServiceNotify::aliveInterval() const {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec < 2) {
        return std::nullopt;
    }
    return std::chrono::microseconds(static_cast<int64_t>(usec / 2));
}

#else

bool ServiceNotify::supported() {
    return false;
}

void ServiceNotify::ready(std::string_view) const {}

void ServiceNotify::alive() const {}

void ServiceNotify::stopping() const {}

std::optional<std::chrono::microseconds> ServiceNotify::aliveInterval() const {
    return std::nullopt;
}

#endif

} // namespace velmo::server
