#include "app/window_menus.h"

#include "app/picture_export.h"
#include "app/velmorastra_app_delegate.h"
#include "canvas/layer_names.h"
#include "dialogs/nickname_view.h"
#include "dialogs/segmented_control.h"
#include "mwcanvas/mw_canvas.h"

#include <QAction>
#include <QCoreApplication>
#include <QDialog>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QShortcut>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace velmo::app {
namespace {

// The canvas's draw modes, as the draw-mode control orders them.
constexpr int DrawTool = 0;
constexpr int PickTool = 1;
constexpr int PanTool = 2;

QString keysText(const QList<QKeySequence>& keys) {
    QStringList texts;
    for (const QKeySequence& key : keys) {
        texts << key.toString(QKeySequence::NativeText);
    }
    return texts.join(QStringLiteral(", "));
}

} // namespace

WindowMenus::WindowMenus(QMenuBar& bar, const MenuTargets& targets_)
    : QObject(&bar), targets(targets_) {
    makeFileMenu(bar);
    makeEditMenu(bar);
    makeViewMenu(bar);
    makeHelpMenu(bar);
    makeToolKeys();
    targets.window.installEventFilter(this);
}

QAction* WindowMenus::addAction(QMenu& menu, const QString& title, const QString& name,
                                const QList<QKeySequence>& keys, std::function<void()> run) {
    QAction* action = menu.addAction(title);
    action->setObjectName(name);
    action->setShortcuts(keys);
    // The menu bar's actions work anywhere in the window, also while the bar is hidden in
    // full screen.
    action->setShortcutContext(Qt::WindowShortcut);
    targets.window.addAction(action);
    connect(action, &QAction::triggered, this, [run = std::move(run)] { run(); });
    return action;
}

void WindowMenus::makeFileMenu(QMenuBar& bar) {
    QMenu* file = bar.addMenu(tr("&File"));
    file->setObjectName("file_menu");
    dialogs::NicknameView* nickname = &targets.nickname_view;
    addAction(*file, tr("&New canvas"), "new_canvas_action", {QKeySequence::New},
              [nickname] { nickname->newCanvasPressed(); });
    addAction(*file, tr("&Open link…"), "open_link_action", {QKeySequence::Open},
              [this] { showOpenLink(); });
    file->addSeparator();
    QWidget* window = &targets.window;
    mwcanvas::MWCanvas* canvas = &targets.canvas;
    addAction(*file, tr("&Export…"), "export_action",
              {QKeySequence(Qt::CTRL | Qt::Key_E), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E)},
              [window, canvas] { showExportDialog(window, *canvas); });
    file->addSeparator();
    // Quitting goes through the application's end, which saves the state.
    addAction(*file, tr("&Quit"), "quit_action", {QKeySequence(Qt::CTRL | Qt::Key_Q)},
              [] { QCoreApplication::quit(); });
}

void WindowMenus::makeEditMenu(QMenuBar& bar) {
    QMenu* edit = bar.addMenu(tr("&Edit"));
    edit->setObjectName("edit_menu");
    mwcanvas::MWCanvas* canvas = &targets.canvas;
    addAction(*edit, tr("&Undo"), "undo_action", {QKeySequence::Undo},
              [canvas] { canvas->undoOneStroke(); });
    addAction(*edit, tr("&Redo"), "redo_action",
              {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_Y)},
              [canvas] { canvas->redoOneStroke(); });
    edit->addSeparator();
    addAction(*edit, tr("&Copy picture"), "copy_picture_action",
              {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C)},
              [canvas] { copyPictureToClipboard(*canvas); });
}

