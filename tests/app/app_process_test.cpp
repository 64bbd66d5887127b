#include "app/single_instance.h"
#include "child_process.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

using velmo::testing::ChildProcess;
using namespace std::chrono_literals;

namespace {

// A loopback port that nothing listens on: the client's requests fail at once.
std::string deadServer() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
}

class AppProcessTest : public ::testing::Test {
protected:
    AppProcessTest() { setenv("QT_QPA_PLATFORM", "offscreen", 1); }

    std::string settingsFile() const { return dir.filePath("client.ini").toStdString(); }

    std::unique_ptr<ChildProcess> startClient(std::vector<std::string> extra,
                                              const std::string& log_name = "client.log") {
        std::vector<std::string> args = {
            VELMO_CLIENT_BINARY, "--settings", settingsFile(), "--size",
            "320x480",           "--server",   server};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<ChildProcess>(args, dir.filePath(log_name.c_str()).toStdString());
    }

    // The client listens for later starts once its window is built.
    bool waitUntilListening() const { return waitUntilListening(settingsFile()); }
    static bool waitUntilListening(const std::string& settings_file) {
        const QString key = velmo::app::SingleInstance::keyFor(
            QFileInfo(QString::fromStdString(settings_file)).absoluteFilePath());
        const QString socket_path = QDir::tempPath() + "/" + key;
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (QFileInfo::exists(socket_path)) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    QString saved(const char* key) const {
        QSettings settings(QString::fromStdString(settingsFile()), QSettings::IniFormat);
        return settings.value(key).toString();
    }

    QTemporaryDir dir;
    std::string server = deadServer();
};

} // namespace

TEST_F(AppProcessTest, TermAndIntQuitWithTheStateSavedAndStatusZero) {
    for (const int signal : {SIGTERM, SIGINT}) {
        const std::string id =
            signal == SIGTERM ? "anna@20100704123456789" : "bob@20100704123456789";
        auto client = startClient({"velmorastra://" + id});
        ASSERT_TRUE(waitUntilListening()) << client->log();
        // The link is opened right after the launch, before the event loop runs.
        std::this_thread::sleep_for(300ms);
        client->signal(signal);
        EXPECT_EQ(client->wait(30s), 0) << client->log();
        EXPECT_EQ(saved("CanvasID"), QString::fromStdString(id)) << client->log();
        EXPECT_EQ(saved("UserNickname"), "public");
    }
}

TEST_F(AppProcessTest, ALinkGivenToASecondStartOpensInTheRunningClient) {
    auto running = startClient({});
    ASSERT_TRUE(waitUntilListening()) << running->log();
    auto second = startClient({"velmorastra://carla%4020100704123456789"}, "second.log");
    EXPECT_EQ(second->wait(30s), 0) << second->log();
    EXPECT_FALSE(running->wait(200ms).has_value()) << "the running client goes on";
    std::this_thread::sleep_for(500ms);
    running->signal(SIGTERM);
    EXPECT_EQ(running->wait(30s), 0) << running->log();
    EXPECT_EQ(saved("CanvasID"), "carla@20100704123456789");
}

TEST_F(AppProcessTest, ClientsWithTheirOwnSettingsFilesRunSideBySide) {
    auto first = startClient({"velmorastra://anna@20100704123456789"});
    ASSERT_TRUE(waitUntilListening()) << first->log();
    const std::string other_settings = dir.filePath("other.ini").toStdString();
    ChildProcess second({VELMO_CLIENT_BINARY, "--settings", other_settings, "--size", "320x480",
                         "--server", server, "velmorastra://bob@20100704123456789"},
                        dir.filePath("other.log").toStdString());
    EXPECT_TRUE(waitUntilListening(other_settings)) << second.log();
    EXPECT_FALSE(second.wait(300ms).has_value()) << "the second client must not hand over\n"
                                                 << second.log();
    EXPECT_FALSE(first->wait(0ms).has_value());
    second.signal(SIGTERM);
    first->signal(SIGTERM);
    EXPECT_EQ(second.wait(30s), 0) << second.log();
    EXPECT_EQ(first->wait(30s), 0) << first->log();
    EXPECT_EQ(saved("CanvasID"), "anna@20100704123456789");
    QSettings other(QString::fromStdString(other_settings), QSettings::IniFormat);
    EXPECT_EQ(other.value("CanvasID").toString(), "bob@20100704123456789");
}

TEST_F(AppProcessTest, BadArgumentsEndWithStatusTwo) {
    ChildProcess client({VELMO_CLIENT_BINARY, "--size", "0x0"},
                        dir.filePath("bad.log").toStdString());
    EXPECT_EQ(client.wait(30s), 2);
    EXPECT_NE(client.log().find("--size"), std::string::npos) << client.log();
}

// Help and the version need no display: asked on a machine without one, they answer all the
// same instead of aborting where the window system would be opened.
TEST_F(AppProcessTest, HelpAndVersionAnswerWithoutADisplay) {
    unsetenv("QT_QPA_PLATFORM");
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    const struct {
        const char* binary;
        const char* argument;
        const char* expected;
    } cases[] = {
        {VELMO_CLIENT_BINARY, "--help", "usage: velmorastra"},
        {VELMO_CLIENT_BINARY, "--version", "velmorastra 0."},
        {VELMO_BOT_BINARY, "--version", "velmorastra-bot 0."},
    };
    for (const auto& c : cases) {
        ChildProcess child({c.binary, c.argument}, dir.filePath("answer.log").toStdString());
        EXPECT_EQ(child.wait(30s), 0) << c.binary << " " << c.argument << "\n" << child.log();
        EXPECT_NE(child.log().find(c.expected), std::string::npos) << child.log();
    }
}

TEST_F(AppProcessTest, TheBotReportsStrokesItCouldNotDeliver) {
    ChildProcess bot({VELMO_BOT_BINARY, "--server", server, "--nickname", "bot", "--strokes", "3",
                      "--rate", "100", "--timeout", "0.5"},
                     dir.filePath("bot.log").toStdString());
    EXPECT_EQ(bot.wait(60s), 1) << bot.log();
    EXPECT_NE(bot.log().find("canvas bot@"), std::string::npos) << bot.log();
    EXPECT_NE(bot.log().find("drawn 3 delivered no history 3"), std::string::npos) << bot.log();
}
