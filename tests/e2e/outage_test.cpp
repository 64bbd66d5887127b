#include "support/server_process.h"

#include "stored_strokes.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::system_clock;

int64_t wallMs() {
    return std::chrono::duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// The client times the bot printed as it finished its strokes.
std::vector<int64_t> drawnTimes(const std::string& output) {
    std::vector<int64_t> times;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with("drawn ") && line.find(' ', 6) == std::string::npos) {
            times.push_back(std::stoll(line.substr(6)));
        }
    }
    return times;
}

#ifdef VELMO_SANITIZED
constexpr double Target = 6.0; // the sanitizers slow every request several times over
#else
constexpr double Target = 2.0;
#endif

} // namespace

// The real bot draws while the real server is away for 20 seconds (stopped, then started again
// on the same port and database). The strokes it drew meanwhile are stored soon after the
// server is back: the client probes an absent server about once a second and sends its queue
// the moment one answers.
TEST(Outage, StrokesDrawnDuringA20SecondOutageAreStoredWithin2SecondsOfTheReturn) {
    QTemporaryDir dir;
    velmo::testing::ServerProcess server(dir.filePath("canvas.db").toStdString(),
                                         dir.filePath("server.log").toStdString());
    ASSERT_TRUE(server.start()) << server.log();
    const int port = server.port();
    const std::string canvas_id = "outage@20261210120000000";
    const int strokes = 12;

    QProcess bot;
    bot.setProcessChannelMode(QProcess::SeparateChannels);
    bot.start(VELMO_BOT_BINARY,
              {"--server", QString::fromStdString("http://127.0.0.1:" + std::to_string(port) + "/"),
               "--settings", dir.filePath("bot.ini"), "--canvas", QString::fromStdString(canvas_id),
               "--nickname", "bot", "--strokes", QString::number(strokes), "--rate", "0.6",
               "--timeout", "60", "--print-strokes"});
    ASSERT_TRUE(bot.waitForStarted(10000));

    // The outage begins once the first strokes are in.
    const auto deadline = velmo::testing::Clock::now() + std::chrono::seconds(30);
    while (velmo::testing::storedStrokes(port, canvas_id, "bot@").size() < 2 &&
           velmo::testing::Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(20));
    }
    ASSERT_GE(velmo::testing::storedStrokes(port, canvas_id, "bot@").size(), 2u) << server.log();
    const int64_t outage_began = wallMs();
    ASSERT_EQ(server.stop(), 0) << server.log();
    std::this_thread::sleep_for(std::chrono::seconds(20));

    ASSERT_TRUE(server.start("127.0.0.1:" + std::to_string(port))) << server.log();
    const auto back = velmo::testing::Clock::now();
    const int64_t outage_ended = wallMs();
    size_t stored = 0;
    while ((stored = velmo::testing::storedStrokes(port, canvas_id, "bot@").size()) < strokes &&
           velmo::testing::Clock::now() < back + std::chrono::seconds(30)) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    const double seconds =
        std::chrono::duration<double>(velmo::testing::Clock::now() - back).count();
    std::printf("outage: %zu of %d strokes stored %.3f s after the server's return\n", stored,
                strokes, seconds);
    EXPECT_EQ(stored, static_cast<size_t>(strokes)) << server.log();
    EXPECT_LE(seconds, Target);

    ASSERT_TRUE(bot.waitForFinished(90000));
    EXPECT_EQ(bot.exitCode(), 0);
    const std::string output = bot.readAllStandardOutput().toStdString();
    const std::vector<int64_t> drawn = drawnTimes(output);
    EXPECT_EQ(drawn.size(), static_cast<size_t>(strokes)) << output;
    int during = 0;
    for (const int64_t t : drawn) {
        during += t > outage_began && t < outage_ended ? 1 : 0;
    }
    EXPECT_GE(during, strokes / 2) << "the strokes must be drawn while the server is away\n"
                                   << output;
    // Each exactly once, however often it was tried.
    for (const auto& [client_time, count] :
         velmo::testing::storedStrokes(port, canvas_id, "bot@")) {
        EXPECT_EQ(count, 1) << client_time;
    }
}
