#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace velmo::testing {

// A program run in a child process with its output in a file; killed if still running when
// this goes.
class ChildProcess {
public:
    ChildProcess(std::vector<std::string> args, std::string output_path)
        : output(std::move(output_path)) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ChildProcess() {
        if (!status && pid > 0) {
            ::kill(pid, SIGKILL);
            wait(std::chrono::seconds(10));
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void signal(int number) const {
        if (!status && pid > 0) {
            ::kill(pid, number);
        }
    }

    // The exit status (128 + signal when killed), or nothing if it still runs after `limit`.
    std::optional<int> wait(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!status) {
            int raw = 0;
            if (waitpid(pid, &raw, WNOHANG) == pid) {
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return status;
    }

    std::string log() const {
        std::ifstream in(output);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    std::string output;
    pid_t pid = -1;
    std::optional<int> status;
};

} // namespace velmo::testing
