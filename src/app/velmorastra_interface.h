#pragma once

#include "app/canvas_touch_target.h"
#include "app/command_line.h"
#include "mwcanvas/mw_canvas.h"

#include <QSize>

#include <memory>
#include <string>

class QLabel;
class QSlider;
class QToolButton;
class QWidget;

namespace velmo::dialogs {
class DesktopUrlOpener;
class DialogPresenter;
class MessageBoxAlerts;
class NicknameView;
class PenDialog;
class SegmentedControl;
} // namespace velmo::dialogs

namespace velmo::app {

class CanvasView;
class MWCanvasDisplay;
class PresentUsersLabel;
class VelmorastraAppDelegate;
class VelmorastraViewController;
class WidgetOutlets;

// The edges the client reaches the world through; all must outlive the interface.
struct ClientEdges {
    platform::Clock& clock;
    platform::HttpExchange& http;
    platform::Scheduler& scheduler;
    platform::SettingsStore& settings;
    // The source of the user IDs' secret keys.
    platform::RandomSource& random;
    // The live channel of the open canvas; without one the client polls alone.
    platform::EventStream* events = nullptr;
    // The journal beside the settings; without one the state is saved at lifecycle events only.
    platform::JournalFile* journal = nullptr;
    // The kept picture of a long history's layers; it must outlive the settings' writes.
    platform::KeptFile* pictures = nullptr;
};

struct InterfaceOptions {
    std::string server_base_url;
    std::string upload_url;
    // The window's and the canvas's size in pixels.
    QSize size;
    Idiom idiom = Idiom::Tablet;
};

// The main interface: it creates the window, the canvas view with the display beneath and
// the controls on top, the canvas, the dialogs, the view controller and the application
// delegate, and connects every control to its action. Nothing is shown until the delegate
// launches.
class VelmorastraInterface {
public:
    VelmorastraInterface(const ClientEdges& edges, const InterfaceOptions& options);
    ~VelmorastraInterface();
    VelmorastraInterface(const VelmorastraInterface&) = delete;
    VelmorastraInterface& operator=(const VelmorastraInterface&) = delete;

    // The window owns the widgets below.
    std::unique_ptr<QWidget> window;
    CanvasView* canvas_view = nullptr;
    MWCanvasDisplay* display = nullptr;
    dialogs::SegmentedControl* draw_mode_button = nullptr;
    QToolButton* undo_button = nullptr;
    QLabel* info_label = nullptr;
    QWidget* spuit_view = nullptr;
    QSlider* zoom_slider = nullptr;
    QToolButton* pen_button = nullptr;
    QToolButton* nickname_button = nullptr;
    QToolButton* canvas_id_button = nullptr;
    // Who else has the canvas open, between the drawing controls and the canvas's own.
    PresentUsersLabel* present_users = nullptr;
    // Hidden children of the canvas view until their buttons show them. The search field
    // is the nickname view's `search_bar`.
    dialogs::PenDialog* pen_dialog = nullptr;
    dialogs::NicknameView* nickname_view = nullptr;

    std::unique_ptr<WidgetOutlets> outlets;
    std::unique_ptr<mwcanvas::MWCanvas> canvas;
    // The dialogs use these until they are gone; the window, and with it the dialogs, is
    // freed first.
    std::unique_ptr<dialogs::DialogPresenter> presenter;
    std::unique_ptr<dialogs::DesktopUrlOpener> url_opener;
    std::unique_ptr<dialogs::MessageBoxAlerts> alerts;
    std::unique_ptr<EngineTouchTarget> touch_target;
    std::unique_ptr<VelmorastraViewController> viewController;
    std::unique_ptr<VelmorastraAppDelegate> delegate;

private:
    // The construction's steps, in this order: each uses what the ones before made.
    void makeWindow(QSize size);
    void makeToolbar(int width);
    // The info line, the zoom slider and the eyedropper swatch over the canvas.
    void makeCanvasOverlays(QSize size);
    void makeCanvas(const ClientEdges& edges, const InterfaceOptions& options);
    void makeDialogs(const ClientEdges& edges, Idiom idiom);
    // The touch routing, the view controller and the application delegate.
    void makeControllers(const InterfaceOptions& options);
    void connectControls(Idiom idiom);
};

// This run's interface: its server addresses (see serverAddresses), the window's size, and
// the idiom the command line or that size decides.
InterfaceOptions interfaceOptions(const ClientOptions& options,
                                  const platform::SettingsStore& settings, QSize size);

} // namespace velmo::app
