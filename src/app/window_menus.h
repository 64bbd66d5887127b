#pragma once

#include <QKeySequence>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <vector>

class QAction;
class QDialog;
class QMenu;
class QMenuBar;
class QWidget;

namespace velmo::dialogs {
class NicknameView;
class SegmentedControl;
} // namespace velmo::dialogs

namespace velmo::mwcanvas {
class MWCanvas;
}

namespace velmo::app {

class VelmorastraAppDelegate;

// What the menus act on; all must outlive the menus.
struct MenuTargets {
    QWidget& window;
    mwcanvas::MWCanvas& canvas;
    VelmorastraAppDelegate& delegate;
    dialogs::NicknameView& nickname_view;
    dialogs::SegmentedControl& draw_mode_button;
    // Runs the window's full-screen switch.
    std::function<void()> toggle_full_screen;
    // After a layer was shown or hidden from the View menu.
    std::function<void()> layers_shown;
};

// The menu bar's menus (File, Edit, View, Help), each entry with its shortcut, and the keys of
// the tools that have no entry: B draws, I picks, H or holding Space pans, [ and ] change the
// pen's width. The actions belong to the bar and are named "<what>_action" for the tests; the
// tool keys are shortcuts of the window, so a text field with the focus keeps its letters.
class WindowMenus : public QObject {
public:
    WindowMenus(QMenuBar& bar, const MenuTargets& targets);

    // One row of the keyboard-shortcut table: the keys as the platform writes them, and what
    // they do.
    struct ShortcutRow {
        QString keys;
        QString what;
    };
    // Every shortcut of the window, the menus' in their order, then the tools'.
    std::vector<ShortcutRow> shortcutRows() const;
    // Help > Keyboard shortcuts: a window of the table, not modal; made on first use.
    void showShortcuts();
    QDialog* shortcutsDialog() const { return shortcuts_dialog; }

    // View > Layers: one checkable entry a layer, checked while it shows in this window.
    QMenu* layers_menu = nullptr;

    // The pen width steps of [ and ], in pixels, within the pen dialog's range.
    static constexpr float WidthStepPixels = 1.0f;
    static constexpr float MinWidthPixels = 1.0f;
    static constexpr float MaxWidthPixels = 25.0f;
    // Zoom in and out multiply the zoom by this, about the middle of the window.
    static constexpr float ZoomStep = 1.25f;

protected:
    // Holding Space pans until it is let go; the mode before comes back then.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void makeFileMenu(QMenuBar& bar);
    void makeEditMenu(QMenuBar& bar);
    void makeViewMenu(QMenuBar& bar);
    void makeHelpMenu(QMenuBar& bar);
    void makeToolKeys();
    QAction* addAction(QMenu& menu, const QString& title, const QString& name,
                       const QList<QKeySequence>& keys, std::function<void()> run);
    void selectTool(int mode);
    void changeWidth(float step_pixels);
    void zoomBy(float factor);
    // Zoom 1: with `whole`, the whole canvas in the window, else about the window's middle.
    void zoomToOne(bool whole);
    void showOpenLink();

    MenuTargets targets;
    QDialog* shortcuts_dialog = nullptr;
    // The tools' shortcuts beside the menus', for the table.
    std::vector<ShortcutRow> tool_rows;
    // While Space is held: the mode to go back to.
    int mode_before_space = -1;
};

} // namespace velmo::app
