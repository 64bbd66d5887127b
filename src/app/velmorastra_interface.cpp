#include "app/velmorastra_interface.h"

#include "app/canvas_launch.h"
#include "app/canvas_view.h"
#include "app/mw_canvas_display.h"
#include "app/present_users_label.h"
#include "app/velmorastra_app_delegate.h"
#include "app/velmorastra_view_controller.h"
#include "app/widget_outlets.h"
#include "dialogs/alerts.h"
#include "dialogs/dialog_presenter.h"
#include "dialogs/nickname_view.h"
#include "dialogs/pen_dialog.h"
#include "dialogs/segmented_control.h"
#include "dialogs/url_opener.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QShortcut>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

namespace velmo::app {
namespace {

constexpr int BarHeight = 40;
constexpr int BarMargin = 4;
constexpr int BarSpacing = 6;
constexpr int SwatchSide = 40;
// Room for "here: " and a name or two; with less, the list floats under the bar.
constexpr int PresentUsersMinWidth = 120;
// Slider values -120 .. 120: zoom from e^-3 (about 0.05) to e^3 (about 20), 1 in the middle.
constexpr int ZoomSliderRange = static_cast<int>(canvas::MaxZoomSliderValue);

QToolButton* toolButton(const QString& title, const QString& name, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setText(title);
    button->setObjectName(name);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

// Drawing controls on the left, the canvas's own on the right; on a window too narrow for one
// row, as a phone's, the canvas's go to a second row so every button stays within reach. The
// bar takes the window's width and the height of its rows. What room is left before the
// canvas's controls goes to `between` if it is at least `between_width`; `between` counts for
// none in choosing the rows. True if it went there.
bool layOutToolbar(QFrame& bar, const QWidgetList& drawing, QWidget* between, int between_width,
                   const QWidgetList& sharing, int width) {
    int sharing_width = BarSpacing * static_cast<int>(sharing.size());
    for (QWidget* control : sharing) {
        sharing_width += control->sizeHint().width();
    }
    int one_row = 2 * BarMargin + sharing_width + BarSpacing * static_cast<int>(drawing.size());
    for (QWidget* control : drawing) {
        one_row += control->sizeHint().width();
    }
    const bool two_rows = one_row > width;
    const int room = two_rows ? width - 2 * BarMargin - sharing_width : width - one_row;
    const bool fits = room >= between_width;
    const int row_height = BarHeight - 2 * BarMargin;
    bar.setGeometry(0, 0, width,
                    two_rows ? 2 * BarMargin + 2 * row_height + BarSpacing : BarHeight);
    auto* rows = new QVBoxLayout(&bar);
    rows->setContentsMargins(BarMargin, BarMargin, BarMargin, BarMargin);
    rows->setSpacing(BarSpacing);
    auto* first = new QHBoxLayout();
    first->setSpacing(BarSpacing);
    rows->addLayout(first);
    QHBoxLayout* second = first;
    if (two_rows) {
        second = new QHBoxLayout();
        second->setSpacing(BarSpacing);
        rows->addLayout(second);
    }
    for (QWidget* control : drawing) {
        first->addWidget(control);
    }
    if (two_rows) {
        first->addStretch(1);
    }
    if (fits) {
        second->addWidget(between, 1);
    } else {
        second->addStretch(1);
    }
    for (QWidget* control : sharing) {
        second->addWidget(control);
    }
    return fits;
}

} // namespace

InterfaceOptions interfaceOptions(const ClientOptions& options,
                                  const platform::SettingsStore& settings, QSize size) {
    ServerAddresses addresses = serverAddresses(options.server_url, settings);
    InterfaceOptions out;
    out.server_base_url = std::move(addresses.server_base_url);
    out.upload_url = std::move(addresses.upload_url);
    out.size = size;
    out.idiom = idiomFor(options, size);
    return out;
}

VelmorastraInterface::VelmorastraInterface(const ClientEdges& edges,
                                           const InterfaceOptions& options)
    : window(std::make_unique<QWidget>()) {
    makeWindow(options.size);
    makeToolbar(options.size.width());
    makeCanvasOverlays(options.size);
    makeCanvas(edges, options);
    makeDialogs(edges, options.idiom);
    makeControllers(options);
    connectControls(options.idiom);
}

void VelmorastraInterface::makeWindow(QSize size) {
    window->setObjectName("window");
    window->setWindowTitle(WidgetOutlets::windowTitle(""));
    // The window is the canvas: its size is fixed with the pixel grid at launch.
    window->setFixedSize(size);
    window->setAttribute(Qt::WA_AcceptTouchEvents);

    canvas_view = new CanvasView(window.get());
    canvas_view->setObjectName("canvas");
    canvas_view->setGeometry(0, 0, size.width(), size.height());

    display = new MWCanvasDisplay(canvas_view);
    display->setObjectName("display");
    display->setGeometry(0, 0, size.width(), size.height());
    display->lower();
}

void VelmorastraInterface::makeToolbar(int width) {
    auto* bar = new QFrame(canvas_view);
    bar->setObjectName("toolbar");
    bar->setAutoFillBackground(true);
    // A press on the bar between its buttons is not a touch on the canvas beneath.
    bar->setAttribute(Qt::WA_NoMousePropagation);

    draw_mode_button = new dialogs::SegmentedControl(
        {"Draw", "Pick", "Pan"}, dialogs::SegmentedControl::Place::Toolbar, bar);
    // The canvas starts in drawing mode.
    draw_mode_button->setSelectedSegmentIndex(0);
    draw_mode_button->setObjectName("draw_mode_button");
    draw_mode_button->setToolTip("Draw, pick a colour from the picture, or move the view");
    undo_button = toolButton("Undo", "undo_button", bar);
    undo_button->setToolTip(
        QStringLiteral("Undo your last stroke (%1)")
            .arg(QKeySequence(QKeySequence::Undo).toString(QKeySequence::NativeText)));
    pen_button = toolButton("Pen…", "pen_button", bar);
    pen_button->setToolTip("Pen colour, width, density and layer");
    nickname_button = toolButton("Nickname…", "nickname_button", bar);
    nickname_button->setToolTip("Your nickname, a new canvas, and the search for canvases");
    canvas_id_button = toolButton("Canvas…", "canvas_id_button", bar);
    canvas_id_button->setToolTip("Share a link to this canvas");
    present_users = new PresentUsersLabel(bar);
    present_users->setObjectName("present_users");

    const bool in_bar =
        layOutToolbar(*bar, {draw_mode_button, undo_button, pen_button}, present_users,
                      PresentUsersMinWidth, {nickname_button, canvas_id_button}, width);
    if (!in_bar) {
        present_users->setParent(canvas_view);
        present_users->floatAt(width - BarMargin, bar->height() + BarMargin, width - 2 * BarMargin);
    }
}

void VelmorastraInterface::makeCanvasOverlays(QSize size) {
    info_label = new QLabel("layer:0", canvas_view);
    info_label->setObjectName("info_label");
    info_label->setAttribute(Qt::WA_TransparentForMouseEvents);
    info_label->setAutoFillBackground(true);
    info_label->setContentsMargins(6, 2, 6, 2);
    info_label->setGeometry(0, size.height() - 24, size.width(), 24);

    zoom_slider = new QSlider(Qt::Horizontal, canvas_view);
    zoom_slider->setObjectName("zoom_slider");
    zoom_slider->setRange(-ZoomSliderRange * WidgetOutlets::ZoomSliderSteps,
                          ZoomSliderRange * WidgetOutlets::ZoomSliderSteps);
    zoom_slider->setValue(0);
    zoom_slider->setGeometry(20, size.height() - 64, std::max(size.width() - 40, 40), 32);
    zoom_slider->setFocusPolicy(Qt::NoFocus);
    zoom_slider->hide();

    spuit_view = new QWidget(canvas_view);
    spuit_view->setObjectName("spuit_view");
    spuit_view->setAutoFillBackground(true);
    spuit_view->setAttribute(Qt::WA_TransparentForMouseEvents);
    spuit_view->resize(SwatchSide, SwatchSide);
    spuit_view->hide();
}

void VelmorastraInterface::makeCanvas(const ClientEdges& edges, const InterfaceOptions& options) {
    outlets = std::make_unique<WidgetOutlets>(WidgetOutlets::Widgets{
        draw_mode_button, info_label, spuit_view, zoom_slider, display, present_users});
    canvas = std::make_unique<mwcanvas::MWCanvas>(
        mwcanvas::MWCanvasPlatform{*outlets, edges.clock, edges.http, edges.scheduler,
                                   edges.settings, edges.random, edges.events, edges.journal,
                                   edges.pictures},
        options.server_base_url, options.upload_url);
    display->setPicture(&canvas->display_bitmap);
}

void VelmorastraInterface::makeDialogs(const ClientEdges& edges, Idiom idiom) {
    presenter = std::make_unique<dialogs::DialogPresenter>(
        *canvas_view, idiom == Idiom::Tablet ? dialogs::Idiom::Tablet : dialogs::Idiom::Phone);
    url_opener = std::make_unique<dialogs::DesktopUrlOpener>();
    alerts = std::make_unique<dialogs::MessageBoxAlerts>(window.get());
    pen_dialog = new dialogs::PenDialog(*canvas, *presenter, *canvas_view);
    nickname_view =
        new dialogs::NicknameView(*canvas, *presenter, *canvas_view,
                                  {*url_opener, *alerts, edges.http, edges.scheduler, edges.clock});
    for (QWidget* dialog :
         {static_cast<QWidget*>(pen_dialog), static_cast<QWidget*>(nickname_view)}) {
        // A click or touch on a dialog that none of its controls takes would otherwise fall
        // through to the canvas view and draw under the dialog; unclaimed touches then come
        // back as mouse clicks, so the dialog's buttons work by touch too.
        dialog->setAttribute(Qt::WA_NoMousePropagation);
    }
    outlets->setSearchBar(nickname_view->search_bar);
}

void VelmorastraInterface::makeControllers(const InterfaceOptions& options) {
    touch_target = std::make_unique<EngineTouchTarget>(*canvas);
    viewController = std::make_unique<VelmorastraViewController>(*touch_target, *outlets);
    viewController->idiom = options.idiom;
    canvas_view->setViewController(viewController.get());
    delegate =
        std::make_unique<VelmorastraAppDelegate>(*window, *viewController, *canvas, options.size);
}

void VelmorastraInterface::connectControls(Idiom idiom) {
    // Each connection dies with its control.
    mwcanvas::MWCanvas* target = canvas.get();
    draw_mode_button->setAction([target] { target->setDrawMode(); });
    QObject::connect(undo_button, &QToolButton::clicked, undo_button,
                     [target] { target->undoOneStroke(); });
    // Anywhere in the window, as the button; a text field with the focus keeps Ctrl+Z for
    // its own text.
    auto* undo_shortcut = new QShortcut(QKeySequence::Undo, window.get());
    QToolButton* undo = undo_button;
    QObject::connect(undo_shortcut, &QShortcut::activated, undo_button, [undo] { undo->click(); });
    WidgetOutlets* slider_outlets = outlets.get();
    QObject::connect(zoom_slider, &QSlider::valueChanged, zoom_slider,
                     [target, slider_outlets](int) {
                         target->changedProgressZoomSlider(slider_outlets->zoomSliderValue());
                     });
    QLineEdit* search_bar = nickname_view->search_bar;
    QObject::connect(
        search_bar, &QLineEdit::textChanged, search_bar,
        [target](const QString& text) { target->setSearchNickname(text.toStdString()); });

    dialogs::PenDialog* pen = pen_dialog;
    QToolButton* pen_anchor = pen_button;
    QObject::connect(pen_button, &QToolButton::clicked, pen_button,
                     [pen, pen_anchor] { pen->showPenPropDialog(pen_anchor); });
    dialogs::NicknameView* nickname = nickname_view;
    QToolButton* nickname_anchor = nickname_button;
    QObject::connect(nickname_button, &QToolButton::clicked, nickname_button,
                     [nickname, nickname_anchor] { nickname->showNicknameView(nickname_anchor); });
    QToolButton* canvas_id_anchor = canvas_id_button;
    const bool tablet = idiom == Idiom::Tablet;
    QObject::connect(canvas_id_button, &QToolButton::clicked, canvas_id_button,
                     [nickname, canvas_id_anchor, tablet] {
                         nickname->sharing.canvasIDBtnPressed(canvas_id_anchor, tablet);
                     });
}

VelmorastraInterface::~VelmorastraInterface() {
    // The widgets go first: nothing they still send may reach a canvas that is gone.
    canvas_view->setViewController(nullptr);
    window->removeEventFilter(delegate.get());
    window.reset();
}

} // namespace velmo::app
