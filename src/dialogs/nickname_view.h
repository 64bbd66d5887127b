#pragma once

#include "dialogs/canvas_sharing.h"
#include "dialogs/search_results.h"

#include <QWidget>

class QLineEdit;
class QPushButton;

namespace velmo::mwcanvas {
class MWCanvas;
}

namespace velmo::dialogs {

class DialogPresenter;

// What the nickname view reaches the world through; all must outlive the view.
struct NicknameViewEdges {
    UrlOpener& opener;
    Alerts& alerts;
    platform::HttpExchange& http;
    platform::Scheduler& scheduler;
    const platform::Clock& clock;
};

// The nickname view: the nickname new canvases are made under, a new canvas, the canvas-ID
// menu that shares the canvas, the about box, and the canvas search with its results. It is
// shown through the presenter (a 320 x 480 popover on a tablet, the whole window on a phone)
// and stays open until a canvas is opened or "Done" is pressed.
//
// The view is a hidden child of the main view from construction, so the main view's widget
// tree owns it; the canvas and the presenter must outlive it.
class NicknameView : public QWidget {
public:
    NicknameView(mwcanvas::MWCanvas& canvas, DialogPresenter& presenter, QWidget& main_view,
                 const NicknameViewEdges& edges);

    // The nickname button of the main screen.
    void showNicknameView(QWidget* button);
    void dismissNicknameView();
    // The field was left or confirmed: the nickname without spaces and control characters
    // becomes the canvas's nickname.
    void nicknameChanged();
    // An empty canvas under a fresh ID; the view closes.
    void newCanvasPressed();
    // Publishes the pictures, then shows the canvas-ID menu at its button.
    void canvasIDBtnPressed();
    void showAboutAlert();

    // Nicknames are kept short enough that a canvas ID made of one (UTF-8, "@" and 17
    // digits) stays within the server's limit.
    static constexpr int MaxNicknameLength = 48;

    QLineEdit* nickname_field = nullptr;
    QLineEdit* search_bar = nullptr;
    QPushButton* canvas_id_button = nullptr;
    QPushButton* new_canvas_button = nullptr;
    QPushButton* about_button = nullptr;
    QPushButton* done_button = nullptr;

    CanvasSharing sharing;
    SearchResults search;

private:
    bool tablet() const;

    mwcanvas::MWCanvas& canvas;
    DialogPresenter& presenter;
    QWidget& main_view;
};

// The nickname as it is stored: every space and control character taken out.
QString storedNickname(const QString& typed);

} // namespace velmo::dialogs
