#pragma once

#include <QString>
#include <QUrl>

#include <optional>

namespace velmo::dialogs {

// Hands a URL to whatever the desktop has registered for its scheme (mail client, web
// browser, another application). Tests record instead.
class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    // `url` is already escaped for URL use. A URL nothing handles is dropped silently.
    virtual void openURL(const QString& url) = 0;
};

// The URL an escaped URL text names, or nothing when it is not a whole, valid URL.
std::optional<QUrl> openableURL(const QString& url);

// The desktop's own handlers.
class DesktopUrlOpener : public UrlOpener {
public:
    void openURL(const QString& url) override;
};

} // namespace velmo::dialogs
