#include "app/velmorastra_interface.h"

#include "app/canvas_launch.h"
#include "app/canvas_resizer.h"
#include "app/canvas_view.h"
#include "app/mw_canvas_display.h"
#include "app/pen_feedback.h"
#include "app/present_users_label.h"
#include "app/velmorastra_app_delegate.h"
#include "app/velmorastra_view_controller.h"
#include "app/widget_outlets.h"
#include "app/window_menus.h"
#include "canvas/layer_names.h"
#include "dialogs/alerts.h"
#include "dialogs/dialog_presenter.h"
#include "dialogs/nickname_view.h"
#include "dialogs/pen_dialog.h"
#include "dialogs/segmented_control.h"
#include "dialogs/url_opener.h"

#include <QAction>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QShortcut>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace velmo::app {
namespace {

constexpr int BarHeight = 40;
constexpr int BarMargin = 4;
constexpr int BarSpacing = 6;
constexpr int SwatchSide = 40;
// The window may shrink to a phone's width, not to nothing.
constexpr int MinimumCanvasSide = 240;
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

// Drawing controls on the left of the bar over the canvas, the canvas's own on the right; on
// a window too narrow for one row, as a phone's, the canvas's go to a second row so every
// button stays within reach: `second_row`, a row of the window above the canvas view, or,
// without one, a second row of the bar. The bar takes the window's width and the height of its
// rows. What room is left before the canvas's controls goes to `between` (if any) if it is at
// least `between_width`; `between` counts for none in choosing the rows. True if it went
// there. Any layout before is replaced.
bool layOutToolbar(QFrame& bar, QFrame* second_row, const QWidgetList& drawing, QWidget* between,
                   int between_width, const QWidgetList& sharing, int width) {
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
    const bool fits = between != nullptr && room >= between_width;
    const int row_height = BarHeight - 2 * BarMargin;
    const bool rows_in_bar = two_rows && second_row == nullptr;
    const auto fresh_layout = [](QFrame& frame, QBoxLayout* layout) {
        std::unique_ptr<QLayout> before(frame.layout());
        before.reset();
        frame.setLayout(layout);
        layout->setContentsMargins(BarMargin, BarMargin, BarMargin, BarMargin);
        layout->setSpacing(BarSpacing);
        return layout;
    };
    bar.setGeometry(0, 0, width,
                    rows_in_bar ? 2 * BarMargin + 2 * row_height + BarSpacing : BarHeight);
    QBoxLayout* rows = fresh_layout(bar, new QVBoxLayout());
    auto* first = new QHBoxLayout();
    first->setSpacing(BarSpacing);
    rows->addLayout(first);
    QBoxLayout* second = first;
    if (rows_in_bar) {
        second = new QHBoxLayout();
        second->setSpacing(BarSpacing);
        rows->addLayout(second);
    } else if (two_rows) {
        second = fresh_layout(*second_row, new QHBoxLayout());
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
    if (second_row != nullptr) {
        // Last: the window lays itself out again at once, which resizes the canvas view.
        second_row->setFixedHeight(BarHeight);
        second_row->setVisible(two_rows);
    }
    return fits;
}

// Escape that nothing in the window took (a dialog closes on it, a mouse stroke ends on it)
// comes up to the window, and there leaves full screen.
class EscapeLeavesFullScreen : public QObject {
public:
    explicit EscapeLeavesFullScreen(QWidget& window_) : QObject(&window_), window(window_) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &window && event->type() == QEvent::KeyPress &&
            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape && window.isFullScreen()) {
            window.setWindowState(window.windowState() & ~Qt::WindowFullScreen);
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QWidget& window;
};

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
    : window(std::make_unique<QWidget>()), phone_layout(options.idiom == Idiom::Phone) {
    makeWindow(options.size);
    makeToolbar();
    makeCanvasOverlays(options.size);
    makeCanvas(edges, options);
    makeDialogs(edges, options.idiom);
    makeControllers(options);
    connectControls(options.idiom);
    makeMenus(options.size);
}

void VelmorastraInterface::makeWindow(QSize size) {
    window->setObjectName("window");
    window->setWindowTitle(WidgetOutlets::windowTitle(""));
    // The canvas fills the window below the menu bar and follows its size (see
    // CanvasResizer); at the start the canvas view has `size`.
    menu_bar = new QMenuBar(window.get());
    menu_bar->setObjectName("menu_bar");
    window->resize(size);
    window->setAttribute(Qt::WA_AcceptTouchEvents);

    canvas_view = new CanvasView(window.get());
    canvas_view->setObjectName("canvas");
    canvas_view->setGeometry(0, 0, size.width(), size.height());
    auto* fill = new QVBoxLayout(window.get());
    fill->setContentsMargins(0, 0, 0, 0);
    fill->setSpacing(0);
    fill->setMenuBar(menu_bar);
    auto* row = new QFrame(window.get());
    sharing_row = row;
    row->setObjectName("sharing_row");
    row->setAutoFillBackground(true);
    row->hide();
    fill->addWidget(row);
    fill->addWidget(canvas_view, 1);

    display = new MWCanvasDisplay(canvas_view);
    display->setObjectName("display");
    display->setGeometry(0, 0, size.width(), size.height());
    display->lower();
}

void VelmorastraInterface::makeToolbar() {
    auto* bar = new QFrame(canvas_view);
    toolbar = bar;
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
    // Arrows, as drawing programs show them, so the drawing row fits a phone's width; the
    // tooltips say what they do.
    undo_button = toolButton(QStringLiteral("↶"), "undo_button", bar);
    undo_button->setToolTip(
        QStringLiteral("Undo your last stroke (%1)")
            .arg(QKeySequence(QKeySequence::Undo).toString(QKeySequence::NativeText)));
    redo_button = toolButton(QStringLiteral("↷"), "redo_button", bar);
    redo_button->setToolTip(
        QStringLiteral("Draw your last undone stroke again (%1)")
            .arg(
                QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z).toString(QKeySequence::NativeText)));
    layer_button = toolButton(QString::fromUtf8(canvas::layerName(0).data()), "layer_button", bar);
    layer_button->setToolTip("The layer the pen draws on, and which layers this window shows");
    // Its menu opens below it on a click; filled once the canvas is there (makeMenus). Not
    // the button's own menu, whose arrow would cost the bar a phone's width.
    layer_menu = new QMenu(layer_button);
    layer_menu->setObjectName("layer_menu");
    // As wide as its widest name, so a switch of layer never moves the bar's controls.
    int layer_width = 0;
    for (unsigned layer = 0; layer < canvas::LayerCount; ++layer) {
        layer_button->setText(QString::fromUtf8(canvas::layerName(layer).data()));
        layer_width = std::max(layer_width, layer_button->sizeHint().width());
    }
    layer_button->setFixedWidth(layer_width);
    layer_button->setText(QString::fromUtf8(canvas::layerName(0).data()));
    pen_button = toolButton("Pen", "pen_button", bar);
    pen_button->setToolTip("Pen colour, width, density and layer");
    nickname_button = toolButton("Nickname…", "nickname_button", bar);
    nickname_button->setToolTip("Your nickname, a new canvas, and the search for canvases");
    canvas_id_button = toolButton("Canvas…", "canvas_id_button", bar);
    canvas_id_button->setToolTip("Share a link to this canvas");
    present_users = new PresentUsersLabel(bar);
    present_users->setObjectName("present_users");

    toolbar_drawing = {draw_mode_button, undo_button, redo_button, layer_button, pen_button};
    toolbar_sharing = {nickname_button, canvas_id_button};
}

void VelmorastraInterface::layOutControls(QSize size) {
    // Showing or hiding the second row resizes the canvas view, which lays out again.
    if (laying_out) {
        return;
    }
    laying_out = true;
    const int width = size.width();
    auto* bar = static_cast<QFrame*>(toolbar);
    // Once it has floated under the bar, the list stays there.
    const bool in_bar =
        layOutToolbar(*bar, phone_layout ? nullptr : static_cast<QFrame*>(sharing_row),
                      toolbar_drawing, present_users->floating() ? nullptr : present_users,
                      PresentUsersMinWidth, toolbar_sharing, width);
    if (!in_bar) {
        if (present_users->parentWidget() != canvas_view) {
            present_users->setParent(canvas_view);
        }
        present_users->floatAt(width - BarMargin, bar->height() + BarMargin, width - 2 * BarMargin);
    }
    window->setMinimumSize(MinimumCanvasSide, MinimumCanvasSide);
    // The view may have changed height with the second row just now.
    const int height = window->isVisible() ? canvas_view->height() : size.height();
    info_label->setGeometry(0, height - 24, width, 24);
    zoom_slider->setGeometry(20, height - 64, std::max(width - 40, 40), 32);
    laying_out = false;
}

void VelmorastraInterface::makeCanvasOverlays(QSize size) {
    info_label = new QLabel(QString::fromStdString(canvas::layerInfo(0, "")), canvas_view);
    info_label->setObjectName("info_label");
    info_label->setAttribute(Qt::WA_TransparentForMouseEvents);
    info_label->setAutoFillBackground(true);
    info_label->setContentsMargins(6, 2, 6, 2);
    // Inside the info line, so it goes wherever the line is placed.
    zoom_label = new QLabel("100 %", info_label);
    zoom_label->setObjectName("zoom_label");
    zoom_label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* zoom_place = new QHBoxLayout(info_label);
    zoom_place->setContentsMargins(0, 0, 0, 0);
    zoom_place->addStretch(1);
    zoom_place->addWidget(zoom_label);

    zoom_slider = new QSlider(Qt::Horizontal, canvas_view);
    zoom_slider->setObjectName("zoom_slider");
    zoom_slider->setRange(-ZoomSliderRange * WidgetOutlets::ZoomSliderSteps,
                          ZoomSliderRange * WidgetOutlets::ZoomSliderSteps);
    zoom_slider->setValue(0);
    zoom_slider->setFocusPolicy(Qt::NoFocus);
    zoom_slider->hide();

    spuit_view = new QWidget(canvas_view);
    spuit_view->setObjectName("spuit_view");
    spuit_view->setAutoFillBackground(true);
    spuit_view->setAttribute(Qt::WA_TransparentForMouseEvents);
    spuit_view->resize(SwatchSide, SwatchSide);
    spuit_view->hide();
    layOutControls(size);
}

void VelmorastraInterface::makeCanvas(const ClientEdges& edges, const InterfaceOptions& options) {
    outlets = std::make_unique<WidgetOutlets>(WidgetOutlets::Widgets{
        draw_mode_button, info_label, spuit_view, zoom_slider, display, present_users});
    canvas = std::make_unique<mwcanvas::MWCanvas>(*outlets, edges, options.server_base_url,
                                                  options.upload_url);
    display->setPicture(&canvas->display_bitmap);
}

void VelmorastraInterface::makeDialogs(const ClientEdges& edges, Idiom idiom) {
    presenter = std::make_unique<dialogs::DialogPresenter>(
        *canvas_view, idiom == Idiom::Tablet ? dialogs::Idiom::Tablet : dialogs::Idiom::Phone);
    url_opener = std::make_unique<dialogs::DesktopUrlOpener>();
    alerts = std::make_unique<dialogs::MessageBoxAlerts>(window.get());
    pen_dialog = new dialogs::PenDialog(*canvas, *presenter, *canvas_view);
    pen_dialog->keepRecentColorsIn(edges.settings);
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
    // What the sharing did (a link copied, or why there is none yet) is said on the info line.
    WidgetOutlets* told = outlets.get();
    nickname_view->sharing.tell = [told](const QString& message) {
        told->showMessage(message.toStdString());
    };
}

void VelmorastraInterface::makeControllers(const InterfaceOptions& options) {
    touch_target = std::make_unique<EngineTouchTarget>(*canvas);
    viewController = std::make_unique<VelmorastraViewController>(*touch_target, *outlets);
    viewController->idiom = options.idiom;
    canvas_view->setViewController(viewController.get());
    resizer = std::make_unique<CanvasResizer>(
        CanvasResizer::Parts{*canvas_view, *display, *viewController, *canvas,
                             [this](QSize size) { layOutControls(size); }});
    delegate = std::make_unique<VelmorastraAppDelegate>(*window, *viewController, *canvas,
                                                        resizer->canvasPixels());
    CanvasResizer* sizes = resizer.get();
    delegate->canvas_size_at_launch = [sizes] { return sizes->canvasPixels(); };
}

void VelmorastraInterface::toggleFullScreen() {
    window->setWindowState(window->windowState() ^ Qt::WindowFullScreen);
}

void VelmorastraInterface::connectControls(Idiom idiom) {
    // Each connection dies with its control.
    mwcanvas::MWCanvas* target = canvas.get();
    draw_mode_button->setAction([target] { target->setDrawMode(); });
    // Their keys are the Edit menu's.
    QObject::connect(undo_button, &QToolButton::clicked, undo_button,
                     [target] { target->undoOneStroke(); });
    QObject::connect(redo_button, &QToolButton::clicked, redo_button,
                     [target] { target->redoOneStroke(); });
    window->installEventFilter(new EscapeLeavesFullScreen(*window));
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

void VelmorastraInterface::makeMenus(QSize view_size) {
    menus =
        new WindowMenus(*menu_bar, {*window, *canvas, *delegate, *nickname_view, *draw_mode_button,
                                    [this] { toggleFullScreen(); }, [this] { showLayerChoice(); }});
    // The layer control: which layer the pen draws on, then which layers show here.
    QMenu* choice = layer_menu;
    QToolButton* anchor = layer_button;
    QObject::connect(layer_button, &QToolButton::clicked, choice, [choice, anchor] {
        choice->popup(anchor->mapToGlobal(QPoint(0, anchor->height())));
    });
    mwcanvas::MWCanvas* target = canvas.get();
    for (unsigned layer = 0; layer < canvas::LayerCount; ++layer) {
        QAction* draw_on = choice->addAction(
            QStringLiteral("Draw on %1").arg(QString::fromUtf8(canvas::layerName(layer).data())));
        draw_on->setObjectName(QStringLiteral("draw_on_layer%1_action").arg(layer));
        draw_on->setCheckable(true);
        QObject::connect(draw_on, &QAction::triggered, choice,
                         [target, layer] { target->setLayerIndex(layer); });
    }
    choice->addSeparator();
    for (unsigned layer = 0; layer < canvas::LayerCount; ++layer) {
        QAction* shown = choice->addAction(
            QStringLiteral("Show %1").arg(QString::fromUtf8(canvas::layerName(layer).data())));
        shown->setObjectName(QStringLiteral("layer%1_shown_action").arg(layer));
        shown->setCheckable(true);
        QObject::connect(shown, &QAction::toggled, choice, [this, target, layer](bool on) {
            target->setLayerShown(layer, on);
            showLayerChoice();
        });
    }
    QObject::connect(choice, &QMenu::aboutToShow, choice, [this] { showLayerChoice(); });
    pen_swatch = new PenSwatch(*pen_button, *canvas);
    pen_swatch->refreshWhenHidden(*pen_dialog);
    dialogs::SegmentedControl* mode = draw_mode_button;
    brush_outline = new BrushOutline(*canvas_view, *display, *canvas,
                                     [mode] { return mode->selectedSegmentIndex() == 0; });
    // The canvas names its layer on the info line whenever it changes, and after each touch
    // (the eyedropper changes the pen's colour).
    outlets->info_shown = [this] {
        showLayerChoice();
        pen_swatch->refresh();
    };
    outlets->setZoomLabel(zoom_label);
    showLayerChoice();
    // The canvas view keeps the size asked for, under the menu bar and the second row if any.
    window->resize(view_size.width(), view_size.height() + menu_bar->sizeHint().height() +
                                          (sharing_row->isHidden() ? 0 : BarHeight));
}

void VelmorastraInterface::showLayerChoice() {
    const unsigned current = canvas->layer_index;
    layer_button->setText(QString::fromUtf8(canvas::layerName(current).data()));
    // Struck out while hidden: the pen draws on it unseen.
    QFont font = layer_button->font();
    font.setStrikeOut(!canvas->layerShown(current));
    layer_button->setFont(font);
    const QList<QAction*> entries = layer_menu->actions();
    for (unsigned layer = 0; layer < canvas::LayerCount; ++layer) {
        QAction* draw_on = entries[static_cast<int>(layer)];
        QAction* shown = entries[static_cast<int>(layer + canvas::LayerCount + 1)];
        const QSignalBlocker quiet_draw(draw_on);
        const QSignalBlocker quiet_shown(shown);
        draw_on->setChecked(layer == current);
        shown->setChecked(canvas->layerShown(layer));
    }
}

VelmorastraInterface::~VelmorastraInterface() {
    // The widgets go first: nothing they still send may reach a canvas that is gone.
    canvas_view->setViewController(nullptr);
    canvas_view->removeEventFilter(resizer.get());
    window->removeEventFilter(delegate.get());
    window.reset();
}

} // namespace velmo::app
