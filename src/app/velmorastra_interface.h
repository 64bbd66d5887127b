#pragma once

#include "app/canvas_touch_target.h"
#include "app/command_line.h"
#include "mwcanvas/mw_canvas.h"

#include <QList>
#include <QSize>

#include <memory>
#include <string>

class QLabel;
class QMenu;
class QMenuBar;
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

class CanvasResizer;
class CanvasView;
class BrushOutline;
class MWCanvasDisplay;
class PenSwatch;
class PresentUsersLabel;
class VelmorastraAppDelegate;
class VelmorastraViewController;
class WidgetOutlets;
class WindowMenus;

// The edges the client reaches the world through: the canvas's, which the dialogs share; the
// interface adds the outlets, made of its widgets. All must outlive the interface.
using ClientEdges = mwcanvas::MWCanvasPlatform;

struct InterfaceOptions {
    std::string server_base_url;
    std::string upload_url;
    // The window's size at the start, in points; the canvas has it in device pixels and
    // follows the window when it is resized.
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

    // Full screen and back; Escape leaves it too. The canvas follows the window's new size.
    void toggleFullScreen();

    // The window owns the widgets below.
    // The window's layout holds the canvas view alone; a menu bar goes in as its menu bar.
    std::unique_ptr<QWidget> window;
    QMenuBar* menu_bar = nullptr;
    WindowMenus* menus = nullptr;
    CanvasView* canvas_view = nullptr;
    QWidget* toolbar = nullptr;
    // On a window too narrow for one row of the toolbar: the canvas's own controls, in a row
    // of the window between the menu bar and the canvas view, so no row lies over the canvas.
    // Not on a phone, whose dialogs cover the canvas view and so must cover all the buttons:
    // there the bar takes both rows.
    QWidget* sharing_row = nullptr;
    MWCanvasDisplay* display = nullptr;
    dialogs::SegmentedControl* draw_mode_button = nullptr;
    QToolButton* undo_button = nullptr;
    QToolButton* redo_button = nullptr;
    // The layer the pen draws on, by name; its menu switches it and shows or hides each layer
    // in this window.
    QToolButton* layer_button = nullptr;
    QMenu* layer_menu = nullptr;
    QLabel* info_label = nullptr;
    // The zoom in percent, at the info line's right end.
    QLabel* zoom_label = nullptr;
    QWidget* spuit_view = nullptr;
    QSlider* zoom_slider = nullptr;
    QToolButton* pen_button = nullptr;
    // The pen's colour on the pen button, and the brush's outline at the pointer.
    PenSwatch* pen_swatch = nullptr;
    BrushOutline* brush_outline = nullptr;
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
    std::unique_ptr<CanvasResizer> resizer;
    std::unique_ptr<VelmorastraAppDelegate> delegate;

private:
    // The construction's steps, in this order: each uses what the ones before made.
    void makeWindow(QSize size);
    // The toolbar's controls; layOutControls places them.
    void makeToolbar();
    // The info line, the zoom slider and the eyedropper swatch over the canvas.
    void makeCanvasOverlays(QSize size);
    void makeCanvas(const ClientEdges& edges, const InterfaceOptions& options);
    void makeDialogs(const ClientEdges& edges, Idiom idiom);
    // The touch routing, the view controller and the application delegate.
    void makeControllers(const InterfaceOptions& options);
    void connectControls(Idiom idiom);
    // The menu bar's menus; the window grows by the bar's height, so the canvas view keeps
    // `view_size`.
    void makeMenus(QSize view_size);
    // The layer button's title and menu follow the canvas's layer and what is shown.
    void showLayerChoice();
    // Places the toolbar (its rows for this width) and the controls over the canvas for a
    // canvas view of `size` points; again whenever the view's size changes.
    void layOutControls(QSize size);

    // The toolbar's controls: the drawing ones from the left, the canvas's own at the right.
    QList<QWidget*> toolbar_drawing;
    QList<QWidget*> toolbar_sharing;
    bool phone_layout = false;
    bool laying_out = false;
};

// This run's interface: its server addresses (see serverAddresses), the window's size, and
// the idiom the command line or that size decides.
InterfaceOptions interfaceOptions(const ClientOptions& options,
                                  const platform::SettingsStore& settings, QSize size);

} // namespace velmo::app
