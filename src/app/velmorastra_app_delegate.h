#pragma once

#include <QObject>
#include <QSize>

#include <functional>
#include <optional>
#include <string>

class QWidget;

namespace velmo::mwcanvas {
class MWCanvas;
}

namespace velmo::app {

class VelmorastraViewController;

// The application's life: the launch sequence, saving the state whenever the application
// leaves the foreground or ends, and opening the canvases that links name.
class VelmorastraAppDelegate : public QObject {
public:
    // The window and the canvas must outlive the delegate. `canvas_size` is the window's
    // size, which is also the canvas's.
    VelmorastraAppDelegate(QWidget& window, VelmorastraViewController& viewController,
                           mwcanvas::MWCanvas& canvas, QSize canvas_size);

    // Shows the window, sizes and resets the canvas, restores the saved state and paints it.
    void applicationDidFinishLaunching();
    // Each saves the state.
    void applicationWillResignActive();
    void applicationDidEnterBackground();
    void applicationWillTerminate();
    // Opens the canvas a link names; false when there is no link. A link too short or not
    // UTF-8 once decoded changes nothing.
    bool application_handleOpenURL(const std::optional<std::string>& url);

    // Connects the window's and the application's events to the handlers above.
    void observeApplicationEvents();

    bool launched() const { return did_launch; }

    // The canvas's size at the launch, asked once the window is shown (the window may then
    // have another size than the one it was made with); none: `canvas_size`.
    std::function<QSize()> canvas_size_at_launch;
    int saveCount() const { return saves; }

    QWidget& window;
    VelmorastraViewController& viewController;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // With `all`, the whole state goes into the settings (the process ends).
    void save(bool all = false);

    mwcanvas::MWCanvas& canvas;
    QSize canvas_size;
    bool did_launch = false;
    int saves = 0;
};

} // namespace velmo::app
