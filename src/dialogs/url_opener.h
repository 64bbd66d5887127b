#pragma once

#include <QString>
#include <QUrl>

#include <map>
#include <optional>

namespace velmo::dialogs {

// Hands a URL to whatever the desktop has registered for its scheme (mail client, web
// browser, another application). Tests record instead.
class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    // `url` is already escaped for URL use. A URL nothing handles is dropped silently.
    virtual void openURL(const QString& url) = 0;
    // Whether the desktop has a program for URLs of `scheme` (lower case, no colon).
    virtual bool canOpenScheme(const QString& scheme) = 0;
};

// The URL an escaped URL text names, or nothing when it is not a whole, valid URL.
std::optional<QUrl> openableURL(const QString& url);

// The desktop's own handlers.
// The desktop's own handlers. The web and mail are taken as always handled (the desktop opens
// them in its browser and mail program); another scheme is asked of xdg-mime once, and
// counts as handled only when a program is registered for it.
class DesktopUrlOpener : public UrlOpener {
public:
    void openURL(const QString& url) override;
    bool canOpenScheme(const QString& scheme) override;

private:
    std::map<QString, bool> known_schemes;
};

} // namespace velmo::dialogs
