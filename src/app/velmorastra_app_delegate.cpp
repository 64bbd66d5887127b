#include "app/velmorastra_app_delegate.h"

#include "app/canvas_launch.h"
#include "mwcanvas/mw_canvas.h"
#include "wire/canvas_link.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QWidget>
#include <QWindowStateChangeEvent>

namespace velmo::app {

VelmorastraAppDelegate::VelmorastraAppDelegate(QWidget& window_,
                                               VelmorastraViewController& viewController_,
                                               mwcanvas::MWCanvas& canvas_, QSize canvas_size_)
    : window(window_), viewController(viewController_), canvas(canvas_), canvas_size(canvas_size_) {
}

void VelmorastraAppDelegate::applicationDidFinishLaunching() {
    window.show();
    window.raise();
    window.activateWindow();
    launchCanvas(canvas, canvas_size_at_launch ? canvas_size_at_launch() : canvas_size);
    did_launch = true;
}

void VelmorastraAppDelegate::save(bool all) {
    if (!did_launch) {
        // Before the saved state is loaded, saving would overwrite it with an empty canvas.
        return;
    }
    if (all) {
        canvas.saveAll();
        canvas.keepPicture();
    } else {
        canvas.saveDefaults();
    }
    ++saves;
}

void VelmorastraAppDelegate::applicationWillResignActive() {
    save();
}

void VelmorastraAppDelegate::applicationDidEnterBackground() {
    save();
}

void VelmorastraAppDelegate::applicationWillTerminate() {
    save(true);
}

bool VelmorastraAppDelegate::application_handleOpenURL(const std::optional<std::string>& url) {
    if (!url) {
        return false;
    }
    if (const auto id = wire::canvasIDFromLink(*url)) {
        canvas.setCanvasID(*id);
    }
    return true;
}

void VelmorastraAppDelegate::observeApplicationEvents() {
    window.installEventFilter(this);
    QObject::connect(qGuiApp, &QGuiApplication::applicationStateChanged, this,
                     [this](Qt::ApplicationState state) {
                         if (state == Qt::ApplicationSuspended) {
                             applicationDidEnterBackground();
                         }
                     });
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
                     [this] { applicationWillTerminate(); });
}

bool VelmorastraAppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &window) {
        switch (event->type()) {
        case QEvent::WindowDeactivate:
            applicationWillResignActive();
            break;
        case QEvent::Hide:
            applicationDidEnterBackground();
            break;
        case QEvent::WindowStateChange:
            if (window.isMinimized()) {
                applicationDidEnterBackground();
            }
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace velmo::app
