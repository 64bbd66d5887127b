#pragma once

#include "export/picture_file.h"

#include <QStringList>

#include <optional>
#include <string>
#include <variant>

namespace velmo::bot {

// velmorastra-bot [--server URL] [--settings FILE] [--canvas ID|velmorastra://ID]
//                 [--nickname NAME] [--strokes N] [--rate PER_SECOND] [--points N]
//                 [--layer 0|1|2] [--size WxH] [--seed N] [--script FILE]
//                 [--linger SECONDS] [--timeout SECONDS] [--watch N] [--undo N]
//                 [--print-strokes] [--progress] [--export FILE] [--ca-file FILE]
//                 [--version]
struct BotOptions {
    std::optional<std::string> server_url;
    std::string settings_file;
    std::optional<std::string> canvas_id;
    std::optional<std::string> nickname;
    int strokes = 10;
    double rate = 2.0;
    int points = 16;
    int layer = 0;
    int width = 320;
    int height = 480;
    unsigned seed = 1;
    std::string script_file;
    double linger = 0.0;
    double timeout = 30.0;
    // Strokes of others to watch arrive (StrokeWatch) before the bot is done; with it, the
    // bot draws nothing unless --strokes says otherwise.
    int watch = 0;
    // Prints "drawn <client time>" as each stroke is finished, once it is in the saved state.
    bool print_strokes = false;
    // Own strokes undone once all are drawn, newest first, as the user's undo does.
    int undo = 0;
    // Each stroke is drawn over time, a drag every DragInterval, and its points go out while
    // it is drawn; without it a stroke is drawn at once and sends no progress.
    bool progress = false;
    static constexpr int DragIntervalMs = 16;
    // Once the canvas has all its strokes (and the bot's own are delivered), its picture at
    // --size is written there, as PNG or OpenRaster by the extension; with it, the bot draws
    // nothing unless --strokes says otherwise.
    std::string export_file;
    exporting::PictureFormat export_format = exporting::PictureFormat::Png;
    // PEM certificates trusted beside the system's for https (a test's or a private
    // authority's); verification stays on either way.
    std::string ca_file;
    bool help = false;
    bool version = false;
};

std::variant<BotOptions, std::string> parseBotOptions(const QStringList& arguments);
const char* botUsage();

} // namespace velmo::bot
