#pragma once

#include "support/temp_dir.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace velmo::testing {

using Clock = std::chrono::steady_clock;

// The real velmorastra-server in a child process, listening on a free loopback port. Its
// stderr goes to a file the test can read.
class ServerProcess {
public:
    ServerProcess(std::string db_path, std::string log_path, std::vector<std::string> extra = {})
        : db_path_(std::move(db_path)), log_path_(std::move(log_path)), extra_(std::move(extra)) {}
    ~ServerProcess() { kill(SIGKILL); }

    // Starts and waits for the "listening" line; false if the server exits or says nothing.
    bool start(const std::string& listen = "127.0.0.1:0") {
        std::vector<std::string> args = {VELMO_SERVER_BINARY, "--listen", listen, "--db", db_path_};
        args.insert(args.end(), extra_.begin(), extra_.end());
        exit_status_.reset();
        pid_ = spawn(args, log_path_);
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (Clock::now() < deadline) {
            const std::string log = this->log();
            const size_t at = log.find("listening on http://127.0.0.1:");
            if (at != std::string::npos && log.find("/ ", at) != std::string::npos) {
                port_ = std::stoi(log.substr(at + 30));
                return true;
            }
            if (exited()) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Sends the signal and waits for the exit; the exit status, or -1 on a time-out.
    int stop(int signal = SIGTERM, std::chrono::seconds wait = std::chrono::seconds(20)) {
        kill(signal);
        return waitExit(wait);
    }

    int waitExit(std::chrono::seconds wait = std::chrono::seconds(20)) {
        const auto deadline = Clock::now() + wait;
        while (Clock::now() < deadline) {
            if (exited()) {
                return *exit_status_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    void kill(int signal) {
        if (pid_ > 0 && !exited()) {
            ::kill(pid_, signal);
            if (signal == SIGKILL) {
                waitExit();
            }
        }
    }

    bool exited() {
        if (exit_status_) {
            return true;
        }
        if (pid_ <= 0) {
            return true;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
            return true;
        }
        return false;
    }

    std::string log() const {
        std::ifstream in(log_path_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    int port() const { return port_; }

    // The server's resident memory in KiB (VmRSS), 0 when it is not running.
    int64_t residentKiB() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (pid_ > 0 && std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) {
                return std::stoll(line.substr(6));
            }
        }
        return 0;
    }

    // Runs the binary with `args` to completion; its exit status, stderr and stdout in files.
    static int runToEnd(std::vector<std::string> args, const std::string& out_path) {
        args.insert(args.begin(), VELMO_SERVER_BINARY);
        const pid_t pid = spawn(args, out_path, true);
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    static pid_t spawn(const std::vector<std::string>& args, const std::string& log_path,
                       bool stdout_too = false) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, log_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (stdout_too) {
            posix_spawn_file_actions_adddup2(&actions, 2, 1);
        }
        std::vector<char*> argv;
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        pid_t pid = -1;
        posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    std::string db_path_, log_path_;
    std::vector<std::string> extra_;
    pid_t pid_ = -1;
    std::optional<int> exit_status_;
    int port_ = 0;
};

struct HttpReply {
    int status = 0;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    int chunks = 0; // for a chunked body, the chunks it came in, the last empty one included
};

// A blocking client connection to 127.0.0.1 that sends raw bytes, so tests can send what no
// well-behaved client would.
class Connection {
public:
    explicit Connection(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Connection() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool connected() const { return connected_; }

    bool send(const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // The next response, or nothing if the connection closes or nothing comes in time. A reply
    // to HEAD has a head only: `head_only` leaves its announced body unread.
    std::optional<HttpReply> read(std::chrono::milliseconds timeout = std::chrono::seconds(20),
                                  bool head_only = false) {
        const auto deadline = Clock::now() + timeout;
        size_t header_end;
        while ((header_end = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (!fill(deadline)) {
                return std::nullopt;
            }
        }
        HttpReply reply;
        std::istringstream head(buffer_.substr(0, header_end));
        std::string line;
        std::getline(head, line);
        if (line.size() < 12) {
            return std::nullopt;
        }
        reply.status = std::stoi(line.substr(9, 3));
        while (std::getline(head, line)) {
            const size_t colon = line.find(':');
            if (colon == std::string::npos) {
                continue;
            }
            std::string name = line.substr(0, colon);
            for (char& c : name) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
            std::string value = line.substr(colon + 1);
            while (!value.empty() && value.front() == ' ') {
                value.erase(0, 1);
            }
            while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) {
                value.pop_back();
            }
            reply.headers[name] = value;
        }
        buffer_.erase(0, header_end + 4);
        if (head_only || reply.status < 200 || reply.status == 204 || reply.status == 304) {
            return reply; // no body follows
        }
        if (reply.headers.count("transfer-encoding")) {
            return readChunks(std::move(reply), deadline);
        }
        if (!reply.headers.count("content-length")) {
            // The body ends where the connection does.
            while (fill(deadline)) {
            }
            if (!eof_) {
                return std::nullopt;
            }
            reply.body = std::move(buffer_);
            buffer_.clear();
            return reply;
        }
        const size_t length = std::stoul(reply.headers["content-length"]);
        while (buffer_.size() < length) {
            if (!fill(deadline)) {
                return std::nullopt;
            }
        }
        reply.body = buffer_.substr(0, length);
        buffer_.erase(0, length);
        return reply;
    }

    // True when the peer closes the connection within `timeout` (data before the close is
    // dropped).
    bool closedWithin(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (poll(&p, 1, static_cast<int>(std::max<int64_t>(1, left.count()))) <= 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return true;
            }
        }
        return false;
    }

private:
    // A chunked body; nothing unless it ends with its empty last chunk in time.
    std::optional<HttpReply> readChunks(HttpReply reply, Clock::time_point deadline) {
        while (true) {
            size_t eol;
            while ((eol = buffer_.find("\r\n")) == std::string::npos) {
                if (!fill(deadline)) {
                    return std::nullopt;
                }
            }
            const size_t size = std::stoul(buffer_.substr(0, eol), nullptr, 16);
            while (buffer_.size() < eol + 2 + size + 2) {
                if (!fill(deadline)) {
                    return std::nullopt;
                }
            }
            reply.body.append(buffer_, eol + 2, size);
            buffer_.erase(0, eol + 2 + size + 2);
            ++reply.chunks;
            if (size == 0) {
                return reply;
            }
        }
    }

    bool fill(Clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char chunk[65536];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            eof_ = n == 0;
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    int fd_ = -1;
    bool eof_ = false;
    bool connected_ = false;
    std::string buffer_;
};

inline std::string postRequest(const std::string& target, const std::string& body,
                               const std::string& extra_headers = "") {
    return "POST " + target +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n" + extra_headers + "\r\n" + body;
}

inline std::string getRequest(const std::string& target, const std::string& extra_headers = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra_headers + "\r\n";
}

} // namespace velmo::testing
