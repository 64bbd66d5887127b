#include "app/command_line.h"
#include "app/quit_signals.h"
#include "app/single_instance.h"
#include "app/velmorastra_app_delegate.h"
#include "app/velmorastra_interface.h"
#include "identity/background_settings.h"
#include "platform/qt/qt_clock.h"
#include "platform/qt/qt_event_stream.h"
#include "platform/qt/qt_http_exchange.h"
#include "platform/qt/qt_journal_file.h"
#include "platform/qt/qt_random_source.h"
#include "platform/qt/qt_scheduler.h"
#include "platform/qt/qt_settings_store.h"
#include "platform/qt/qt_tls.h"

#include <QApplication>
#include <QFileInfo>
#include <QScreen>
#include <QWidget>

#include <cstdio>
#include <string_view>

namespace {

// A tablet-sized 3:4 canvas, made smaller to fit the screen when needed.
QSize defaultWindowSize() {
    QSize size(768, 1024);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize room = screen->availableSize() - QSize(40, 80);
        if (room.width() > 0 && room.height() > 0 &&
            (size.width() > room.width() || size.height() > room.height())) {
            size = size.scaled(room, Qt::KeepAspectRatio);
        }
    }
    return size;
}

} // namespace

int main(int argc, char** argv) {
    // Answered before the application exists, which needs a display; these do not.
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            std::fputs(qPrintable(velmo::app::usageText()), stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("velmorastra %s\n", VELMO_VERSION);
            return 0;
        }
    }
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName("Velmorastra");
    QCoreApplication::setApplicationName("velmorastra");
    QGuiApplication::setDesktopFileName("velmorastra");

    using namespace velmo;
    const auto parsed = app::parseCommandLine(QCoreApplication::arguments());
    if (const auto* error = std::get_if<QString>(&parsed)) {
        std::fprintf(stderr, "velmorastra: %s\n%s", qPrintable(*error),
                     qPrintable(app::usageText()));
        return 2;
    }
    const app::ClientOptions& options = std::get<app::ClientOptions>(parsed);
    if (options.help) {
        std::fputs(qPrintable(app::usageText()), stdout);
        return 0;
    }

    if (!options.ca_file.isEmpty()) {
        // Before the first request: each takes the trusted authorities when it is made.
        if (const auto error = platform::qt::trustCertificatesIn(options.ca_file)) {
            std::fprintf(stderr, "velmorastra: --ca-file: %s\n", qPrintable(*error));
            return 2;
        }
    }

    // From here on a TERM or INT quits through the event loop, which saves the state.
    const app::QuitSignals quit_signals;
    platform::qt::QtSettingsStore settings(options.settings_file);
    const QString key =
        app::SingleInstance::keyFor(QFileInfo(settings.fileName()).absoluteFilePath());
    if (app::SingleInstance::handOff(key, QByteArray::fromStdString(options.link.value_or("")))) {
        return 0;
    }

    // Written by the settings' thread, so made before it and gone after it.
    platform::qt::QtJournalFile pictures(
        platform::qt::QtJournalFile::picturesBeside(settings.fileName()));
    // Written on a thread of their own: a save of a long history never holds up the window.
    identity::BackgroundSettings background(settings);
    platform::qt::QtJournalFile journal(
        platform::qt::QtJournalFile::besideSettings(settings.fileName()));
    platform::qt::QtClock clock;
    platform::qt::QtHttpExchange http;
    platform::qt::QtScheduler scheduler;
    platform::qt::QtEventStream events;
    platform::qt::QtRandomSource random;
    const QSize size = options.size.value_or(defaultWindowSize());
    app::VelmorastraInterface ui(
        app::ClientEdges{clock, http, scheduler, background, random, &events, &journal, &pictures},
        app::interfaceOptions(options, background, size));
    ui.delegate->observeApplicationEvents();

    app::SingleInstance instance;
    instance.listen(key, [&ui](const QByteArray& message) {
        ui.window->raise();
        ui.window->activateWindow();
        if (!message.isEmpty()) {
            ui.delegate->application_handleOpenURL(message.toStdString());
        }
    });
    ui.delegate->applicationDidFinishLaunching();
    if (options.link) {
        ui.delegate->application_handleOpenURL(options.link);
    }
    return QApplication::exec();
}
