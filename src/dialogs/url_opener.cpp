#include "dialogs/url_opener.h"

#include <QDesktopServices>
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

} // namespace velmo::dialogs
