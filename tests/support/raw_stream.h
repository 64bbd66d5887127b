#pragma once

#include "support/server_process.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace velmo::testing {

// An event stream of a server on 127.0.0.1 read as raw bytes, with no client code between:
// enough to see which events came, and in what words.
class RawStream {
public:
    // GET `target` (an /events/ path) as an event stream, with further header lines.
    RawStream(int port, const std::string& target, const std::string& headers = "") {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            const std::string request =
                getRequest(target, "Accept: text/event-stream\r\n" + headers);
            [[maybe_unused]] const ssize_t sent =
                ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
        }
    }
    ~RawStream() { close(fd_); }
    RawStream(const RawStream&) = delete;
    RawStream& operator=(const RawStream&) = delete;

    // True once the bytes received hold `text`, within `timeout`; what came is kept, so a later
    // wait sees it too. False as soon as the server closes the stream.
    bool waitFor(const std::string& text,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = Clock::now() + timeout;
        while (received_.find(text) == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            char chunk[4096];
            const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return false;
            }
            received_.append(chunk, static_cast<size_t>(n));
        }
        return true;
    }

private:
    int fd_ = -1;
    std::string received_;
};

} // namespace velmo::testing
