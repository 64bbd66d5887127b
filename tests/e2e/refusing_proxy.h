#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmo::testing {

// An HTTP proxy on a free loopback port in front of the canvas server on `server_port`. The
// appends that carry points are counted; an attempt whose number has a scripted answer gets
// that answer instead of reaching the server, the others go through. Event streams are
// answered 404, so a client behind it polls on its timer. It also records how many appends
// were ever in flight at once. With a `delay`, every command is held that long, half before it
// reaches the server and half before its answer goes back: a slow link.
class RefusingProxy {
public:
    RefusingProxy(int server_port, std::vector<std::string> scripted_answers,
                  std::chrono::milliseconds delay = {})
        : server_port_(server_port), scripted(std::move(scripted_answers)), delay_(delay) {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address = loopback(0);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 16);
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        acceptor = std::thread([this] { acceptLoop(); });
    }
    ~RefusingProxy() {
        stopping = true;
        acceptor.join();
        for (std::thread& t : connections) {
            t.join();
        }
        close(listener);
    }
    RefusingProxy(const RefusingProxy&) = delete;
    RefusingProxy& operator=(const RefusingProxy&) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    int appendAttempts() const {
        std::lock_guard guard(mutex);
        return attempts;
    }
    int refused() const {
        std::lock_guard guard(mutex);
        return refusals;
    }
    int mostAppendsInFlight() const {
        std::lock_guard guard(mutex);
        return most_in_flight;
    }

private:
    static sockaddr_in loopback(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        return address;
    }

    void acceptLoop() {
        while (!stopping) {
            pollfd p{listener, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            const int fd = accept(listener, nullptr, nullptr);
            if (fd >= 0) {
                connections.emplace_back([this, fd] {
                    serve(fd);
                    close(fd);
                });
            }
        }
    }

    // Reads until `done` says the bytes are complete, the peer closes, or the proxy stops.
    bool readUntil(int fd, std::string& data, auto done) {
        while (!stopping && !done()) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            char chunk[8192];
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return false;
            }
            data.append(chunk, static_cast<size_t>(n));
        }
        return done();
    }

    static size_t contentLength(const std::string& head) {
        for (const char* name : {"\r\nContent-Length:", "\r\ncontent-length:"}) {
            const size_t at = head.find(name);
            if (at != std::string::npos) {
                return std::strtoul(head.c_str() + at + 17, nullptr, 10);
            }
        }
        return 0;
    }

    // Waits, but not past the proxy's end.
    void pause(std::chrono::milliseconds time) const {
        const auto until = std::chrono::steady_clock::now() + time;
        while (!stopping && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    static void sendAll(int fd, const std::string& bytes) {
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }

    // One client connection, request after request (the client keeps it alive).
    void serve(int fd) {
        std::string data;
        for (;;) {
            size_t head_end = std::string::npos;
            if (!readUntil(fd, data, [&] {
                    head_end = data.find("\r\n\r\n");
                    return head_end != std::string::npos &&
                           data.size() >= head_end + 4 + contentLength(data.substr(0, head_end));
                })) {
                return;
            }
            const std::string head = data.substr(0, head_end);
            const size_t length = contentLength(head);
            const std::string body = data.substr(head_end + 4, length);
            data.erase(0, head_end + 4 + length);

            if (!head.starts_with("POST ")) {
                sendAll(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
                continue;
            }
            const bool append = body.find(": append: ") != std::string::npos &&
                                !body.ends_with("points:") && !body.ends_with("points: ");
            std::string answer;
            if (append) {
                std::lock_guard guard(mutex);
                const int attempt = attempts++;
                if (attempt < static_cast<int>(scripted.size()) && !scripted[attempt].empty()) {
                    answer = scripted[attempt];
                    ++refusals;
                }
                most_in_flight = std::max(most_in_flight, ++in_flight);
            }
            if (answer.empty()) {
                pause(delay_ / 2);
                answer = forward(head, body);
                pause(delay_ - delay_ / 2);
            }
            if (append) {
                std::lock_guard guard(mutex);
                --in_flight;
            }
            sendAll(fd, answer);
            if (answer.find("\r\nConnection: close") != std::string::npos) {
                return;
            }
        }
    }

    // The server's whole answer to one request, on a connection of its own that it closes.
    std::string forward(const std::string& head, const std::string& body) {
        const int upstream = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(server_port_);
        if (connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(upstream);
            return "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n";
        }
        std::string request = head;
        for (const char* keep : {"\r\nConnection: Keep-Alive", "\r\nConnection: keep-alive"}) {
            if (const size_t at = request.find(keep); at != std::string::npos) {
                request.erase(at, std::string(keep).size());
            }
        }
        sendAll(upstream, request + "\r\nConnection: close\r\n\r\n" + body);
        std::string answer;
        readUntil(upstream, answer, [] { return false; });
        close(upstream);
        return answer;
    }

    int server_port_;
    std::vector<std::string> scripted;
    std::chrono::milliseconds delay_;
    int listener = -1;
    int port_ = 0;
    std::atomic<bool> stopping{false};
    std::thread acceptor;
    std::vector<std::thread> connections;
    mutable std::mutex mutex;
    int attempts = 0;
    int refusals = 0;
    int in_flight = 0;
    int most_in_flight = 0;
};

} // namespace velmo::testing
