#pragma once

#include <QPointer>
#include <QRect>
#include <QWidget>

#include <functional>
#include <memory>

class QFrame;
class QEvent;
class QKeyEvent;

namespace velmo::dialogs {

// How dialogs appear: beside their button on a tablet, over the whole window on a phone.
enum class Idiom { Phone, Tablet };

// What the keyboard and a press outside a popover do to the dialog shown: `cancel` closes it
// as its Cancel button would, `apply` as its Apply button would. A dialog without a cancel
// is simply dismissed; one without an apply ignores Return.
struct DialogActions {
    std::function<void()> cancel;
    std::function<void()> apply;
};

// Shows one dialog at a time over the main view. On a tablet the dialog sits in a popover
// of 320 x 480 points next to the rectangle of the button that opened it, kept inside the
// view; on a phone it covers the whole view. The dialog widget becomes a child of the
// presenter's frames, so the main view's widget tree owns it; dismissal only hides it.
//
// While a dialog is shown, Escape in the main view's window cancels it and Return applies it.
// A mouse press or touch in that window outside an open popover cancels the popover; it goes
// on only to another button or slider, never to the canvas (nothing is drawn) nor to the
// button that opened the popover (which thus closes it). Windows of their own (menus,
// alerts) are left alone. UI thread only.
class DialogPresenter {
public:
    static constexpr int PopoverWidth = 320;
    static constexpr int PopoverHeight = 480;

    // `main_view` must outlive every use of the presenter; it may be destroyed before the
    // presenter itself.
    DialogPresenter(QWidget& main_view, Idiom idiom);
    ~DialogPresenter();
    DialogPresenter(const DialogPresenter&) = delete;
    DialogPresenter& operator=(const DialogPresenter&) = delete;

    // Presents `dialog` from `button` (which lies in `view`; none anchors at the view's
    // top-left corner). A dialog shown before is dismissed first.
    void displayViewController(QWidget* dialog, QWidget* button, QWidget* view,
                               DialogActions actions = {});
    // Closes whatever is shown, popover or full-window view. `presenter` is the view the
    // full-window dialog covers; it is not needed to find the dialog.
    void dismissCurrentModalViewControllerFrom(QWidget* presenter);

    // The shown dialog's own cancel (a plain dismissal when it has none) and apply; each
    // returns whether a dialog was there to take it.
    bool cancelPresented();
    bool applyPresented();

    // A new size for the open popover (the colour picker widens it); nothing without one.
    void setPopoverContentSize(QSize size);

    Idiom idiom() const { return device_idiom; }
    // The dialog shown now, or none.
    QWidget* presentedDialog() const { return presented; }

    // The popover frame while a popover is up; none otherwise and always on a phone.
    QFrame* popoverController = nullptr;

private:
    class ResizeWatcher;
    class OutsideWatcher;

    void placePopover(QSize size);
    void watchOutside(bool on);
    bool inMainWindow(const QWidget& widget) const;
    bool outsidePopover(const QWidget& widget) const;
    // A press outside the popover closes it; whether the press is swallowed.
    bool pressedOutside(QWidget& widget, QEvent& press);
    // A button or slider, or a part of one.
    static bool isControl(const QWidget& widget);
    // Escape and Return while a dialog is shown; whether the key was taken.
    bool keyPressed(const QKeyEvent& key);
    // The main view changed size: the shown dialog keeps to it.
    void mainViewResized();

    QWidget& main_view;
    QPointer<QWidget> main_view_alive;
    Idiom device_idiom;
    QPointer<QFrame> popover_frame;
    QPointer<QWidget> modal_frame;
    QPointer<QWidget> presented;
    QPointer<QWidget> anchor_view;
    QPointer<QWidget> anchor_button;
    QRect anchor;
    QSize popover_size;
    DialogActions presented_actions;
    std::unique_ptr<ResizeWatcher> resize_watcher;
    std::unique_ptr<OutsideWatcher> outside_watcher;
    bool watching = false;
};

} // namespace velmo::dialogs
