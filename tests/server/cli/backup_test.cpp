#include "canvas/stroke_text.h"
#include "support/server_process.h"
#include "support/temp_dir.h"
#include "wire/command_parser.h"
#include "wire/command_text.h"
#include "wire/reply_line.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>

namespace velmo::server {
namespace {

using namespace std::chrono_literals;
using testing::Connection;
using testing::postRequest;
using testing::ServerProcess;

constexpr const char* Canvas = "anna@20100704123456789";

canvas::MWStroke stroke(int64_t client_time) {
    canvas::MWStroke s;
    s.client_time = client_time;
    s.user_name = "anna@1";
    s.pen_properties = {static_cast<int32_t>(0xFF000000u), 2999, 128};
    s.points_x = {0, 1000, 2000};
    s.points_y = {0, 2000, 500};
    return s;
}

std::set<int64_t> storedClientTimes(int port) {
    Connection connection(port);
    connection.send(postRequest("/", wire::getStrokesCommand(Canvas)));
    const auto reply = connection.read();
    std::set<int64_t> times;
    if (!reply || reply->status != 200) {
        ADD_FAILURE() << "get_strokes failed";
        return times;
    }
    for (const auto line : wire::splitReplyLines(reply->body)) {
        if (wire::classifyReplyLine(line).kind == wire::ReplyLineKind::Stroke) {
            times.insert(canvas::stroke_from_text(line, wire::ServerPixelScale).client_time);
        }
    }
    return times;
}

// Appends one stroke after another on one connection, keeping what was acknowledged.
class Appender {
public:
    explicit Appender(int port) : thread_([this, port] { run(port); }) {}
    ~Appender() { stop(); }

    void stop() {
        done_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    std::set<int64_t> acknowledged() {
        std::lock_guard lock(mutex_);
        return acknowledged_;
    }
    void waitFor(size_t count) {
        const auto deadline = testing::Clock::now() + 20s;
        while (acknowledged().size() < count && testing::Clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
    }

private:
    void run(int port) {
        Connection connection(port);
        for (int64_t t = 1; !done_; ++t) {
            if (!connection.send(postRequest("/", wire::appendCommand(Canvas, stroke(t))))) {
                return;
            }
            const auto reply = connection.read(5s);
            if (!reply) {
                return;
            }
            if (reply->status == 200) {
                std::lock_guard lock(mutex_);
                acknowledged_.insert(t);
            }
        }
    }

    std::atomic<bool> done_{false};
    std::mutex mutex_;
    std::set<int64_t> acknowledged_;
    std::thread thread_;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool includes(const std::set<int64_t>& all, const std::set<int64_t>& part) {
    return std::includes(all.begin(), all.end(), part.begin(), part.end());
}

TEST(Backup, ACopyUnderAppendsRestoresEveryAcknowledgedStroke) {
    testing::TempDir dir;
    const std::string db = dir.file("canvas.sqlite");
    const std::string out = dir.file("copy.sqlite");
    ServerProcess server(db, dir.file("server.log"), {"--no-limits", "--quiet"});
    ASSERT_TRUE(server.start()) << server.log();
    Appender appender(server.port());
    appender.waitFor(300);
    const std::set<int64_t> before = appender.acknowledged();
    ASSERT_GE(before.size(), 300u);
    const int status = ServerProcess::runToEnd({"backup", "--db", db, out}, dir.file("backup.log"));
    const std::string said = readFile(dir.file("backup.log"));
    EXPECT_EQ(status, 0) << said;
    // Most strokes were still only in the journal: the case the copy must not lose.
    EXPECT_NE(said.find("backed up"), std::string::npos) << said;
    EXPECT_EQ(said.find("(0 of them from the stroke journal)"), std::string::npos) << said;
    appender.waitFor(before.size() + 100);
    appender.stop();
    const std::set<int64_t> all = appender.acknowledged();
    EXPECT_EQ(server.stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(out + "-strokes.0"));
    EXPECT_FALSE(std::filesystem::exists(out + "-wal"));

    ServerProcess restored(out, dir.file("restored.log"), {"--quiet"});
    ASSERT_TRUE(restored.start()) << restored.log();
    const std::set<int64_t> in_copy = storedClientTimes(restored.port());
    EXPECT_TRUE(includes(in_copy, before)) << in_copy.size() << " of " << before.size();
    EXPECT_TRUE(includes(all, in_copy)); // nothing that was never acknowledged
    restored.stop();

    // An existing file is never written over.
    const auto size = std::filesystem::file_size(out);
    EXPECT_EQ(ServerProcess::runToEnd({"backup", "--db", db, out}, dir.file("again.log")), 2);
    EXPECT_NE(readFile(dir.file("again.log")).find("exists"), std::string::npos);
    EXPECT_EQ(std::filesystem::file_size(out), size);
}

TEST(Backup, ACrashedServersJournalIsInTheCopy) {
    testing::TempDir dir;
    const std::string db = dir.file("canvas.sqlite");
    const std::string out = dir.file("copy.sqlite");
    ServerProcess server(db, dir.file("server.log"), {"--no-limits", "--quiet"});
    ASSERT_TRUE(server.start()) << server.log();
    {
        Appender appender(server.port());
        appender.waitFor(50);
        server.kill(SIGKILL);
        appender.stop();
        const std::set<int64_t> acknowledged = appender.acknowledged();
        // As a service's backup names it: by the server's configuration file.
        const std::string config = dir.file("server.conf");
        std::ofstream(config) << "listen = 127.0.0.1:0\ndb = " << db << "\nquiet = yes\n";
        ASSERT_EQ(
            ServerProcess::runToEnd({"backup", "--config", config, out}, dir.file("backup.log")), 0)
            << readFile(dir.file("backup.log"));
        EXPECT_NE(readFile(dir.file("backup.log")).find("backed up " + db), std::string::npos);
        ServerProcess restored(out, dir.file("restored.log"), {"--quiet"});
        ASSERT_TRUE(restored.start()) << restored.log();
        EXPECT_TRUE(includes(storedClientTimes(restored.port()), acknowledged));
        restored.stop();
    }
    // Nothing to copy from: exit 1, and no file left behind.
    const std::string missing = dir.file("none.sqlite");
    EXPECT_EQ(ServerProcess::runToEnd({"backup", "--db", missing, dir.file("x.sqlite")},
                                      dir.file("missing.log")),
              1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.sqlite")));
    EXPECT_FALSE(std::filesystem::exists(missing));
}

} // namespace
} // namespace velmo::server
