#pragma once

#include "app/canvas_touch_target.h"
#include "app/command_line.h"
#include "canvas/mw_canvas.h"

#include <QSize>

#include <memory>
#include <string>

class QLabel;
class QLineEdit;
class QSlider;
class QToolButton;
class QWidget;

namespace velmo::app {

class CanvasView;
class MWCanvasDisplay;
class SegmentedControl;
class VelmorastraAppDelegate;
class VelmorastraViewController;
class WidgetOutlets;

// The edges the client reaches the world through; all must outlive the interface.
struct ClientEdges {
    platform::Clock& clock;
    platform::HttpExchange& http;
    platform::Scheduler& scheduler;
    platform::SettingsStore& settings;
};

struct InterfaceOptions {
    std::string server_base_url;
    std::string upload_url;
    // The window's and the canvas's size in pixels.
    QSize size;
    Idiom idiom = Idiom::Tablet;
};

// The main interface: it creates the window, the canvas view with the display beneath and
// the controls on top, the canvas, the view controller and the application delegate, and
// connects every control to its action. Nothing is shown until the delegate launches.
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
    SegmentedControl* draw_mode_button = nullptr;
    QToolButton* undo_button = nullptr;
    QLabel* info_label = nullptr;
    QWidget* spuit_view = nullptr;
    QSlider* zoom_slider = nullptr;
    QLineEdit* search_bar = nullptr;
    // Their dialogs come with a later change; until then the buttons are in place, disabled.
    QToolButton* pen_button = nullptr;
    QToolButton* nickname_button = nullptr;
    QToolButton* canvas_id_button = nullptr;

    std::unique_ptr<WidgetOutlets> outlets;
    std::unique_ptr<canvas::MWCanvas> canvas;
    std::unique_ptr<EngineTouchTarget> touch_target;
    std::unique_ptr<VelmorastraViewController> viewController;
    std::unique_ptr<VelmorastraAppDelegate> delegate;
};

// Where this run talks to: --server, else the saved "ServerURL", else the local default; the
// image host from "GyazoURL", else the canvas server's own upload address.
InterfaceOptions interfaceOptions(const ClientOptions& options,
                                  const platform::SettingsStore& settings, QSize size);

} // namespace velmo::app
