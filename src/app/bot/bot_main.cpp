#include "app/bot/bot_options.h"
#include "app/bot/delivery_check.h"
#include "app/bot/memory_settings_store.h"
#include "app/bot/stroke_script.h"
#include "app/bot/stroke_watch.h"
#include "app/canvas_export.h"
#include "app/canvas_launch.h"
#include "app/quit_signals.h"
#include "identity/background_settings.h"
#include "mwcanvas/mw_canvas.h"
#include "platform/null_outlets.h"
#include "platform/qt/qt_clock.h"
#include "platform/qt/qt_event_stream.h"
#include "platform/qt/qt_http_exchange.h"
#include "platform/qt/qt_journal_file.h"
#include "platform/qt/qt_random_source.h"
#include "platform/qt/qt_scheduler.h"
#include "platform/qt/qt_settings_store.h"
#include "platform/qt/qt_tls.h"
#include "wire/command_text.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <vector>

using namespace velmo;

namespace {

// The strokes of a script file, none without one; nothing (and a message on stderr) when the
// file cannot be read or a line is not a stroke.
std::optional<std::vector<bot::ScriptedStroke>> readScript(const std::string& file_name) {
    if (file_name.empty()) {
        return std::vector<bot::ScriptedStroke>{};
    }
    QFile file(QString::fromStdString(file_name));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "velmorastra-bot: cannot read %s\n", file_name.c_str());
        return std::nullopt;
    }
    const auto result = bot::parseStrokeScript(file.readAll().toStdString());
    if (result.bad_line != 0) {
        std::fprintf(stderr, "velmorastra-bot: %s:%d: not a stroke\n", file_name.c_str(),
                     result.bad_line);
        return std::nullopt;
    }
    return result.strokes;
}

// A bot without a settings file starts afresh each time; one with a file keeps its changes
// in a journal beside it, as the window does.
// The file is written on a thread of its own, as the window's is.
// The kept picture is written by the settings' thread: it goes after it.
struct SavedState {
    std::unique_ptr<platform::SettingsStore> file;
    std::unique_ptr<platform::JournalFile> pictures;
    std::unique_ptr<platform::SettingsStore> settings;
    std::unique_ptr<platform::JournalFile> journal;
};
SavedState openSettings(const std::string& file_name) {
    if (file_name.empty()) {
        return {nullptr, nullptr, std::make_unique<bot::MemorySettingsStore>(), nullptr};
    }
    auto file = std::make_unique<platform::qt::QtSettingsStore>(QString::fromStdString(file_name));
    auto journal = std::make_unique<platform::qt::QtJournalFile>(
        platform::qt::QtJournalFile::besideSettings(file->fileName()));
    auto pictures = std::make_unique<platform::qt::QtJournalFile>(
        platform::qt::QtJournalFile::picturesBeside(file->fileName()));
    auto settings = std::make_unique<identity::BackgroundSettings>(*file);
    return {std::move(file), std::move(pictures), std::move(settings), std::move(journal)};
}

// Draws one stroke through the canvas's touch operations, as a finger would.
void drawStroke(mwcanvas::MWCanvas& canvas, const bot::ScriptedStroke& stroke) {
    canvas.setLayerIndex(static_cast<unsigned>(stroke.layer));
    canvas.touchPressedAtX(stroke.points.front().first, stroke.points.front().second);
    for (size_t i = 1; i < stroke.points.size(); ++i) {
        canvas.touchDraggedAtX(stroke.points[i].first, stroke.points[i].second);
    }
    canvas.touchReleasedAtX(stroke.points.back().first, stroke.points.back().second);
}

struct DrawingRun {
    int drawn = 0;
    bool delivered = false;
    // The client times of the strokes drawn and kept, and of those undone, which name them on
    // the server.
    std::set<int64_t> client_times;
    std::set<int64_t> undone;
};

