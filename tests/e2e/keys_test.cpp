#include "canvas/stroke_text.h"
#include "platform/qt/qt_http_exchange.h"
#include "support/server_process.h"
#include "wire/command_text.h"
#include "wire/key_header.h"
#include "wire/reply_line.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using velmo::platform::HttpAnswer;

std::optional<HttpAnswer> command(int port, const std::string& body, const std::string& key = {}) {
    velmo::platform::qt::QtHttpExchange http;
    velmo::platform::HttpRequest request;
    request.url = "http://127.0.0.1:" + std::to_string(port) + "/";
    request.body = body;
    if (!key.empty()) {
        request.headers.emplace_back(velmo::wire::KeyHeaderName, key);
    }
    return http.sendSynchronously(request);
}

std::vector<velmo::canvas::MWStroke> storedStrokes(int port, const std::string& canvas_id) {
    std::vector<velmo::canvas::MWStroke> strokes;
    const auto answer = command(port, velmo::wire::getStrokesCommand(canvas_id));
    EXPECT_TRUE(answer && answer->status.code == 200);
    if (answer) {
        for (const auto line : velmo::wire::splitReplyLines(answer->body)) {
            if (velmo::wire::classifyReplyLine(line).kind == velmo::wire::ReplyLineKind::Stroke) {
                strokes.push_back(velmo::canvas::stroke_from_text(line, 0.001f));
            }
        }
    }
    return strokes;
}

} // namespace

// The real bot draws and undoes, its key with every command; a stranger who reads the bot's
// user name and client times from the canvas cannot delete its strokes, poll in its name or
// set the canvas's pictures.
TEST(Keys, AStrangerCannotUndoTheBotsStrokes) {
    QTemporaryDir dir;
    velmo::testing::ServerProcess server(dir.filePath("canvas.db").toStdString(),
                                         dir.filePath("server.log").toStdString());
    ASSERT_TRUE(server.start()) << server.log();
    const int port = server.port();
    const std::string canvas_id = "keys@20261208120000000";

    QProcess bot;
    bot.setProcessChannelMode(QProcess::MergedChannels);
    bot.start(VELMO_BOT_BINARY,
              {"--server", QString::fromStdString("http://127.0.0.1:" + std::to_string(port) + "/"),
               "--canvas", QString::fromStdString(canvas_id), "--nickname", "bot", "--strokes", "3",
               "--undo", "1", "--rate", "20", "--timeout", "60"});
    ASSERT_TRUE(bot.waitForFinished(120000));
    const std::string output = QString::fromUtf8(bot.readAll()).toStdString();
    ASSERT_EQ(bot.exitCode(), 0) << output << server.log();
    EXPECT_NE(output.find("stored once 2 of 2"), std::string::npos) << output;
    EXPECT_NE(output.find("undone 1, still stored 0"), std::string::npos) << output;

    const auto before = storedStrokes(port, canvas_id);
    ASSERT_EQ(before.size(), 2u);
    const velmo::canvas::MWStroke& target = before.back();
    ASSERT_EQ(target.user_name.rfind("bot@", 0), 0u) << target.user_name;

    const std::string stranger =
        velmo::wire::keyHeaderValue(target.user_name, std::string(16, 's'));
    const std::string erase = velmo::wire::deleteCommand(canvas_id, target);
    velmo::canvas::MWStroke poll;
    poll.user_name = target.user_name;
    poll.client_time = target.client_time + 1;
    const struct {
        const char* what;
        std::string body;
        std::string key;
    } refused[] = {
        {"delete without a key", erase, ""},
        {"delete with the stranger's key", erase, stranger},
        {"poll in the bot's name", velmo::wire::appendCommand(canvas_id, poll), stranger},
        {"picture from a user without a stroke",
         velmo::wire::updateThumbnailCommand(canvas_id, "http://evil.test/t.png"),
         velmo::wire::keyHeaderValue("mallory@1", std::string(16, 'm'))},
    };
    for (const auto& c : refused) {
        const auto answer = command(port, c.body, c.key);
        ASSERT_TRUE(answer) << c.what;
        EXPECT_EQ(answer->status.code, 403) << c.what << ": " << answer->body;
    }
    EXPECT_EQ(storedStrokes(port, canvas_id), before);
    server.stop();
    EXPECT_NE(server.log().find("403 39 "), std::string::npos) << server.log();
    EXPECT_NE(server.log().find("\"this user name is bound to another key\""), std::string::npos)
        << server.log();
}
