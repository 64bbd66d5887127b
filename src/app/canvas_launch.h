#pragma once

#include <QSize>

#include <optional>
#include <string>

namespace velmo::mwcanvas {
class MWCanvas;
}
namespace velmo::platform {
class SettingsStore;
}

namespace velmo::app {

// The launch that the window and the windowless bot share. Each makes its canvas with the
// addresses below, then launches it; what a program does around that (a window to show,
// strokes to draw) is its own.

// Where a client talks to: the canvas server given for this run (--server), else the saved
// "ServerURL", else the local default; the image host from "GyazoURL", else the canvas
// server's own upload address.
struct ServerAddresses {
    std::string server_base_url;
    std::string upload_url;
};
ServerAddresses serverAddresses(const std::optional<std::string>& server_url,
                                const platform::SettingsStore& settings);

// The canvas takes the screen's size (which is also its own), starts blank, restores the
// saved state and paints it. Nothing is sent to the server, whose address was fixed when the
// canvas was made.
void launchCanvas(mwcanvas::MWCanvas& canvas, QSize screen_size);

} // namespace velmo::app