// Undoes the user's newest stroke and notes which one went.
void undoStroke(mwcanvas::MWCanvas& canvas, DrawingRun& run) {
    const std::string me = canvas.userID();
    std::set<int64_t> before;
    for (const auto& [key, stroke] : canvas.strokes_history) {
        if (stroke.user_name == me) {
            before.insert(key.second);
        }
    }
    canvas.undoOneStroke();
    for (const auto& [key, stroke] : canvas.strokes_history) {
        before.erase(key.second);
    }
    for (const int64_t client_time : before) {
        run.client_times.erase(client_time);
        run.undone.insert(client_time);
    }
}

// Notes the strokes of the user still waiting for the server's stamp: the one just drawn is
// among them. Printed, a stroke is already in the journal, so a kill from then on keeps it.
void noteDrawn(mwcanvas::MWCanvas& canvas, DrawingRun& run, bool print) {
    const std::string me = canvas.userID();
    for (const auto& [key, stroke] : canvas.strokes_history) {
        if (key.first == canvas.InitServerTime && stroke.user_name == me &&
            run.client_times.insert(key.second).second && print) {
            std::printf("drawn %lld\n", static_cast<long long>(key.second));
            std::fflush(stdout);
        }
    }
}

// With progress: "point <stroke> <index> <ms>", when the stroke's point was drawn, so that a
// watcher's arrivals can be set against it point by point.
void printPoint(const mwcanvas::MWCanvas& canvas, size_t index, bool print) {
    const auto stroke = canvas.progress_sender.currentStroke();
    if (!print || !stroke) {
        return;
    }
    std::printf("point %lld %zu %.1f\n", static_cast<long long>(*stroke), index,
                platform::qt::QtClock().now() * 1000.0);
    std::fflush(stdout);
}

// Asks the server for every stroke of the canvas and counts the ones drawn; nothing when the
// server gave no 2xx answer.
std::optional<bot::DeliveryCheck>
checkWithServer(mwcanvas::MWCanvas& canvas, platform::HttpExchange& http, const DrawingRun& run) {
    platform::HttpRequest request;
    request.url = canvas.sync_agent.serverBaseURL();
    request.body = wire::getStrokesCommand(canvas.canvasID());
    request.timeout_seconds = canvas.sync_agent.timeout;
    const auto answer = http.sendSynchronously(request);
    if (!answer || platform::meaningOf(answer->status.code) != platform::AnswerMeaning::Delivered) {
        return std::nullopt;
    }
    bot::DeliveryCheck check = bot::checkDelivery(answer->body, canvas.userID(), run.client_times);
    check.undone = static_cast<int>(run.undone.size());
    check.undone_left = bot::checkDelivery(answer->body, canvas.userID(), run.undone).stored_once;
    return check;
}

// Prints, once the canvas opened has all its strokes, how long its picture took to show (the
// server's picture of the layers, or the last of the strokes painted), its strokes to come,
// and the longest the event loop went without a turn meanwhile (what a window would freeze).
class OpenWatch {
public:
    explicit OpenWatch(mwcanvas::MWCanvas& canvas_) : canvas(canvas_) {
        since_open.start();
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, &timer, [this] { look(); });
        timer.start();
    }

private:
    void look() {
        const qint64 now = since_open.elapsed();
        longest_gap = std::max(longest_gap, now - last_look);
        last_look = now;
        if (picture_ms < 0 && (canvas.adopting() || !canvas.isLoading())) {
            picture_ms = since_open.elapsed();
        }
        if (!canvas.isLoading()) {
            timer.stop();
            std::printf("opened %zu strokes: picture after %lld ms, every stroke after %lld ms, "
                        "event loop held up %lld ms at most\n",
                        canvas.strokes_history.size(), static_cast<long long>(picture_ms),
                        static_cast<long long>(now), static_cast<long long>(longest_gap));
            std::fflush(stdout);
        }
    }

    mwcanvas::MWCanvas& canvas;
    QElapsedTimer since_open;
    QTimer timer;
    qint64 picture_ms = -1;
    qint64 last_look = 0;
    qint64 longest_gap = 0;
};

