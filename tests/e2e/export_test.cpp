#include "support/picture_files.h"
#include "support/random_strokes.h"
#include "support/server_process.h"

#include "wire/command_text.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using velmo::testing::Connection;
using velmo::testing::decodePng;

constexpr const char* CanvasID = "hand@20101201100000000";

struct BotRun {
    int exit_code = -1;
    std::string out;
    std::string err;
};

BotRun runBot(const QStringList& arguments) {
    QProcess bot;
    bot.setProcessChannelMode(QProcess::SeparateChannels);
    bot.start(VELMO_BOT_BINARY, arguments);
    BotRun run;
    if (!bot.waitForFinished(60000)) {
        bot.kill();
        bot.waitForFinished();
        return run;
    }
    run.exit_code = bot.exitStatus() == QProcess::NormalExit ? bot.exitCode() : -1;
    run.out = bot.readAllStandardOutput().toStdString();
    run.err = bot.readAllStandardError().toStdString();
    return run;
}

std::string fileContents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

// The r, g, b bytes of 8-bit RGBA pixels.
std::vector<uint8_t> rgbOf(const std::vector<uint8_t>& rgba) {
    std::vector<uint8_t> rgb;
    rgb.reserve(rgba.size() / 4 * 3);
    for (size_t i = 0; i + 3 < rgba.size(); i += 4) {
        rgb.insert(rgb.end(), {rgba[i], rgba[i + 1], rgba[i + 2]});
    }
    return rgb;
}

} // namespace

// Strokes on all three layers, in colours, stored on a real server by others; the bot opens
// the canvas, and its export at a size is the server's render at that size, byte for byte in
// every pixel, as PNG and as the OpenRaster file's merged picture.
TEST(BotExport, IsTheServersRenderAtTheSameSizeAndSaysWhyItCannotWrite) {
    QTemporaryDir dir;
    velmo::testing::ServerProcess server(dir.filePath("canvas.db").toStdString(),
                                         dir.filePath("server.log").toStdString());
    ASSERT_TRUE(server.start()) << server.log();
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
    {
        Connection connection(server.port());
        ASSERT_TRUE(connection.connected());
        for (const auto& stroke : velmo::testing::HandStrokes(5, 600, 800).stamped(80)) {
            ASSERT_TRUE(connection.send(
                velmo::testing::postRequest("/", velmo::wire::appendCommand(CanvasID, stroke))));
            const auto reply = connection.read();
            ASSERT_TRUE(reply && reply->status == 200) << server.log();
        }
    }

    struct Case {
        int width, height;
        const char* file;
    };
    // A tall canvas (scaled by its width) and a wide one (by its height), in both formats.
    const Case cases[] = {{300, 450, "tall.png"}, {400, 300, "wide.png"}, {300, 450, "tall.ora"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const QString path = dir.filePath(c.file);
        const BotRun run = runBot({"--server", QString::fromStdString(url), "--canvas", CanvasID,
                                   "--size", QString("%1x%2").arg(c.width).arg(c.height),
                                   "--export", path, "--timeout", "30"});
        ASSERT_EQ(run.exit_code, 0) << run.out << run.err << server.log();
        EXPECT_NE(run.out.find("exported " + path.toStdString()), std::string::npos) << run.out;

        Connection connection(server.port());
        ASSERT_TRUE(connection.send(velmo::testing::getRequest(std::string("/render/") + CanvasID +
                                                               ".png?w=" + std::to_string(c.width) +
                                                               "&h=" + std::to_string(c.height))));
        const auto render = connection.read();
        ASSERT_TRUE(render && render->status == 200) << server.log();
        const auto expected = decodePng(render->body);
        ASSERT_EQ(expected.width, c.width);

        std::string png = fileContents(path);
        if (path.endsWith(".ora")) {
            const auto entries = velmo::testing::zipEntries(png);
            ASSERT_EQ(entries.size(), 7u);
            EXPECT_EQ(entries[0].data, "image/openraster");
            png = entries[5].data; // mergedimage.png
        }
        const auto exported = decodePng(png);
        EXPECT_EQ(exported.width, c.width);
        EXPECT_EQ(exported.height, c.height);
        EXPECT_TRUE(rgbOf(exported.rgba) == rgbOf(expected.rgba))
            << "the export differs from the server's render";
        // Not a blank picture: the strokes were painted.
        EXPECT_NE(std::count(exported.rgba.begin(), exported.rgba.end(), uint8_t{255}),
                  static_cast<std::ptrdiff_t>(exported.rgba.size()));
    }

    // A name of no format is refused before anything is opened; a file that cannot be written
    // says why, and neither exits 0.
    const BotRun jpeg = runBot({"--server", QString::fromStdString(url), "--canvas", CanvasID,
                                "--export", dir.filePath("picture.jpg")});
    EXPECT_EQ(jpeg.exit_code, 2);
    EXPECT_NE(jpeg.err.find("must end in .png or .ora"), std::string::npos) << jpeg.err;
    const QString nowhere = dir.filePath("missing/picture.png");
    const BotRun unwritable = runBot({"--server", QString::fromStdString(url), "--canvas", CanvasID,
                                      "--export", nowhere, "--timeout", "30"});
    EXPECT_EQ(unwritable.exit_code, 1);
    EXPECT_NE(unwritable.err.find("Cannot write " + nowhere.toStdString() +
                                  ": No such file or directory."),
              std::string::npos)
        << unwritable.err;
}