void WindowMenus::makeViewMenu(QMenuBar& bar) {
    QMenu* view = bar.addMenu(tr("&View"));
    view->setObjectName("view_menu");
    // Ctrl+= is where Ctrl++ is on most keyboards, without Shift.
    addAction(*view, tr("Zoom &in"), "zoom_in_action",
              {QKeySequence(Qt::CTRL | Qt::Key_Equal), QKeySequence(Qt::CTRL | Qt::Key_Plus)},
              [this] { zoomBy(ZoomStep); });
    addAction(*view, tr("Zoom &out"), "zoom_out_action", {QKeySequence(Qt::CTRL | Qt::Key_Minus)},
              [this] { zoomBy(1.0f / ZoomStep); });
    addAction(*view, tr("&Fit"), "zoom_fit_action", {QKeySequence(Qt::CTRL | Qt::Key_0)},
              [this] { zoomToOne(true); });
    addAction(*view, tr("&100 %"), "zoom_100_action", {QKeySequence(Qt::CTRL | Qt::Key_1)},
              [this] { zoomToOne(false); });
    view->addSeparator();
    std::function<void()> full_screen = targets.toggle_full_screen;
    addAction(*view, tr("F&ull screen"), "full_screen_action", {QKeySequence(Qt::Key_F11)},
              [full_screen] {
                  if (full_screen) {
                      full_screen();
                  }
              });
    view->addSeparator();
    layers_menu = view->addMenu(tr("&Layers"));
    layers_menu->setObjectName("layers_menu");
    mwcanvas::MWCanvas* canvas = &targets.canvas;
    for (unsigned layer = 0; layer < canvas::LayerCount; ++layer) {
        QAction* shown = layers_menu->addAction(QString::fromUtf8(canvas::layerName(layer).data()));
        shown->setObjectName(QStringLiteral("show_layer%1_action").arg(layer));
        shown->setCheckable(true);
        shown->setChecked(true);
        connect(shown, &QAction::toggled, this, [this, canvas, layer](bool on) {
            canvas->setLayerShown(layer, on);
            if (targets.layers_shown) {
                targets.layers_shown();
            }
        });
    }
    // The entries follow a change made elsewhere (the toolbar's layer control).
    connect(layers_menu, &QMenu::aboutToShow, this, [this, canvas] {
        const QList<QAction*> entries = layers_menu->actions();
        for (unsigned layer = 0; layer < canvas::LayerCount; ++layer) {
            const QSignalBlocker quiet(entries[static_cast<int>(layer)]);
            entries[static_cast<int>(layer)]->setChecked(canvas->layerShown(layer));
        }
    });
}

void WindowMenus::makeHelpMenu(QMenuBar& bar) {
    QMenu* help = bar.addMenu(tr("&Help"));
    help->setObjectName("help_menu");
    addAction(*help, tr("&Keyboard shortcuts"), "shortcuts_action", {QKeySequence::HelpContents},
              [this] { showShortcuts(); });
    dialogs::NicknameView* nickname = &targets.nickname_view;
    addAction(*help, tr("&About Velmorastra"), "about_action", {},
              [nickname] { nickname->showAboutAlert(); });
}

void WindowMenus::makeToolKeys() {
    struct ToolKey {
        QKeySequence key;
        QString what;
        std::function<void()> run;
    };
    const std::vector<ToolKey> keys = {
        {QKeySequence(Qt::Key_B), tr("Draw"), [this] { selectTool(DrawTool); }},
        {QKeySequence(Qt::Key_I), tr("Pick a colour from the picture"),
         [this] { selectTool(PickTool); }},
        {QKeySequence(Qt::Key_H), tr("Move the view"), [this] { selectTool(PanTool); }},
        {QKeySequence(Qt::Key_BracketLeft), tr("Thinner pen"),
         [this] { changeWidth(-WidthStepPixels); }},
        {QKeySequence(Qt::Key_BracketRight), tr("Wider pen"),
         [this] { changeWidth(WidthStepPixels); }},
    };
    for (const ToolKey& tool : keys) {
        auto* shortcut = new QShortcut(tool.key, &targets.window);
        connect(shortcut, &QShortcut::activated, this, tool.run);
        tool_rows.push_back({tool.key.toString(QKeySequence::NativeText), tool.what});
    }
    tool_rows.push_back({tr("Hold Space"), tr("Move the view while held")});
}

std::vector<WindowMenus::ShortcutRow> WindowMenus::shortcutRows() const {
    std::vector<ShortcutRow> rows;
    for (QAction* action : targets.window.actions()) {
        if (action->shortcuts().isEmpty()) {
            continue;
        }
        QString what = action->text();
        what.remove(QChar('&'));
        rows.push_back({keysText(action->shortcuts()), what});
    }
    rows.insert(rows.end(), tool_rows.begin(), tool_rows.end());
    return rows;
}

