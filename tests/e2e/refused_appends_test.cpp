#include "platform/qt/qt_http_exchange.h"
#include "support/server_process.h"

#include "refusing_proxy.h"
#include "stored_strokes.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

std::string refusal(const std::string& status_line, const std::string& headers = {}) {
    const std::string body = "not now";
    return "HTTP/1.1 " + status_line + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n" + headers + "\r\n" + body;
}

} // namespace

// The real bot draws through a proxy that turns some appends away. What the server says
// "not now" to (503, 429 with Retry-After, a redirect) is sent again until it is stored, once;
// what it refuses for good (403) is lost, and the bot's exit status says so.
TEST(RefusedAppends, TheBotResendsWhatTheServerDeferredAndFailsOnWhatItNeverStored) {
    const struct {
        std::vector<std::string> answers; // by append attempt; empty: passed on
        int refused;
        int stored;
        int exit_code;
    } cases[] = {
        {{refusal("503 Service Unavailable"), "",
          refusal("429 Too Many Requests", "Retry-After: 1\r\n"), "",
          refusal("302 Found", "Location: http://127.0.0.1:1/\r\n")},
         3,
         6,
         0},
        {{"", refusal("403 Forbidden")}, 1, 5, 1},
    };
    int run = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(run);
        QTemporaryDir dir;
        velmo::testing::ServerProcess server(dir.filePath("canvas.db").toStdString(),
                                             dir.filePath("server.log").toStdString());
        ASSERT_TRUE(server.start()) << server.log();
        velmo::testing::RefusingProxy proxy(server.port(), c.answers);
        const std::string canvas_id = "refused@2026120712000000" + std::to_string(run++);

        QProcess bot;
        bot.setProcessChannelMode(QProcess::MergedChannels);
        bot.start(VELMO_BOT_BINARY, {"--server", QString::fromStdString(proxy.url()), "--canvas",
                                     QString::fromStdString(canvas_id), "--nickname", "bot",
                                     "--strokes", "6", "--rate", "20", "--timeout", "90"});
        ASSERT_TRUE(bot.waitForFinished(150000));
        const std::string output = QString::fromUtf8(bot.readAll()).toStdString();
        EXPECT_EQ(bot.exitCode(), c.exit_code) << output;
        EXPECT_EQ(proxy.refused(), c.refused) << output;
        EXPECT_EQ(proxy.mostAppendsInFlight(), 1) << "never two requests in flight";

        const auto stored = velmo::testing::storedStrokes(server.port(), canvas_id, "bot@");
        EXPECT_EQ(static_cast<int>(stored.size()), c.stored) << output << server.log();
        for (const auto& [client_time, count] : stored) {
            EXPECT_EQ(count, 1) << client_time;
        }
        EXPECT_NE(output.find("stored once " + std::to_string(c.stored) + " of 6"),
                  std::string::npos)
            << output;
    }
}
