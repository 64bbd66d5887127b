#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmo::testing {

// A tiny HTTP/1.1 server on 127.0.0.1 and a free port, on its own thread, so it answers even
// while the test's own thread is blocked. Each connection carries one request and gets the
// scripted answer after `delay`, or nothing at all when `silent`.
class LoopbackHttpServer {
public:
    struct Request {
        std::string head;
        std::string body;
    };

    LoopbackHttpServer() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 16);
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread = std::thread([this] { run(); });
    }
    ~LoopbackHttpServer() {
        stopping = true;
        thread.join();
        close(listener);
    }
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path = "/") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    // `headers` are extra header lines, each ending in CR LF.
    void setAnswer(int status, std::string body, std::chrono::milliseconds delay = {},
                   std::string headers = {}) {
        std::lock_guard guard(mutex);
        answer_status = status;
        answer_body = std::move(body);
        answer_headers = std::move(headers);
        answer_delay = delay;
        silent = false;
    }
    void setSilent() {
        std::lock_guard guard(mutex);
        silent = true;
    }
    std::vector<Request> requests() const {
        std::lock_guard guard(mutex);
        return received;
    }

private:
    void run() {
        while (!stopping) {
            pollfd p{listener, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            const int fd = accept(listener, nullptr, nullptr);
            if (fd >= 0) {
                serve(fd);
                close(fd);
            }
        }
    }

    void serve(int fd) {
        std::string data;
        size_t head_end = std::string::npos;
        size_t length = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!stopping && std::chrono::steady_clock::now() < deadline) {
            if (head_end != std::string::npos && data.size() >= head_end + 4 + length) {
                break;
            }
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return;
            }
            data.append(chunk, static_cast<size_t>(n));
            if (head_end == std::string::npos) {
                head_end = data.find("\r\n\r\n");
                if (head_end != std::string::npos) {
                    length = contentLength(data.substr(0, head_end));
                }
            }
        }
        if (head_end == std::string::npos) {
            return;
        }
        int status;
        std::string body;
        std::string headers;
        std::chrono::milliseconds delay;
        bool quiet;
        {
            std::lock_guard guard(mutex);
            received.push_back({data.substr(0, head_end), data.substr(head_end + 4, length)});
            status = answer_status;
            body = answer_body;
            headers = answer_headers;
            delay = answer_delay;
            quiet = silent;
        }
        const auto until = std::chrono::steady_clock::now() + delay;
        while (!stopping && (quiet || std::chrono::steady_clock::now() < until)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (quiet) {
            return;
        }
        const std::string reply =
            "HTTP/1.1 " + std::to_string(status) +
            " X\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\nConnection: close\r\n" + headers + "\r\n" + body;
        send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    }

    static size_t contentLength(const std::string& head) {
        std::string lower = head;
        for (char& c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        const size_t at = lower.find("content-length:");
        return at == std::string::npos ? 0 : std::strtoul(lower.c_str() + at + 15, nullptr, 10);
    }

    int listener = -1;
    int port_ = 0;
    std::atomic<bool> stopping{false};
    std::thread thread;
    mutable std::mutex mutex;
    int answer_status = 200;
    std::string answer_body;
    std::string answer_headers;
    std::chrono::milliseconds answer_delay{0};
    bool silent = false;
    std::vector<Request> received;
};

} // namespace velmo::testing
