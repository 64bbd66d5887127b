#include "app/bot/bot_options.h"

#include "wire/canvas_link.h"

#include <QRegularExpression>
#include <QUrl>

namespace velmo::bot {

const char* botUsage() {
    return "usage: velmorastra-bot [--server URL] [--settings FILE] [--canvas "
           "ID|velmorastra://ID]\n"
           "         [--nickname NAME] [--strokes N] [--rate PER_SECOND] [--points N]\n"
           "         [--layer 0|1|2] [--size WxH] [--seed N] [--script FILE]\n"
           "         [--linger SECONDS] [--timeout SECONDS] [--watch N] [--undo N]\n"
           "         [--print-strokes] [--progress] [--export FILE] [--ca-file FILE]\n"
           "         [--version]\n"
           "Draws N random strokes (or the strokes of a script: one a line, \"LAYER X,Y X,Y "
           "...\")\n"
           "on a canvas, waits until the server has them all, and prints the canvas ID.\n"
           "--watch N prints, for each stroke of another user drawn after the start, how long\n"
           "after its drawing it arrived (one clock: run both on one machine), until N came.\n"
           "--watch N also prints \"progress <ms behind> <stroke> <from> <points> <ms>\" for\n"
           "each stroke in progress the stream brings: how long after its newest point was\n"
           "drawn it came, and which points came when.\n"
           "--print-strokes prints the client time of each stroke as it is finished, and\n"
           "with --progress \"point <stroke> <index> <ms>\" as each point is drawn.\n"
           "--progress draws each stroke over time (a drag every 16 ms) and sends its points\n"
           "while it is drawn, so others see it grow; without it strokes are drawn at once.\n"
           "--export FILE writes the canvas's picture at --size once all its strokes are in:\n"
           "a PNG picture for a name ending in .png, its three layers as OpenRaster for .ora.\n"
           "--ca-file FILE trusts the PEM certificates in FILE, beside the system's, for an\n"
           "https:// server (a self-signed one, say); certificates are always verified.\n"
           "--undo N undoes the last N strokes once all are drawn; they must leave the server.\n"
           "Every command carries the secret key the bot made for its user ID, kept in the\n"
           "settings file when there is one.\n";
}

std::variant<BotOptions, std::string> parseBotOptions(const QStringList& arguments) {
    BotOptions options;
    bool strokes_given = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString name = arguments[i];
        if (name == "-h" || name == "--help") {
            options.help = true;
            continue;
        }
        if (name == "--version") {
            options.version = true;
            continue;
        }
        if (name == "--print-strokes") {
            options.print_strokes = true;
            continue;
        }
        if (name == "--progress") {
            options.progress = true;
            continue;
        }
        if (i + 1 >= arguments.size()) {
            return "missing value for " + name.toStdString();
        }
        const QString value = arguments[++i];
        bool ok = true;
        if (name == "--server") {
            const QUrl url(value, QUrl::StrictMode);
            ok = url.isValid() && (url.scheme() == "http" || url.scheme() == "https");
            options.server_url = value.toStdString();
        } else if (name == "--settings") {
            options.settings_file = value.toStdString();
        } else if (name == "--canvas") {
            if (wire::isCanvasLink(value.toStdString())) {
                const auto id = wire::canvasIDFromLink(value.toStdString());
                ok = id.has_value();
                options.canvas_id = id.value_or("");
            } else {
                options.canvas_id = value.toStdString();
            }
        } else if (name == "--nickname") {
            options.nickname = value.toStdString();
        } else if (name == "--strokes") {
            strokes_given = true;
            options.strokes = value.toInt(&ok);
            ok = ok && options.strokes >= 0;
        } else if (name == "--rate") {
            options.rate = value.toDouble(&ok);
            ok = ok && options.rate > 0.0 && options.rate <= 1000.0;
        } else if (name == "--points") {
            options.points = value.toInt(&ok);
            ok = ok && options.points >= 1 && options.points <= 100000;
        } else if (name == "--layer") {
            options.layer = value.toInt(&ok);
            ok = ok && options.layer >= 0 && options.layer <= 2;
        } else if (name == "--size") {
            static const QRegularExpression pattern("^(\\d{1,4})x(\\d{1,4})$");
            const auto match = pattern.match(value);
            ok = match.hasMatch();
            if (ok) {
                options.width = match.captured(1).toInt();
                options.height = match.captured(2).toInt();
                ok = options.width >= 1 && options.height >= 1;
            }
        } else if (name == "--seed") {
            options.seed = value.toUInt(&ok);
        } else if (name == "--script") {
            options.script_file = value.toStdString();
        } else if (name == "--linger") {
            options.linger = value.toDouble(&ok);
            ok = ok && options.linger >= 0.0;
        } else if (name == "--timeout") {
            options.timeout = value.toDouble(&ok);
            ok = ok && options.timeout > 0.0;
        } else if (name == "--watch") {
            options.watch = value.toInt(&ok);
            ok = ok && options.watch >= 1;
        } else if (name == "--export") {
            options.export_file = value.toStdString();
            const auto format = exporting::formatOfFileName(options.export_file);
            if (!format) {
                return "bad value for --export: " + options.export_file +
                       " (the name must end in .png or .ora)";
            }
            options.export_format = *format;
        } else if (name == "--ca-file") {
            options.ca_file = value.toStdString();
            ok = !value.isEmpty();
        } else if (name == "--undo") {
            options.undo = value.toInt(&ok);
            ok = ok && options.undo >= 0;
        } else {
            return "unknown argument: " + name.toStdString();
        }
        if (!ok) {
            return "bad value for " + name.toStdString() + ": " + value.toStdString();
        }
    }
    if ((options.watch > 0 || !options.export_file.empty()) && !strokes_given) {
        options.strokes = 0;
    }
    return options;
}

} // namespace velmo::bot