// Draws the script's strokes, or random ones on the options' layer, at the options' rate. Runs
// the event loop until every stroke is drawn, the server has taken every command, the canvas
// has all its strokes, and the linger time is over and, when watching, the watched strokes have
// arrived; or until the time-out, or a quit signal.
DrawingRun drawStrokes(mwcanvas::MWCanvas& canvas, const bot::BotOptions& options,
                       const std::vector<bot::ScriptedStroke>& script,
                       const bot::StrokeWatch* watch) {
    const int total = script.empty() ? options.strokes : static_cast<int>(script.size());
    bot::RandomStrokes random(options.seed, options.width, options.height, options.points);
    DrawingRun run;
    // With --progress, the stroke being drawn a drag at a time, and its next point.
    std::optional<bot::ScriptedStroke> drawing;
    size_t next_point = 0;
    QTimer dragger;
    dragger.setInterval(bot::BotOptions::DragIntervalMs);
    dragger.setTimerType(Qt::PreciseTimer);
    QObject::connect(&dragger, &QTimer::timeout, &dragger, [&] {
        if (!drawing) {
            dragger.stop();
            return;
        }
        const auto& points = drawing->points;
        if (next_point < points.size()) {
            canvas.touchDraggedAtX(points[next_point].first, points[next_point].second);
            printPoint(canvas, next_point, options.print_strokes);
            ++next_point;
            return;
        }
        canvas.touchReleasedAtX(points.back().first, points.back().second);
        dragger.stop();
        drawing.reset();
        noteDrawn(canvas, run, options.print_strokes);
        ++run.drawn;
    });
    QTimer pacer;
    pacer.setInterval(static_cast<int>(1000.0 / options.rate));
    QObject::connect(&pacer, &QTimer::timeout, &pacer, [&] {
        if (drawing) {
            return; // the next stroke waits for this one's end
        }
        if (run.drawn >= total) {
            if (static_cast<int>(run.undone.size()) < options.undo && !run.client_times.empty()) {
                undoStroke(canvas, run);
                return;
            }
            pacer.stop();
            return;
        }
        bot::ScriptedStroke stroke = script.empty() ? random.next() : script[run.drawn];
        if (script.empty()) {
            stroke.layer = options.layer;
        }
        if (options.progress) {
            canvas.setLayerIndex(static_cast<unsigned>(stroke.layer));
            canvas.touchPressedAtX(stroke.points.front().first, stroke.points.front().second);
            printPoint(canvas, 0, options.print_strokes);
            drawing = std::move(stroke);
            next_point = 1;
            dragger.start();
            return;
        }
        drawStroke(canvas, stroke);
        noteDrawn(canvas, run, options.print_strokes);
        ++run.drawn;
    });
    pacer.start();

    // Strokes drawn over time take their points' drags on top of the pace.
    qint64 drawing_ms = 0;
    if (options.progress) {
        for (int i = 0; i < total; ++i) {
            const size_t points =
                script.empty() ? static_cast<size_t>(options.points) : script[i].points.size();
            drawing_ms += static_cast<qint64>(points) * bot::BotOptions::DragIntervalMs;
        }
    }
    QElapsedTimer since_start;
    since_start.start();
    QElapsedTimer since_drawn;
    QTimer watcher;
    watcher.setInterval(50);
    QObject::connect(&watcher, &QTimer::timeout, &watcher, [&] {
        const bool all_drawn =
            run.drawn >= total &&
            (static_cast<int>(run.undone.size()) >= options.undo || run.client_times.empty());
        if (all_drawn && !since_drawn.isValid()) {
            since_drawn.start();
        }
        run.delivered = all_drawn && canvas.sync_agent.queued_commands.empty();
        const bool lingered =
            since_drawn.isValid() && since_drawn.elapsed() >= options.linger * 1000;
        const bool watched = watch == nullptr || watch->seen() >= options.watch;
        if ((run.delivered && lingered && watched && !canvas.isLoading()) ||
            since_start.elapsed() >
                options.timeout * 1000 + total * pacer.interval() + drawing_ms) {
            QCoreApplication::quit();
        }
    });
    watcher.start();

    QCoreApplication::exec();
    return run;
}

