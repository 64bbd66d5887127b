#pragma once

#include "support/temp_dir.h"

#include <libpq-fe.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velmo::testing {

// A throw-away PostgreSQL cluster of the test's own: a data folder in a temporary folder,
// the server on a free loopback port with its socket in that folder, stopped and removed at
// the end. It never syncs to disk (fsync=off): what the tests crash is the canvas server, never
// the database, and the machine's disk is shared. The data folder is a copy of one initdb run, made
// once per machine and user and shared by later tests, as initdb takes seconds. PostgreSQL refuses
// to run as root: as root the cluster runs as the `postgres` user. When the binaries are missing,
// running() is false and problem() says why, for GTEST_SKIP.
class PgCluster {
public:
    static constexpr const char* BinDir = "/usr/lib/postgresql/15/bin";

    PgCluster() {
        if (!std::filesystem::exists(std::string(BinDir) + "/postgres") ||
            !std::filesystem::exists(std::string(BinDir) + "/initdb")) {
            problem_ = std::string("PostgreSQL 15 is not installed (no ") + BinDir +
                       "/postgres); the test command installs postgresql-15";
            return;
        }
        if (geteuid() == 0) {
            const passwd* user = getpwnam("postgres");
            if (user == nullptr) {
                problem_ = "running as root and there is no postgres user to run PostgreSQL";
                return;
            }
            uid_ = user->pw_uid;
            gid_ = user->pw_gid;
        }
        const std::string data = dir_.file("data");
        if (!copyTemplate(data)) {
            return;
        }
        port_ = freePort();
        pid_ = spawn({std::string(BinDir) + "/postgres", "-D", data, "-p", std::to_string(port_),
                      "-k", dir_.path().string(), "-c", "listen_addresses=127.0.0.1", "-c",
                      "max_connections=200", "-c", "fsync=off"},
                     dir_.file("postgres.log"));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            if (PQping(uri("postgres").c_str()) == PQPING_OK) {
                if (run("postgres", "CREATE DATABASE velmo")) {
                    running_ = true;
                } else {
                    problem_ = "CREATE DATABASE failed";
                }
                return;
            }
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                problem_ = "postgres exited at start; see " + dir_.file("postgres.log");
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        problem_ = "postgres did not accept connections within a minute";
    }

    ~PgCluster() { stop(); }

    // Stops the server now (as a crash of the database would, for the clients).
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGINT); // fast shutdown
            int status = 0;
            for (int i = 0; i < 400 && waitpid(pid_, &status, WNOHANG) != pid_; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                if (i == 399) {
                    ::kill(pid_, SIGKILL);
                    waitpid(pid_, &status, 0);
                }
            }
            pid_ = -1;
        }
    }
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    bool running() const { return running_; }
    const std::string& problem() const { return problem_; }

    std::string uri(const std::string& database = "velmo") const {
        return "postgresql://postgres@127.0.0.1:" + std::to_string(port_) + "/" + database;
    }

    // Runs statements without parameters on a database of the cluster; false on any failure.
    bool run(const std::string& database, const std::string& sql) const {
        std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(uri(database).c_str()),
                                                        PQfinish);
        if (PQstatus(conn.get()) != CONNECTION_OK) {
            return false;
        }
        std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(conn.get(), sql.c_str()),
                                                              PQclear);
        const ExecStatusType status = PQresultStatus(result.get());
        return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    }

    // The first column of the first row of a query, as text; empty on failure.
    std::string value(const std::string& sql, const std::string& database = "velmo") const {
        std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(uri(database).c_str()),
                                                        PQfinish);
        std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(conn.get(), sql.c_str()),
                                                              PQclear);
        if (PQresultStatus(result.get()) != PGRES_TUPLES_OK || PQntuples(result.get()) < 1) {
            return {};
        }
        return PQgetvalue(result.get(), 0, 0);
    }

private:
    bool copyTemplate(const std::string& data) {
        namespace fs = std::filesystem;
        const fs::path root =
            fs::temp_directory_path() / ("velmo-pg15-template-" + std::to_string(geteuid()));
        const std::string lock_path = root.string() + ".lock";
        const int lock = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
            problem_ = "cannot lock " + lock_path;
            return false;
        }
        const fs::path made = root / "data";
        bool ok = true;
        if (!fs::exists(made / "PG_VERSION")) {
            std::error_code ec;
            fs::remove_all(root, ec);
            fs::create_directories(root, ec);
            giveAway(root);
            // Made aside and renamed once whole: an initdb cut short leaves no template.
            const fs::path making = root / "making";
            const pid_t initdb =
                spawn({std::string(BinDir) + "/initdb", "-D", making.string(), "-A", "trust", "-U",
                       "postgres", "-N", "-E", "UTF8", "--no-locale"},
                      root.string() + "/initdb.log");
            int status = 0;
            waitpid(initdb, &status, 0);
            ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            if (ok) {
                fs::rename(making, made, ec);
                ok = !ec;
            }
            if (!ok) {
                problem_ = "initdb failed; see " + root.string() + "/initdb.log";
            }
        }
        if (ok) {
            giveAway(dir_.path());
            const pid_t copy = spawn({"/bin/cp", "-a", made.string(), data}, "/dev/null");
            int status = 0;
            waitpid(copy, &status, 0);
            ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            if (!ok) {
                problem_ = "cannot copy the template cluster";
            }
        }
        ::close(lock);
        return ok;
    }

    // As root, hands a folder to the user PostgreSQL runs as.
    void giveAway(const std::filesystem::path& path) const {
        if (geteuid() == 0) {
            [[maybe_unused]] const int changed = ::chown(path.c_str(), uid_, gid_);
        }
    }

    static int freePort() {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        close(fd);
        return ntohs(address.sin_port);
    }

    // Runs a program as the cluster's user with its output in `log_path`.
    pid_t spawn(const std::vector<std::string>& args, const std::string& log_path) const {
        std::vector<char*> argv;
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        const bool as_postgres = geteuid() == 0 && args[0] != "/bin/cp";
        const pid_t pid = fork();
        if (pid == 0) {
            // Only async-signal-safe calls until exec.
            const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (log >= 0) {
                dup2(log, 1);
                dup2(log, 2);
            }
            if (as_postgres &&
                (setgroups(0, nullptr) != 0 || setgid(gid_) != 0 || setuid(uid_) != 0)) {
                _exit(127);
            }
            // A test that crashes takes its cluster with it (set after the change of user,
            // which clears it).
            prctl(PR_SET_PDEATHSIG, SIGQUIT);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid;
    }

    TempDir dir_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    int port_ = 0;
    pid_t pid_ = -1;
    bool running_ = false;
    std::string problem_;
};

} // namespace velmo::testing
