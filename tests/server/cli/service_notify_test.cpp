#include "cli/service_notify.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/un.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace velmo::server {
namespace {

using namespace std::chrono_literals;
using testing::Clock;
using testing::ServerProcess;

using Variables = std::vector<std::pair<std::string, std::optional<std::string>>>;

// Sets (or, for nothing, unsets) environment variables for as long as it lives, so that a
// server started meanwhile inherits them; then puts back what was there.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const Variables& values) {
        for (const auto& [name, value] : values) {
            const char* before = std::getenv(name.c_str());
            saved_.push_back(
                {name, before != nullptr ? std::optional<std::string>(before) : std::nullopt});
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, before] : saved_) {
            if (before) {
                setenv(name.c_str(), before->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    Variables saved_;
};

// The service manager's end: a unix datagram socket at a path, as NOTIFY_SOCKET names it.
class NotifySocket {
public:
    explicit NotifySocket(std::string path) : path_(std::move(path)) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path_.size() < sizeof address.sun_path) {
            std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
            bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        }
    }
    ~NotifySocket() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool bound() const { return bound_; }
    const std::string& path() const { return path_; }

    // The next message, or nothing within `timeout`.
    std::optional<std::string> receive(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
            return std::nullopt;
        }
        char buffer[4096];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) {
            return std::nullopt;
        }
        return std::string(buffer, static_cast<size_t>(n));
    }

    // Every message that comes within `span`.
    std::vector<std::string> receiveFor(std::chrono::milliseconds span) {
        std::vector<std::string> messages;
        const auto deadline = Clock::now() + span;
        while (Clock::now() < deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (auto message = receive(std::max(left, 1ms))) {
                messages.push_back(std::move(*message));
            }
        }
        return messages;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

bool hasLine(const std::string& message, const std::string& line) {
    return ("\n" + message + "\n").find("\n" + line + "\n") != std::string::npos;
}

size_t countWith(const std::vector<std::string>& messages, const std::string& line) {
    size_t count = 0;
    for (const auto& message : messages) {
        count += hasLine(message, line) ? 1 : 0;
    }
    return count;
}

TEST(ServiceNotify, WatchdogIntervalIsHalfWhatTheManagerAsks) {
    struct Case {
        const char* watchdog_usec; // nullptr: not set
        std::optional<std::chrono::microseconds> interval;
    };
    const Case cases[] = {
        {"30000000", 15s},   {"200000", 100ms},      {nullptr, std::nullopt},
        {"0", std::nullopt}, {"soon", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.watchdog_usec != nullptr ? c.watchdog_usec : "(unset)");
        ScopedEnvironment environment(
            {{"WATCHDOG_USEC", c.watchdog_usec != nullptr
                                   ? std::optional<std::string>(c.watchdog_usec)
                                   : std::nullopt}});
        EXPECT_EQ(ServiceNotify().aliveInterval(),
                  ServiceNotify::supported() ? c.interval : std::nullopt);
    }
}

// The real server under a stand-in for systemd: READY=1 once it listens, WATCHDOG=1 at half the
// interval asked for (and none when none is asked for), STOPPING=1 on SIGTERM, then a clean exit.
TEST(ServiceNotify, TheServerTellsReadyWatchdogAndStopping) {
    if (!ServiceNotify::supported()) {
        GTEST_SKIP() << "built without libsystemd: the server tells no service manager";
    }
    for (const bool watchdog : {true, false}) {
        SCOPED_TRACE(watchdog ? "WATCHDOG_USEC=200000" : "no watchdog");
        testing::TempDir dir;
        NotifySocket manager(dir.file("notify"));
        ASSERT_TRUE(manager.bound()) << std::strerror(errno);
        ServerProcess server(dir.file("canvas.sqlite"), dir.file("server.log"), {"--quiet"});
        {
            ScopedEnvironment environment(
                {{"NOTIFY_SOCKET", manager.path()},
                 {"WATCHDOG_USEC",
                  watchdog ? std::optional<std::string>("200000") : std::nullopt}});
            ASSERT_TRUE(server.start()) << server.log();
        }
        const auto ready = manager.receive(10s);
        ASSERT_TRUE(ready) << "no message from the server";
        EXPECT_TRUE(hasLine(*ready, "READY=1")) << *ready;
        EXPECT_TRUE(hasLine(
            *ready, "STATUS=listening on http://127.0.0.1:" + std::to_string(server.port()) + "/"))
            << *ready;

        // 100 ms apart: about 15 in 1.5 s, bounded loosely for a busy machine.
        const auto running = manager.receiveFor(1500ms);
        const size_t pings = countWith(running, "WATCHDOG=1");
        if (watchdog) {
            EXPECT_GE(pings, 5u);
            EXPECT_LE(pings, 20u);
        } else {
            EXPECT_EQ(pings, 0u);
        }
        EXPECT_EQ(countWith(running, "READY=1"), 0u);
        EXPECT_EQ(countWith(running, "STOPPING=1"), 0u);

        server.kill(SIGTERM);
        const auto stopping = manager.receiveFor(1000ms);
        EXPECT_EQ(countWith(stopping, "STOPPING=1"), 1u);
        EXPECT_EQ(server.waitExit(), 0) << server.log();
        // Nothing after the stop began: the watchdog is no longer fed.
        bool stopped = false;
        for (const auto& message : stopping) {
            EXPECT_FALSE(stopped && hasLine(message, "WATCHDOG=1")) << message;
            stopped = stopped || hasLine(message, "STOPPING=1");
        }
    }
}

} // namespace
} // namespace velmo::server
