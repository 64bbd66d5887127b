#include "app/bot/bot_options.h"
#include "app/bot/headless_outlets.h"
#include "app/bot/memory_settings_store.h"
#include "app/bot/stroke_script.h"
#include "app/bot/stroke_watch.h"
#include "app/quit_signals.h"
#include "identity/saved_settings.h"
#include "mwcanvas/mw_canvas.h"
#include "platform/qt/qt_clock.h"
#include "platform/qt/qt_event_stream.h"
#include "platform/qt/qt_http_exchange.h"
#include "platform/qt/qt_scheduler.h"
#include "platform/qt/qt_settings_store.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <memory>

using namespace velmo;

namespace {

// Draws one stroke through the canvas's touch operations, as a finger would.
void drawStroke(mwcanvas::MWCanvas& canvas, const bot::ScriptedStroke& stroke) {
    canvas.setLayerIndex(static_cast<unsigned>(stroke.layer));
    canvas.touchPressedAtX(stroke.points.front().first, stroke.points.front().second);
    for (size_t i = 1; i < stroke.points.size(); ++i) {
        canvas.touchDraggedAtX(stroke.points[i].first, stroke.points[i].second);
    }
    canvas.touchReleasedAtX(stroke.points.back().first, stroke.points.back().second);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const auto parsed = bot::parseBotOptions(QCoreApplication::arguments());
    if (const auto* error = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "velmorastra-bot: %s\n%s", error->c_str(), bot::botUsage());
        return 2;
    }
    const bot::BotOptions& options = std::get<bot::BotOptions>(parsed);
    if (options.help) {
        std::fputs(bot::botUsage(), stdout);
        return 0;
    }

    std::vector<bot::ScriptedStroke> script;
    if (!options.script_file.empty()) {
        QFile file(QString::fromStdString(options.script_file));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "velmorastra-bot: cannot read %s\n", options.script_file.c_str());
            return 2;
        }
        const auto result = bot::parseStrokeScript(file.readAll().toStdString());
        if (result.bad_line != 0) {
            std::fprintf(stderr, "velmorastra-bot: %s:%d: not a stroke\n",
                         options.script_file.c_str(), result.bad_line);
            return 2;
        }
        script = result.strokes;
    }

    std::unique_ptr<platform::SettingsStore> settings;
    if (options.settings_file.empty()) {
        settings = std::make_unique<bot::MemorySettingsStore>();
    } else {
        settings = std::make_unique<platform::qt::QtSettingsStore>(
            QString::fromStdString(options.settings_file));
    }
    const std::string server = options.server_url.value_or(identity::serverBaseURL(*settings));
    platform::qt::QtClock clock;
    platform::qt::QtHttpExchange http;
    platform::qt::QtScheduler scheduler;
    platform::qt::QtEventStream events;
    bot::HeadlessOutlets outlets;
    mwcanvas::MWCanvas canvas({outlets, clock, http, scheduler, *settings, &events}, server,
                              identity::imageHostURL(*settings, server));
    const app::QuitSignals quit_signals;

    canvas.setScreenSize(static_cast<float>(options.width), static_cast<float>(options.height));
    canvas.clear_canvas();
    canvas.loadDefaults();
    canvas.redrawStrokes();
    if (options.nickname) {
        canvas.setNickname(*options.nickname);
    }
    if (options.canvas_id) {
        canvas.setCanvasID(*options.canvas_id);
    }
    std::printf("canvas %s\n", canvas.canvasID().c_str());
    std::fflush(stdout);
    std::unique_ptr<bot::StrokeWatch> watch;
    if (options.watch > 0) {
        watch = std::make_unique<bot::StrokeWatch>(canvas, clock, stdout);
    }

    const int total = script.empty() ? options.strokes : static_cast<int>(script.size());
    bot::RandomStrokes random(options.seed, options.width, options.height, options.points);
    int drawn = 0;
    QTimer pacer;
    pacer.setInterval(static_cast<int>(1000.0 / options.rate));
    QObject::connect(&pacer, &QTimer::timeout, &pacer, [&] {
        if (drawn >= total) {
            pacer.stop();
            return;
        }
        bot::ScriptedStroke stroke = script.empty() ? random.next() : script[drawn];
        if (script.empty()) {
            stroke.layer = options.layer;
        }
        drawStroke(canvas, stroke);
        ++drawn;
    });
    pacer.start();

    // Done when every stroke is drawn, the server has taken every command, and the linger
    // time is over; or at the time-out.
    QElapsedTimer since_start;
    since_start.start();
    QElapsedTimer since_drawn;
    bool delivered = false;
    QTimer watcher;
    watcher.setInterval(50);
    QObject::connect(&watcher, &QTimer::timeout, &watcher, [&] {
        const bool all_drawn = drawn >= total;
        if (all_drawn && !since_drawn.isValid()) {
            since_drawn.start();
        }
        delivered = all_drawn && canvas.sync_agent.queued_commands.empty();
        const bool lingered =
            since_drawn.isValid() && since_drawn.elapsed() >= options.linger * 1000;
        const bool watched = !watch || watch->seen() >= options.watch;
        if ((delivered && lingered && watched) ||
            since_start.elapsed() > options.timeout * 1000 + total * pacer.interval()) {
            QCoreApplication::quit();
        }
    });
    watcher.start();

    QCoreApplication::exec();
    canvas.saveDefaults();
    std::printf("drawn %d delivered %s history %zu\n", drawn, delivered ? "yes" : "no",
                canvas.strokes_history.size());
    if (watch) {
        std::printf("watched %d of %d\n", watch->seen(), options.watch);
    }
    return delivered && (!watch || watch->seen() >= options.watch) ? 0 : 1;
}
