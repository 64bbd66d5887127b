#pragma once

#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <variant>

namespace velmo::app {

enum class Idiom { Phone, Tablet };

// velmorastra [--server URL] [--settings FILE] [--size WxH] [--idiom phone|tablet]
//             [--ca-file FILE] [--help] [--version] [velmorastra://CANVAS-ID]
struct ClientOptions {
    // Replaces the saved "ServerURL" for this run; an http or https URL.
    std::optional<std::string> server_url;
    // The settings file; empty: the user's usual one.
    QString settings_file;
    // The window, which is also the canvas; each side 1 to MaxSide pixels.
    std::optional<QSize> size;
    std::optional<Idiom> idiom;
    // PEM certificates trusted beside the system's for an https server; empty: none.
    QString ca_file;
    std::optional<std::string> link;
    bool help = false;
    bool version = false;
};

// Six surfaces of 4 bytes a pixel; past this side they would not fit in memory anyway.
inline constexpr int MaxSide = 8192;

// The options, or the message that says what is wrong. `arguments` starts with the program.
std::variant<ClientOptions, QString> parseCommandLine(const QStringList& arguments);
QString usageText();

// Popovers on a tablet, full-window dialogs on a phone: by default a tablet when the shorter
// side has at least 600 pixels.
Idiom idiomFor(const ClientOptions& options, QSize window);

} // namespace velmo::app
