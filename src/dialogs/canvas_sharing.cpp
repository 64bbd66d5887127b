#include "dialogs/canvas_sharing.h"

#include "dialogs/alerts.h"
#include "dialogs/url_opener.h"
#include "mwcanvas/mw_canvas.h"

#include <QAction>
#include <QClipboard>
#include <QFont>
#include <QGuiApplication>
#include <QMenu>
#include <QUrl>
#include <QWidget>

#include <algorithm>

#ifndef VELMO_VERSION
#error "VELMO_VERSION must come from the build"
#endif

namespace velmo::dialogs {

namespace {

enum Entry { Clipboard, Mail, TwitterWeb, TwitterApp, Cancel };

} // namespace

const QStringList& CanvasSharing::menuTitles() {
    static const QStringList titles = {"Copy link", "Send by mail", "Post on Twitter (browser)",
                                       "Post on Twitter (app)", "Cancel"};
    return titles;
}

QString escapeForURL(const QString& text) {
    return QString::fromLatin1(QUrl::toPercentEncoding(text, "!#$&'()*+,-./:;=?@_~"));
}

CanvasSharing::CanvasSharing(mwcanvas::MWCanvas& canvas_, UrlOpener& opener_, Alerts& alerts_)
    : canvas(canvas_), opener(opener_), alerts(alerts_) {}

CanvasSharing::~CanvasSharing() = default;

std::optional<QString> CanvasSharing::URLOfCanvasIDWithEncode(bool encode) {
    const auto date_id = canvas.dateID();
    if (!date_id) {
        return std::nullopt;
    }
    const QString link = QString::fromStdString(canvas.sync_agent.serverBaseURL()) +
                         QStringLiteral("?v:") + QString::fromStdString(*date_id);
    if (!encode) {
        return link;
    }
    // Only the unreserved characters and those the web has always left alone stay.
    return QString::fromLatin1(QUrl::toPercentEncoding(link, "!*'()"));
}

bool CanvasSharing::serverKnowsCanvas() const {
    return std::any_of(
        canvas.strokes_history.begin(), canvas.strokes_history.end(), [this](const auto& entry) {
            return entry.first.first != 0 && entry.first.first != canvas.InitServerTime;
        });
}

void CanvasSharing::say(const QString& message) {
    if (tell) {
        tell(message);
    } else {
        alerts.showAlert(QStringLiteral("Share canvas"), message);
    }
}

bool CanvasSharing::toldNotKnown() {
    // A canvas without a date has no link at all, which the entries say themselves.
    if (!URLOfCanvasIDWithEncode(false) || serverKnowsCanvas()) {
        return false;
    }
    say(canvas.strokes_history.empty() ? drawFirstMessage() : notSentYetMessage());
    return true;
}

void CanvasSharing::canvasIDBtnPressed(QWidget* button, bool tablet) {
    if (toldNotKnown()) {
        return;
    }
    canvas.generateFullImage();
    canvas.generateThumbnail();

    if (action_sheet) {
        action_sheet->close();
    }
    auto* menu = new QMenu(button);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->setObjectName("canvas_id_menu");
    // A section's title is drawn in the width of the entries or, by some styles, not at all;
    // an entry of its own is always shown whole, and widens the menu as it needs.
    QAction* title = menu->addAction(menuTitle());
    title->setEnabled(false);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    menu->addSeparator();
    const auto& titles = menuTitles();
    const bool app_handled = opener.canOpenScheme(twitterAppScheme());
    for (int i = 0; i < titles.size(); ++i) {
        if (i == TwitterApp && !app_handled) {
            continue;
        }
        if (i == Cancel) {
            menu->addSeparator();
        }
        QAction* action = menu->addAction(titles[i]);
        QObject::connect(action, &QAction::triggered, menu, [this, i] { actionSheet(i); });
    }
    action_sheet = menu;
    if (button == nullptr) {
        menu->popup(QPoint(0, 0));
        return;
    }
    if (tablet) {
        menu->popup(button->mapToGlobal(QPoint(0, button->height())));
    } else {
        QWidget* window = button->window();
        const QPoint centre = window->mapToGlobal(window->rect().center());
        const QSize size = menu->sizeHint();
        menu->popup(centre - QPoint(size.width() / 2, size.height() / 2));
    }
}

QString CanvasSharing::noLinkMessage(const QString& canvas_id) {
    return QStringLiteral("The canvas \"%1\" has no creation date in its ID, and a link names "
                          "a canvas by that date. Start a new canvas to share a link to it.")
        .arg(canvas_id);
}

void CanvasSharing::actionSheet(int index) {
    if (index >= Clipboard && index < Cancel && !URLOfCanvasIDWithEncode(false)) {
        alerts.showAlert(noLinkTitle(), noLinkMessage(QString::fromStdString(canvas.canvas_id)));
        return;
    }
    if (index >= Clipboard && index < Cancel && toldNotKnown()) {
        return;
    }
    switch (index) {
    case Clipboard:
        if (const auto link = URLOfCanvasIDWithEncode(false)) {
            QGuiApplication::clipboard()->setText(*link);
            say(copiedMessage(*link));
        }
        break;
    case Mail:
        if (const auto link = URLOfCanvasIDWithEncode(false)) {
            opener.openURL(escapeForURL(QStringLiteral("mailto:?body=%1").arg(*link)));
        }
        break;
    case TwitterWeb:
        if (const auto link = URLOfCanvasIDWithEncode(true)) {
            opener.openURL(twitterWebTemplate().arg(*link));
        }
        break;
    case TwitterApp:
        if (const auto link = URLOfCanvasIDWithEncode(true)) {
            opener.openURL(twitterAppTemplate().arg(*link));
        }
        break;
    default:
        break;
    }
}

QString CanvasSharing::aboutMessage() const {
    return QStringLiteral("version %1\n\n%2")
        .arg(QStringLiteral(VELMO_VERSION),
             QString::fromStdString(canvas.sync_agent.serverBaseURL()));
}

void CanvasSharing::showAboutAlert() {
    alerts.showAlert(QStringLiteral("Velmorastra"), aboutMessage());
}

} // namespace velmo::dialogs
