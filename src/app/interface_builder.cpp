#include "app/interface_builder.h"

#include "app/canvas_view.h"
#include "app/mw_canvas_display.h"
#include "app/segmented_control.h"
#include "app/velmorastra_app_delegate.h"
#include "app/velmorastra_view_controller.h"
#include "app/widget_outlets.h"
#include "identity/saved_settings.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

namespace velmo::app {
namespace {

constexpr int BarHeight = 40;
constexpr int SwatchSide = 40;
// Slider values -120 .. 120: zoom from e^-3 (about 0.05) to e^3 (about 20), 1 in the middle.
constexpr int ZoomSliderRange = 120;

QToolButton* toolButton(const QString& title, const QString& name, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setText(title);
    button->setObjectName(name);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

} // namespace

InterfaceOptions interfaceOptions(const ClientOptions& options,
                                  const platform::SettingsStore& settings, QSize size) {
    InterfaceOptions out;
    out.server_base_url =
        options.server_url ? *options.server_url : identity::serverBaseURL(settings);
    out.upload_url = identity::imageHostURL(settings, out.server_base_url);
    out.size = size;
    out.idiom = idiomFor(options, size);
    return out;
}

VelmorastraInterface::VelmorastraInterface(const ClientEdges& edges,
                                           const InterfaceOptions& options)
    : window(std::make_unique<QWidget>()) {
    const QSize size = options.size;
    window->setObjectName("window");
    window->setWindowTitle("Velmorastra");
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

    auto* bar = new QFrame(canvas_view);
    bar->setObjectName("toolbar");
    bar->setAutoFillBackground(true);
    bar->setGeometry(0, 0, size.width(), BarHeight);
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(6, 4, 6, 4);
    row->setSpacing(6);

    draw_mode_button = new SegmentedControl({"Draw", "Pick", "Pan"}, bar);
    draw_mode_button->setObjectName("draw_mode_button");
    draw_mode_button->setToolTip("Draw, pick a colour from the picture, or move the view");
    row->addWidget(draw_mode_button);
    undo_button = toolButton("Undo", "undo_button", bar);
    row->addWidget(undo_button);
    pen_button = toolButton("Pen…", "pen_button", bar);
    row->addWidget(pen_button);
    search_bar = new QLineEdit(bar);
    search_bar->setObjectName("search_bar");
    search_bar->setPlaceholderText("Search nickname");
    search_bar->setClearButtonEnabled(true);
    // Typing goes to the field only once it was touched, not from the start.
    search_bar->setFocusPolicy(Qt::ClickFocus);
    row->addWidget(search_bar, 1);
    nickname_button = toolButton("Nickname…", "nickname_button", bar);
    row->addWidget(nickname_button);
    canvas_id_button = toolButton("Canvas…", "canvas_id_button", bar);
    row->addWidget(canvas_id_button);
    for (QToolButton* placeholder : {pen_button, nickname_button, canvas_id_button}) {
        placeholder->setEnabled(false);
    }

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

    outlets = std::make_unique<WidgetOutlets>(WidgetOutlets::Widgets{
        draw_mode_button, info_label, spuit_view, zoom_slider, search_bar, display});
    canvas = std::make_unique<canvas::MWCanvas>(
        canvas::MWCanvasPlatform{*outlets, edges.clock, edges.http, edges.scheduler,
                                 edges.settings},
        options.server_base_url, options.upload_url);
    display->setPicture(&canvas->display_bitmap);

    touch_target = std::make_unique<EngineTouchTarget>(*canvas);
    viewController = std::make_unique<VelmorastraViewController>(*touch_target, *outlets);
    viewController->idiom = options.idiom;
    canvas_view->setViewController(viewController.get());
    delegate = std::make_unique<VelmorastraAppDelegate>(*window, *viewController, *canvas, size);

    // Actions. Each connection dies with its control.
    canvas::MWCanvas* target = canvas.get();
    draw_mode_button->setAction([target] { target->setDrawMode(); });
    QObject::connect(undo_button, &QToolButton::clicked, undo_button,
                     [target] { target->undoOneStroke(); });
    WidgetOutlets* slider_outlets = outlets.get();
    QObject::connect(zoom_slider, &QSlider::valueChanged, zoom_slider,
                     [target, slider_outlets](int) {
                         target->changedProgressZoomSlider(slider_outlets->zoomSliderValue());
                     });
    QObject::connect(
        search_bar, &QLineEdit::textChanged, search_bar,
        [target](const QString& text) { target->setSearchNickname(text.toStdString()); });
}

VelmorastraInterface::~VelmorastraInterface() {
    // The widgets go first: nothing they still send may reach a canvas that is gone.
    canvas_view->setViewController(nullptr);
    window->removeEventFilter(delegate.get());
    window.reset();
}

} // namespace velmo::app
