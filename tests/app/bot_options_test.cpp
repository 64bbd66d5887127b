#include "app/bot/bot_options.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>

namespace velmo::bot {
namespace {

std::variant<BotOptions, std::string> parse(QStringList args) {
    args.prepend("velmorastra-bot");
    return parseBotOptions(args);
}

TEST(BotOptions, ExportTakesItsFormatFromTheNameAndDrawsNothingUnlessTold) {
    struct Case {
        const char* file;
        exporting::PictureFormat format;
    };
    for (const Case& c : {Case{"out/picture.png", exporting::PictureFormat::Png},
                          Case{"layers.ORA", exporting::PictureFormat::OpenRaster}}) {
        SCOPED_TRACE(c.file);
        const auto options = std::get<BotOptions>(parse({"--export", c.file}));
        EXPECT_EQ(options.export_file, c.file);
        EXPECT_EQ(options.export_format, c.format);
        EXPECT_EQ(options.strokes, 0);
    }
    const auto drawing = std::get<BotOptions>(parse({"--strokes", "4", "--export", "a.png"}));
    EXPECT_EQ(drawing.strokes, 4);
    EXPECT_EQ(std::get<BotOptions>(parse({})).export_file, "");
    for (const char* bad : {"picture.jpg", "picture", ".png"}) {
        EXPECT_EQ(std::get<std::string>(parse({"--export", bad})),
                  std::string("bad value for --export: ") + bad +
                      " (the name must end in .png or .ora)");
    }
    EXPECT_EQ(std::get<std::string>(parse({"--export"})), "missing value for --export");
}

TEST(BotOptions, TakesAnHttpsServerAndTheAuthoritiesToTrustForIt) {
    const auto options =
        std::get<BotOptions>(parse({"--server", "https://127.0.0.1:8443/", "--ca-file", "ca.pem"}));
    EXPECT_EQ(options.server_url, "https://127.0.0.1:8443/");
    EXPECT_EQ(options.ca_file, "ca.pem");
    EXPECT_EQ(std::get<BotOptions>(parse({})).ca_file, "");
    EXPECT_EQ(std::get<std::string>(parse({"--ca-file", ""})), "bad value for --ca-file: ");
    EXPECT_EQ(std::get<std::string>(parse({"--ca-file"})), "missing value for --ca-file");
    EXPECT_EQ(std::get<std::string>(parse({"--server", "ftp://127.0.0.1/"})),
              "bad value for --server: ftp://127.0.0.1/");
}

} // namespace
} // namespace velmo::bot
