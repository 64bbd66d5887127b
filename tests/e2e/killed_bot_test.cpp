#include "support/server_process.h"

#include "refusing_proxy.h"
#include "stored_strokes.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace {

struct BotOutput {
    std::string canvas_id;
    std::set<std::string> drawn; // " client_time:<n>", as storedStrokes names them
};

BotOutput readOutput(const std::string& output) {
    BotOutput out;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with("canvas ")) {
            out.canvas_id = line.substr(7);
        } else if (line.starts_with("drawn ") && line.find(' ', 6) == std::string::npos) {
            out.drawn.insert(" client_time:" + line.substr(6));
        }
    }
    return out;
}

QStringList botArguments(const std::string& server_url, const QString& settings, int strokes,
                         unsigned seed) {
    return {"--server",       QString::fromStdString(server_url),
            "--settings",     settings,
            "--nickname",     "bot",
            "--strokes",      QString::number(strokes),
            "--rate",         "5",
            "--seed",         QString::number(seed),
            "--timeout",      "60",
            "--print-strokes"};
}

} // namespace

// The real bot draws over a slow link (400 ms a request) and is killed with SIGKILL at random
// moments, then started again on the same settings file. Every stroke it reported finished
// reaches the server exactly once, and every start opens the canvas the first one named.
TEST(KilledBot, EveryFinishedStrokeReachesTheServerOnceAndTheCanvasStaysOpen) {
    QTemporaryDir dir;
    velmo::testing::ServerProcess server(dir.filePath("canvas.db").toStdString(),
                                         dir.filePath("server.log").toStdString());
    ASSERT_TRUE(server.start()) << server.log();
    velmo::testing::RefusingProxy proxy(server.port(), {}, std::chrono::milliseconds(400));
    const QString settings = dir.filePath("bot.ini");

    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> moment_ms(200, 2200);
    std::set<std::string> drawn;
    std::string canvas_id;
    std::string outputs;
    const int kills = 5;
    for (int run = 0; run <= kills; ++run) {
        SCOPED_TRACE(run);
        const bool last = run == kills;
        QProcess bot;
        bot.setProcessChannelMode(QProcess::SeparateChannels);
        bot.start(VELMO_BOT_BINARY, botArguments(proxy.url(), settings, last ? 1 : 8,
                                                 static_cast<unsigned>(run + 1)));
        ASSERT_TRUE(bot.waitForStarted(10000));
        if (last) {
            ASSERT_TRUE(bot.waitForFinished(90000));
            EXPECT_EQ(bot.exitCode(), 0) << outputs << bot.readAllStandardOutput().toStdString();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(moment_ms(random)));
            ::kill(static_cast<pid_t>(bot.processId()), SIGKILL);
            ASSERT_TRUE(bot.waitForFinished(10000));
            EXPECT_EQ(bot.exitStatus(), QProcess::CrashExit);
        }
        const std::string output = bot.readAllStandardOutput().toStdString();
        outputs += output + "--\n";
        const BotOutput seen = readOutput(output);
        if (canvas_id.empty()) {
            canvas_id = seen.canvas_id;
            ASSERT_FALSE(canvas_id.empty()) << output;
        } else if (!seen.canvas_id.empty()) {
            EXPECT_EQ(seen.canvas_id, canvas_id) << output;
        }
        drawn.insert(seen.drawn.begin(), seen.drawn.end());
    }
    EXPECT_GE(drawn.size(), 6u) << "too few strokes drawn before the kills to prove much\n"
                                << outputs;

    const auto stored = velmo::testing::storedStrokes(server.port(), canvas_id, "bot@");
    for (const std::string& client_time : drawn) {
        const auto it = stored.find(client_time);
        EXPECT_TRUE(it != stored.end() && it->second == 1)
            << client_time << " stored " << (it == stored.end() ? 0 : it->second) << " times";
    }
    // A stroke finished just before a kill, too late to be reported, may be there as well,
    // but never twice.
    for (const auto& [client_time, count] : stored) {
        EXPECT_EQ(count, 1) << client_time;
    }
}
