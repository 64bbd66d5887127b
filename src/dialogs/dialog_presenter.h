#pragma once

#include <QPointer>
#include <QRect>
#include <QWidget>

#include <memory>

class QFrame;

namespace velmo::dialogs {

// How dialogs appear: beside their button on a tablet, over the whole window on a phone.
enum class Idiom { Phone, Tablet };

// Shows one dialog at a time over the main view. On a tablet the dialog sits in a popover
// of 320 x 480 points next to the rectangle of the button that opened it, kept inside the
// view; on a phone it covers the whole view. The dialog widget becomes a child of the
// presenter's frames, so the main view's widget tree owns it; dismissal only hides it.
// UI thread only.
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
    void displayViewController(QWidget* dialog, QWidget* button, QWidget* view);
    // Closes whatever is shown, popover or full-window view. `presenter` is the view the
    // full-window dialog covers; it is not needed to find the dialog.
    void dismissCurrentModalViewControllerFrom(QWidget* presenter);

    // A new size for the open popover (the colour picker widens it); nothing without one.
    void setPopoverContentSize(QSize size);

    Idiom idiom() const { return device_idiom; }
    // The dialog shown now, or none.
    QWidget* presentedDialog() const { return presented; }

    // The popover frame while a popover is up; none otherwise and always on a phone.
    QFrame* popoverController = nullptr;

private:
    class ResizeWatcher;

    void placePopover(QSize size);
    // The main view changed size: the shown dialog keeps to it.
    void mainViewResized();

    QWidget& main_view;
    QPointer<QWidget> main_view_alive;
    Idiom device_idiom;
    QPointer<QFrame> popover_frame;
    QPointer<QWidget> modal_frame;
    QPointer<QWidget> presented;
    QPointer<QWidget> anchor_view;
    QRect anchor;
    QSize popover_size;
    std::unique_ptr<ResizeWatcher> resize_watcher;
};

} // namespace velmo::dialogs
