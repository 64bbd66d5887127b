#include "app/command_line.h"

#include <gtest/gtest.h>

using velmo::app::ClientOptions;
using velmo::app::Idiom;
using velmo::app::idiomFor;
using velmo::app::parseCommandLine;

namespace {

ClientOptions parsed(const QStringList& args) {
    auto result = parseCommandLine(QStringList{"velmorastra"} + args);
    EXPECT_TRUE(std::holds_alternative<ClientOptions>(result))
        << std::get<QString>(result).toStdString();
    return std::holds_alternative<ClientOptions>(result) ? std::get<ClientOptions>(result)
                                                         : ClientOptions{};
}

bool rejected(const QStringList& args) {
    return std::holds_alternative<QString>(parseCommandLine(QStringList{"velmorastra"} + args));
}

} // namespace

TEST(CommandLine, ReadsEveryOption) {
    const ClientOptions options = parsed(
        {"--server", "http://127.0.0.1:9000/", "--settings", "/tmp/a.ini", "--size", "320x480",
         "--idiom", "phone", "--ca-file", "/tmp/ca.pem", "velmorastra://anna@20100704123456789"});
    EXPECT_EQ(options.server_url, "http://127.0.0.1:9000/");
    EXPECT_EQ(options.settings_file, "/tmp/a.ini");
    EXPECT_EQ(options.size, QSize(320, 480));
    EXPECT_EQ(options.idiom, Idiom::Phone);
    EXPECT_EQ(options.ca_file, "/tmp/ca.pem");
    EXPECT_EQ(options.link, "velmorastra://anna@20100704123456789");

    const ClientOptions inline_values = parsed({"--size=1024x768", "--idiom=tablet"});
    EXPECT_EQ(inline_values.size, QSize(1024, 768));
    EXPECT_EQ(inline_values.idiom, Idiom::Tablet);

    const ClientOptions none = parsed({});
    EXPECT_FALSE(none.server_url || none.size || none.idiom || none.link);
    EXPECT_TRUE(none.settings_file.isEmpty() && none.ca_file.isEmpty());
    EXPECT_TRUE(parsed({"--help"}).help);
    EXPECT_TRUE(parsed({"--version"}).version);
}

TEST(CommandLine, RejectsWhatItCannotUse) {
    const QStringList bad[] = {
        {"--server", "file:///etc/passwd"},
        {"--server"},
        {"--size", "0x480"},
        {"--size", "320"},
        {"--size", "99999x10"},
        {"--size", "8193x100"},
        {"--idiom", "watch"},
        {"--settings", ""},
        {"--ca-file", ""},
        {"--ca-file"},
        {"--frobnicate"},
        {"somefile"},
    };
    for (const QStringList& args : bad) {
        EXPECT_TRUE(rejected(args)) << args.join(' ').toStdString();
    }
}

TEST(CommandLine, TheIdiomFollowsTheShorterSide) {
    EXPECT_EQ(idiomFor({}, QSize(768, 1024)), Idiom::Tablet);
    EXPECT_EQ(idiomFor({}, QSize(1024, 600)), Idiom::Tablet);
    EXPECT_EQ(idiomFor({}, QSize(599, 1024)), Idiom::Phone);
    ClientOptions phone;
    phone.idiom = Idiom::Phone;
    EXPECT_EQ(idiomFor(phone, QSize(768, 1024)), Idiom::Phone);
}
