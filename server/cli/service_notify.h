#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace velmo::server {

// What the server tells the service manager that started it (systemd, with Type=notify): that
// it is ready, that it is still alive, that it is stopping. Started without a notification
// socket in its environment (by hand, by a test), or built without libsystemd, every call does
// nothing. Stateless: callable from any thread, copied freely.
class ServiceNotify {
public:
    // Whether this build can tell the service manager anything at all.
    static bool supported();

    // The server listens: clients may connect now. `status` is what `systemctl status` shows.
    void ready(std::string_view status) const;
    // Proof of life for the watchdog, due every aliveInterval().
    void alive() const;
    // The server has begun to stop: requests in flight are being answered.
    void stopping() const;
    // Half the watchdog interval the service manager asked for (WatchdogSec=), so that one late
    // ping is no missed one; nothing when it asked for none.
    std::optional<std::chrono::microseconds> aliveInterval() const;
};

} // namespace velmo::server
