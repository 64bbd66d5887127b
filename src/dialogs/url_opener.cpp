#include "dialogs/url_opener.h"

#include <QDesktopServices>
#include <QUrl>

namespace velmo::dialogs {

void DesktopUrlOpener::openURL(const QString& url) {
    const QUrl parsed = QUrl::fromEncoded(url.toUtf8(), QUrl::StrictMode);
    if (parsed.isValid()) {
        QDesktopServices::openUrl(parsed);
    }
}

} // namespace velmo::dialogs
