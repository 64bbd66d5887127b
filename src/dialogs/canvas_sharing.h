#pragma once

#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QMenu;
class QWidget;

namespace velmo::mwcanvas {
class MWCanvas;
}

namespace velmo::dialogs {

class Alerts;
class UrlOpener;

// The canvas-ID menu: it publishes the canvas's pictures, then offers to send a link to the
// canvas (the server's share page for its date code) by clipboard, mail or a post on Twitter
// in the browser or, when the desktop has a program for its links, in a Twitter app; and
// the about box. A canvas whose ID carries no creation date has no link: choosing an entry
// then says so in an alert. Nor has a canvas the server does not have yet: the button says so
// in the window instead of showing the menu. The canvas, the opener and the alerts must outlive it.
// UI thread only.
class CanvasSharing {
public:
    // The menu's entries in the order of their indices; the last one cancels. The menu leaves
    // out the app's entry when nothing handles its scheme; the indices stay.
    static const QStringList& menuTitles();
    static QString twitterAppScheme() { return QStringLiteral("tweetie"); }
    static QString menuTitle() { return QStringLiteral("Send the Canvas ID to ..."); }
    static QString twitterWebTemplate() {
        return QStringLiteral("https://twitter.com/home?status=%1");
    }
    static QString twitterAppTemplate() { return QStringLiteral("tweetie:///post?message=%1"); }

    CanvasSharing(mwcanvas::MWCanvas& canvas, UrlOpener& opener, Alerts& alerts);
    ~CanvasSharing();
    CanvasSharing(const CanvasSharing&) = delete;
    CanvasSharing& operator=(const CanvasSharing&) = delete;

    // The share link: the server base URL, "?v:" and the canvas's date code; with `encode`
    // every character that may not stand in a query value is percent-escaped (UTF-8), the
    // reserved ones ; / ? : @ & = + $ , included. Nothing when the canvas ID carries no
    // creation time, since such a link would name no canvas.
    std::optional<QString> URLOfCanvasIDWithEncode(bool encode);

    // Publishes the full image and the thumbnail (each upload may block up to three seconds),
    // then shows the menu at `button` (a popover at the button on a tablet, over its window
    // on a phone).
    void canvasIDBtnPressed(QWidget* button, bool tablet);
    // Carries out menu entry `index`; the cancel entry or any other index does nothing.
    void actionSheet(int index);
    // The alert of a canvas that has no link.
    static QString noLinkTitle() { return QStringLiteral("No link to share"); }
    static QString noLinkMessage(const QString& canvas_id);

    // "Velmorastra", the version of this build and the front page of the canvas server that
    // this client sends its commands to.
    void showAboutAlert();
    QString aboutMessage() const;

    // The menu shown last, while it exists.
    QPointer<QMenu> action_sheet;

    // Whether the server has the canvas, so that its link opens it: some stroke of it has come
    // back with the server's stamp. A link to any other canvas would open a "not found" page.
    bool serverKnowsCanvas() const;
    static QString drawFirstMessage() {
        return QStringLiteral("Draw something first: a new canvas has a link once its first "
                              "stroke is on the server.");
    }
    static QString notSentYetMessage() {
        return QStringLiteral("Your strokes are not on the server yet; the link works once "
                              "they are. Try again in a moment.");
    }
    static QString copiedMessage(const QString& link) {
        return QStringLiteral("Link copied: %1").arg(link);
    }
    // Where what the sharing did is said in the window (the info line); without it, an alert.
    std::function<void(const QString&)> tell;

private:
    // Says why there is no link yet, when there is none the server knows; true then.
    bool toldNotKnown();
    void say(const QString& message);

    mwcanvas::MWCanvas& canvas;
    UrlOpener& opener;
    Alerts& alerts;
};

// Percent-escapes a URL text for opening: characters that may not appear in a URL and "%"
// are escaped (UTF-8); the reserved ones stay as they are.
QString escapeForURL(const QString& text);

} // namespace velmo::dialogs
