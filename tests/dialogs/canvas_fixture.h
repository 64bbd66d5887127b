#pragma once

#include "dialogs/alerts.h"
#include "dialogs/url_opener.h"
#include "mwcanvas/mw_canvas.h"
#include "support/counting_random.h"
#include "support/fake_clock.h"
#include "support/manual_scheduler.h"
#include "support/memory_settings.h"
#include "support/recording_outlets.h"
#include "support/scripted_http.h"

#include <QString>
#include <QStringList>
#include <QWidget>

#include <string>
#include <utility>
#include <vector>

namespace velmo::testing {

// Opens nothing: remembers the URLs it was given.
class RecordingUrlOpener : public dialogs::UrlOpener {
public:
    void openURL(const QString& url) override { opened.append(url); }
    bool canOpenScheme(const QString& scheme) override { return handled.contains(scheme); }
    QStringList opened;
    QStringList handled = {"http", "https", "mailto"};
};

// Shows nothing: remembers the alerts.
class RecordingAlerts : public dialogs::Alerts {
public:
    void showAlert(const QString& title, const QString& message) override {
        shown.emplace_back(title, message);
    }
    std::vector<std::pair<QString, QString>> shown;
};

inline const std::string TestServer = "http://127.0.0.1:8640/";
inline const std::string TestUploadURL = "http://127.0.0.1:8640/upload.cgi";

// A whole canvas whose network is scripted, with the main view the dialogs are shown over.
struct CanvasWithView {
    explicit CanvasWithView(int width = 320, int height = 480)
        : canvas(outlets, {clock, http, scheduler, settings, random}, TestServer, TestUploadURL) {
        canvas.setScreenSize(static_cast<float>(width), static_cast<float>(height));
        canvas.clear_canvas();
        main_view.resize(width, height);
    }

    RecordingOutlets outlets;
    FakeClock clock;
    ScriptedHttp http;
    ManualScheduler scheduler;
    MemorySettings settings;
    CountingRandom random;
    mwcanvas::MWCanvas canvas;
    RecordingUrlOpener opener;
    RecordingAlerts alerts;
    QWidget main_view;
};

} // namespace velmo::testing
