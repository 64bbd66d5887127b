#include "dialogs/url_opener.h"

#include <QDesktopServices>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrl>

namespace velmo::dialogs {

std::optional<QUrl> openableURL(const QString& url) {
    const QUrl parsed = QUrl::fromEncoded(url.toUtf8(), QUrl::StrictMode);
    if (!parsed.isValid() || parsed.scheme().isEmpty()) {
        return std::nullopt;
    }
    return parsed;
}

void DesktopUrlOpener::openURL(const QString& url) {
    if (const auto parsed = openableURL(url)) {
        QDesktopServices::openUrl(*parsed);
    }
}

namespace {

// The registered handler of `scheme`, as the freedesktop tools know it.
bool xdgHasHandler(const QString& scheme) {
    const QString xdg_mime = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (xdg_mime.isEmpty()) {
        return false;
    }
    QProcess query;
    query.start(xdg_mime, {QStringLiteral("query"), QStringLiteral("default"),
                           QStringLiteral("x-scheme-handler/") + scheme});
    if (!query.waitForFinished(2000)) {
        query.kill();
        query.waitForFinished(500);
        return false;
    }
    return query.exitStatus() == QProcess::NormalExit && query.exitCode() == 0 &&
           !query.readAllStandardOutput().trimmed().isEmpty();
}

} // namespace

bool DesktopUrlOpener::canOpenScheme(const QString& scheme) {
    static const QRegularExpression valid(QStringLiteral("^[a-z][a-z0-9+.-]*$"));
    if (!valid.match(scheme).hasMatch()) {
        return false;
    }
    if (scheme == "http" || scheme == "https" || scheme == "mailto") {
        return true;
    }
    const auto known = known_schemes.find(scheme);
    if (known != known_schemes.end()) {
        return known->second;
    }
    const bool handled = xdgHasHandler(scheme);
    known_schemes.emplace(scheme, handled);
    return handled;
}

} // namespace velmo::dialogs
