#include "app/canvas_launch.h"

#include "identity/saved_settings.h"
#include "mwcanvas/mw_canvas.h"

namespace velmo::app {

ServerAddresses serverAddresses(const std::optional<std::string>& server_url,
                                const platform::SettingsStore& settings) {
    ServerAddresses out;
    out.server_base_url = server_url ? *server_url : identity::serverBaseURL(settings);
    out.upload_url = identity::imageHostURL(settings, out.server_base_url);
    return out;
}

void launchCanvas(mwcanvas::MWCanvas& canvas, QSize screen_size) {
    canvas.setScreenSize(static_cast<float>(screen_size.width()),
                         static_cast<float>(screen_size.height()));
    canvas.clear_canvas();
    canvas.loadDefaults();
    if (!canvas.showKeptPicture()) {
        canvas.redrawStrokes();
    }
}

} // namespace velmo::app