// Writes the canvas's picture as --export asks; says why not on stderr when it cannot.
bool exportPicture(const mwcanvas::MWCanvas& canvas, const bot::BotOptions& options) {
    auto source = app::exportSourceOf(canvas, 1);
    std::optional<std::string> error;
    if (const auto* reason = std::get_if<std::string>(&source)) {
        error = *reason;
    } else {
        error = app::writeExport(std::get<app::ExportSource>(source), options.export_format,
                                 options.export_file);
    }
    if (error) {
        std::fprintf(stderr, "velmorastra-bot: %s\n", error->c_str());
        return false;
    }
    std::printf("exported %s %dx%d\n", options.export_file.c_str(), canvas.geometry.canvas_width,
                canvas.geometry.canvas_height);
    return true;
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
    if (options.version) {
        std::printf("velmorastra-bot %s\n", VELMO_VERSION);
        return 0;
    }
    const auto script = readScript(options.script_file);
    if (!script) {
        return 2;
    }
    if (!options.ca_file.empty()) {
        // Before the first request: each takes the trusted authorities when it is made.
        if (const auto error =
                platform::qt::trustCertificatesIn(QString::fromStdString(options.ca_file))) {
            std::fprintf(stderr, "velmorastra-bot: --ca-file: %s\n", qPrintable(*error));
            return 2;
        }
    }

    const SavedState saved = openSettings(options.settings_file);
    platform::SettingsStore* const settings = saved.settings.get();
    const app::ServerAddresses addresses = app::serverAddresses(options.server_url, *settings);
    platform::qt::QtClock clock;
    platform::qt::QtHttpExchange http;
    platform::qt::QtScheduler scheduler;
    platform::qt::QtEventStream events;
    platform::qt::QtRandomSource random;
    platform::NullOutlets outlets;
    mwcanvas::MWCanvas canvas(outlets,
                              {clock, http, scheduler, *settings, random, &events,
                               saved.journal.get(), saved.pictures.get()},
                              addresses.server_base_url, addresses.upload_url);
    canvas.progress_sender.enabled = options.progress;
    const app::QuitSignals quit_signals;
    app::launchCanvas(canvas, QSize(options.width, options.height));
    if (options.nickname) {
        canvas.setNickname(*options.nickname);
    }
    std::optional<OpenWatch> open_watch;
    if (options.canvas_id) {
        canvas.setCanvasID(*options.canvas_id);
        open_watch.emplace(canvas);
    }
    std::printf("canvas %s\n", canvas.canvasID().c_str());
    std::fflush(stdout);

    std::unique_ptr<bot::StrokeWatch> watch;
    if (options.watch > 0) {
        watch = std::make_unique<bot::StrokeWatch>(canvas, clock, stdout);
    }

    const DrawingRun run = drawStrokes(canvas, options, *script, watch.get());
    canvas.saveAll();
    canvas.keepPicture();
    std::printf("drawn %d delivered %s history %zu\n", run.drawn, run.delivered ? "yes" : "no",
                canvas.strokes_history.size());
    // An empty queue says only that the server answered every command; whether it kept each
    // stroke, once, only its list of strokes tells.
    const auto check = checkWithServer(canvas, http, run);
    if (check) {
        std::printf("stored once %d of %d, missing %d, repeated %d\n", check->stored_once,
                    check->drawn, check->missing, check->repeated);
        if (options.undo > 0) {
            std::printf("undone %d, still stored %d\n", check->undone, check->undone_left);
        }
    } else {
        std::printf("stored unknown: get_strokes failed\n");
    }
    if (watch) {
        std::printf("watched %d of %d\n", watch->seen(), options.watch);
    }
    bool exported = true;
    if (!options.export_file.empty()) {
        exported = exportPicture(canvas, options);
    }
    const bool stored = check && check->complete() && check->drawn + check->undone == run.drawn &&
                        check->undone_left == 0;
    return run.delivered && stored && exported && (!watch || watch->seen() >= options.watch) ? 0
                                                                                             : 1;
}
