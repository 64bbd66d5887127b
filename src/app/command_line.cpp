#include "app/command_line.h"

#include "wire/canvas_link.h"

#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

namespace velmo::app {
namespace {

std::optional<QSize> parseSize(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,5})[xX](\\d{1,5})$"));
    const auto match = pattern.match(text);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const int width = match.captured(1).toInt();
    const int height = match.captured(2).toInt();
    if (width < 1 || height < 1 || width > MaxSide || height > MaxSide) {
        return std::nullopt;
    }
    return QSize(width, height);
}

bool isServerURL(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == "http" || scheme == "https") && !url.host().isEmpty();
}

} // namespace

QString usageText() {
    return QStringLiteral(
        "usage: velmorastra [--server URL] [--settings FILE] [--size WxH] "
        "[--idiom phone|tablet] [--ca-file FILE] [--help] [--version] "
        "[velmorastra://CANVAS-ID]\n"
        "  --server URL      canvas server for this run (default: the saved ServerURL, else "
        "http://127.0.0.1:8640/)\n"
        "  --settings FILE   settings file (two clients on one machine need one each)\n"
        "  --size WxH        window and canvas size in pixels\n"
        "  --idiom KIND      phone (full-window dialogs) or tablet (popovers)\n"
        "  --ca-file FILE    trust the PEM certificates in FILE too, for an https server\n"
        "  --help            show this text; --version prints the version\n"
        "  velmorastra://ID  open that canvas\n");
}

std::variant<ClientOptions, QString> parseCommandLine(const QStringList& arguments) {
    ClientOptions options;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        QString argument = arguments[i];
        QString value;
        bool has_inline_value = false;
        if (argument.startsWith("--") && argument.contains('=')) {
            value = argument.mid(argument.indexOf('=') + 1);
            argument = argument.left(argument.indexOf('='));
            has_inline_value = true;
        }
        const auto takeValue = [&]() -> std::optional<QString> {
            if (has_inline_value) {
                return value;
            }
            if (i + 1 >= arguments.size()) {
                return std::nullopt;
            }
            return arguments[++i];
        };
        if (argument == "-h" || argument == "--help") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (argument == "--server") {
            const auto url = takeValue();
            if (!url || !isServerURL(*url)) {
                return QStringLiteral("--server needs an http or https URL");
            }
            options.server_url = url->toStdString();
        } else if (argument == "--settings") {
            const auto file = takeValue();
            if (!file || file->isEmpty()) {
                return QStringLiteral("--settings needs a file name");
            }
            options.settings_file = *file;
        } else if (argument == "--ca-file") {
            const auto file = takeValue();
            if (!file || file->isEmpty()) {
                return QStringLiteral("--ca-file needs a file name");
            }
            options.ca_file = *file;
        } else if (argument == "--size") {
            const auto text = takeValue();
            const auto size = text ? parseSize(*text) : std::nullopt;
            if (!size) {
                return QStringLiteral("--size needs WIDTHxHEIGHT, each 1 to %1").arg(MaxSide);
            }
            options.size = size;
        } else if (argument == "--idiom") {
            const auto text = takeValue();
            if (text && *text == "phone") {
                options.idiom = Idiom::Phone;
            } else if (text && *text == "tablet") {
                options.idiom = Idiom::Tablet;
            } else {
                return QStringLiteral("--idiom is phone or tablet");
            }
        } else if (wire::isCanvasLink(argument.toStdString()) && !options.link) {
            options.link = argument.toStdString();
        } else {
            return QStringLiteral("unknown argument: %1").arg(arguments[i]);
        }
    }
    return options;
}

Idiom idiomFor(const ClientOptions& options, QSize window) {
    if (options.idiom) {
        return *options.idiom;
    }
    return std::min(window.width(), window.height()) >= 600 ? Idiom::Tablet : Idiom::Phone;
}

} // namespace velmo::app