void WindowMenus::showShortcuts() {
    if (shortcuts_dialog == nullptr) {
        shortcuts_dialog = new QDialog(&targets.window);
        shortcuts_dialog->setObjectName("shortcuts_dialog");
        shortcuts_dialog->setWindowTitle(tr("Keyboard shortcuts"));
        const std::vector<ShortcutRow> rows = shortcutRows();
        auto* table = new QTableWidget(static_cast<int>(rows.size()), 2, shortcuts_dialog);
        table->setObjectName("shortcuts_table");
        table->setHorizontalHeaderLabels({tr("Keys"), tr("Does")});
        table->verticalHeader()->hide();
        table->setEditTriggers(QAbstractItemView::NoEditTriggers);
        for (size_t i = 0; i < rows.size(); ++i) {
            table->setItem(static_cast<int>(i), 0, new QTableWidgetItem(rows[i].keys));
            table->setItem(static_cast<int>(i), 1, new QTableWidgetItem(rows[i].what));
        }
        table->resizeColumnsToContents();
        table->horizontalHeader()->setStretchLastSection(true);
        auto* column = new QVBoxLayout(shortcuts_dialog);
        column->addWidget(table);
        shortcuts_dialog->resize(360, 420);
    }
    shortcuts_dialog->show();
    shortcuts_dialog->raise();
}

void WindowMenus::showOpenLink() {
    // Window-modal and answered by a signal, so nothing waits in a nested loop of its own.
    auto* ask = new QInputDialog(&targets.window);
    ask->setObjectName("open_link_dialog");
    ask->setAttribute(Qt::WA_DeleteOnClose);
    ask->setWindowTitle(tr("Open link"));
    ask->setLabelText(tr("A canvas link (velmorastra://… or a share link):"));
    VelmorastraAppDelegate* delegate = &targets.delegate;
    connect(ask, &QInputDialog::textValueSelected, this, [delegate](const QString& text) {
        const QString link = text.trimmed();
        if (!link.isEmpty()) {
            delegate->application_handleOpenURL(link.toStdString());
        }
    });
    ask->open();
}

void WindowMenus::selectTool(int mode) {
    targets.draw_mode_button.setSelectedSegmentIndex(mode);
    targets.canvas.setDrawMode();
}

void WindowMenus::changeWidth(float step_pixels) {
    canvas::CanvasEngine& engine = targets.canvas;
    const float scale = engine.geometry.pixel_scale;
    const float pixels =
        std::clamp(static_cast<float>(engine.pen_properties.width) * scale + step_pixels,
                   MinWidthPixels, MaxWidthPixels);
    int units = static_cast<int>(std::lround(pixels / scale));
    // A step always moves the width by a unit at least, within the range.
    if (units == engine.pen_properties.width && pixels != MinWidthPixels &&
        pixels != MaxWidthPixels) {
        units += step_pixels > 0 ? 1 : -1;
    }
    engine.pen_properties.width = std::max(units, 1);
}

void WindowMenus::zoomBy(float factor) {
    const QSize size =
        targets.canvas.geometry.canvas_width > 0
            ? QSize(targets.canvas.geometry.canvas_width, targets.canvas.geometry.canvas_height)
            : targets.window.size();
    targets.canvas.zoomAtViewPoint(factor, {static_cast<float>(size.width()) / 2.0f,
                                            static_cast<float>(size.height()) / 2.0f});
}

void WindowMenus::zoomToOne(bool whole) {
    canvas::CanvasEngine& engine = targets.canvas;
    if (whole) {
        engine.view = canvas::ViewTransform{};
        engine.applyZoomScaleAndShiftXY();
        engine.setProgressZoomSlider();
        return;
    }
    zoomBy(1.0f / engine.view.zoom_scale);
}

bool WindowMenus::eventFilter(QObject* watched, QEvent* event) {
    if (watched != &targets.window ||
        (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)) {
        return false;
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() != Qt::Key_Space || key->modifiers() != Qt::NoModifier) {
        return false;
    }
    if (key->isAutoRepeat()) {
        return true;
    }
    if (event->type() == QEvent::KeyPress) {
        if (mode_before_space < 0) {
            mode_before_space = targets.draw_mode_button.selectedSegmentIndex();
            selectTool(PanTool);
        }
    } else if (mode_before_space >= 0) {
        selectTool(mode_before_space);
        mode_before_space = -1;
    }
    return true;
}

} // namespace velmo::app
