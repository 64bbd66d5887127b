#include "cli/allocator.h"
#include "cli/cli_options.h"
#include "cli/service_notify.h"
#include "handler/browser_page.h"
#include "handler/iso_time.h"
#include "handler/render_keeper.h"
#include "handler/token_file.h"
#include "http/access_log.h"
#include "http/http_server.h"
#include "store/delivery_marks.h"
#include "store/in_process_canvas_news.h"
#include "store/postgres/pg_store.h"
#include "store/sqlite/sqlite_backup.h"
#include "store/sqlite/sqlite_store.h"
#include "wire/percent_codec.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <system_error>

using namespace velmo::server;

namespace {

// Thousands of keep-alive clients need as many descriptors as the system lets us have.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Two servers on one database would write the same stroke journal over each other. The lock
// is held until the process ends, a crash included; its descriptor is never closed. False
// only when another process holds it: a folder that cannot be written is for the store to
// report.
bool lockDatabase(const std::string& db_path) {
    const int fd = ::open((db_path + "-lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    return fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

// A URI as the log may show it: without its password.
std::string withoutPassword(const std::string& uri) {
    const size_t start = uri.find("://");
    const size_t at = uri.find('@');
    if (start == std::string::npos || at == std::string::npos || at < start) {
        return uri;
    }
    const size_t colon = uri.find(':', start + 3);
    if (colon == std::string::npos || colon > at) {
        return uri;
    }
    return uri.substr(0, colon + 1) + "***" + uri.substr(at);
}

std::string hostForUrl(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// A moderation action as the log keeps it, in the access log's format; names and IDs
// percent-encoded in the text form.
std::string adminLogLine(LogFormat format, const AdminAction& action) {
    const int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    if (format == LogFormat::Text) {
        std::string line = "velmorastra-server: admin " + std::string(action.action);
        if (!action.canvas_id.empty()) {
            line += " canvas=" + velmo::wire::percentEncode(action.canvas_id);
        }
        if (!action.user_name.empty()) {
            line += " user=" + velmo::wire::percentEncode(action.user_name);
        }
        if (!action.key_hash.empty()) {
            line += " key=" + std::string(action.key_hash);
        }
        if (action.count >= 0) {
            line += " strokes=" + std::to_string(action.count);
        }
        return line + "\n";
    }
    std::string line = "{\"time\":\"" + isoTime(now_ms) + "\",\"admin\":";
    appendJsonString(line, action.action);
    const auto field = [&line](const char* name, std::string_view value) {
        if (!value.empty()) {
            line += std::string(",\"") + name + "\":";
            appendJsonString(line, value);
        }
    };
    field("canvas", action.canvas_id);
    field("user", action.user_name);
    field("key", action.key_hash);
    if (action.count >= 0) {
        line += ",\"strokes\":" + std::to_string(action.count);
    }
    return line + "}\n";
}

int runBackup(const std::vector<std::string>& args) {
    std::string error;
    const auto backup = parseBackupCli(args, &error);
    if (!backup) {
        std::fprintf(stderr, "velmorastra-server: %s\n", error.c_str());
        return 2;
    }
    const std::string db = backup->db_path.empty() ? defaultDatabasePath() : backup->db_path;
    const BackupOutcome outcome = backupSqlite(db, backup->out, &error);
    if (!outcome.summary) {
        std::fprintf(stderr, "velmorastra-server: backup: %s\n", error.c_str());
        return outcome.failure == BackupFailure::OutExists ? 2 : 1;
    }
    const BackupSummary& s = *outcome.summary;
    std::printf("velmorastra-server: backed up %s to %s: %lld canvases, %lld strokes (%lld of "
                "them from the stroke journal), %lld pages\n",
                db.c_str(), backup->out.c_str(), static_cast<long long>(s.canvases),
                static_cast<long long>(s.strokes), static_cast<long long>(s.journaled),
                static_cast<long long>(s.pages));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    tuneAllocator();
    if (argc >= 2 && std::string_view(argv[1]) == "backup") {
        return runBackup(std::vector<std::string>(argv + 2, argv + argc));
    }
    std::string error;
    const auto options = parseCli(std::vector<std::string>(argv + 1, argv + argc), &error);
    if (!options) {
        std::fprintf(stderr, "velmorastra-server: %s\n", error.c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (options->version) {
        std::printf("velmorastra-server %s\n", VELMO_VERSION);
        return 0;
    }
    // News of canvases for their event streams: what this process stores, and with PostgreSQL
    // what the other instances on the database store. It outlives the store, which tells it.
    InProcessCanvasNews hub;
    // The render keeper hears of strokes as the news passes.
    KeepingNews news(hub);
    DeliveryMarks memory_marks;
    DeliveryBook* marks = &memory_marks;
    std::unique_ptr<Store> store;
    PgStore* pg_store = nullptr;
    const bool postgres = isPostgresUri(options->db_path);
    std::string db_path = options->db_path.empty() ? defaultDatabasePath() : options->db_path;
    std::optional<RenderFolder> render_folder;
    if (options->render_folder != "none" && (!options->render_folder.empty() || !postgres)) {
        render_folder.emplace(options->render_folder.empty() ? db_path + ".renders"
                                                             : options->render_folder);
    }
    if (postgres) {
        // One connection for each thread that may call the store (the render keeper's too), so
        // none waits for another.
        const size_t connections =
            static_cast<size_t>(options->threads + options->worker_threads) + 1;
        auto shared = PgStore::open(db_path, &news, &error, connections);
        db_path = withoutPassword(db_path);
        if (!shared) {
            std::fprintf(stderr, "velmorastra-server: cannot open the database %s: %s\n",
                         db_path.c_str(), error.c_str());
            return 1;
        }
        // Marks live in the database, so that every instance answers a user alike.
        marks = &shared->deliveries();
        pg_store = shared.get();
        store = std::move(shared);
    } else {
        if (options->db_path.empty()) {
            std::error_code ec;
            std::filesystem::create_directories(std::filesystem::path(db_path).parent_path(), ec);
        }
        if (!lockDatabase(db_path)) {
            std::fprintf(stderr,
                         "velmorastra-server: another velmorastra-server uses the database %s\n",
                         db_path.c_str());
            return 1;
        }
        store = SqliteStore::open(db_path, &error);
        if (!store) {
            std::fprintf(stderr, "velmorastra-server: cannot open the database %s: %s\n",
                         db_path.c_str(), error.c_str());
            return 1;
        }
        if (const auto saved = store->takeSavedMarks()) {
            memory_marks.restore(*saved);
        }
    }
    raiseDescriptorLimit();
    // A closed stderr pipe must not end the server in the middle of an access log line.
    std::signal(SIGPIPE, SIG_IGN);

    HandlerContext context{*store, *marks, options->public_url};
    context.news = &news;
    // Strokes in progress and who is present: passed on through the news, never stored.
    LiveDrawing live(options->live, news);
    context.live = &live;
    if (pg_store != nullptr && options->live.enabled) {
        // Across instances: what is drawn and who is present here goes to the others, and
        // theirs comes here.
        pg_store->hearLive([&live](const RemoteLive& heard) { live.heard(heard); });
        live.relayWith(&pg_store->liveRelay());
    }
    ClientLimits client_limits(options->client_limits);
    // Bans hold whether or not the routes that change them are on. Several instances share
    // the PostgreSQL database: each reads the bans again every second.
    const int64_t started_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count();
    BanList bans(*store, postgres ? 1000 : 0);
    if (!bans.load(started_ms)) {
        std::fprintf(stderr, "velmorastra-server: cannot read the bans from the database %s\n",
                     db_path.c_str());
        return 1;
    }
    context.bans = &bans;
    std::optional<AdminRoutes> admin;
    if (!options->admin_token_file.empty()) {
        // A short token could be guessed: the file must hold a long one.
        const auto token =
            readTokenFile("--admin-token-file", options->admin_token_file, 16, &error);
        if (!token) {
            std::fprintf(stderr, "velmorastra-server: %s\n", error.c_str());
            return 2;
        }
        // Every action is kept, --quiet or not: it is what the operator answers for.
        admin.emplace(*token, [format = options->log_format](const AdminAction& action) {
            writeLogLine(adminLogLine(format, action));
        });
        context.admin = &*admin;
    }
    context.limits = &client_limits;
    // What GET /metrics tells; counted from the first request on.
    ServerMetrics metrics;
    context.metrics = &metrics;
    context.max_canvas_strokes = options->max_canvas_strokes;
    context.max_canvas_bytes = options->max_canvas_bytes;
    RenderCache renders(options->render_cache_bytes);
    context.renders = &renders;
    context.render_folder = render_folder ? &*render_folder : nullptr;
    // Read once: every visit is then answered from memory. A server without the page still
    // serves everything else.
    std::optional<BrowserPage> browser_page;
    if (!options->web_folder.empty()) {
        browser_page = BrowserPage::load(options->web_folder, &error);
        if (!browser_page) {
            std::fprintf(stderr, "velmorastra-server: no browser page (/draw/): %s\n",
                         error.c_str());
        }
    }
    context.browser_page = browser_page ? &*browser_page : nullptr;
    // A reply holds the page read and the piece made of it.
    context.page_bytes = options->reply_budget_per_connection / 2;
    std::optional<RenderKeeper> keeper;
    if (options->render_cache_bytes > 0) {
        RenderKeeper::Options keeping;
        keeping.page_bytes = context.page_bytes;
        keeper.emplace(*store, renders, context.render_folder, keeping);
        news.keepWith(&*keeper);
    }
    ServerOptions server_options;
    server_options.host = options->host;
    server_options.port = static_cast<uint16_t>(options->port);
    server_options.threads = options->threads;
    server_options.worker_threads = options->worker_threads;
    server_options.max_renders = static_cast<size_t>(options->max_renders);
    server_options.idle_timeout =
        std::chrono::milliseconds(static_cast<int64_t>(options->idle_timeout_s * 1000));
    server_options.request_timeout =
        std::chrono::milliseconds(static_cast<int64_t>(options->request_timeout_s * 1000));
    server_options.access_log = !options->quiet;
    server_options.log_format = options->log_format;
    server_options.stream_keepalive =
        std::chrono::milliseconds(static_cast<int64_t>(options->stream_keepalive_s * 1000));
    server_options.max_streams = static_cast<size_t>(options->max_streams);
    server_options.max_streams_per_address = static_cast<size_t>(options->max_streams_per_address);
    server_options.max_connections_per_address = options->max_connections_per_address;
    server_options.trusted_proxies = options->trusted_proxies;
    server_options.reply_budget = options->reply_budget;
    server_options.metrics_allow = options->metrics_allow;
    if (!options->metrics_token_file.empty()) {
        const auto token =
            readTokenFile("--metrics-token-file", options->metrics_token_file, 1, &error);
        if (!token) {
            std::fprintf(stderr, "velmorastra-server: %s\n", error.c_str());
            return 2;
        }
        server_options.metrics_token = *token;
    }
    // Under systemd: the watchdog hears from the event loop itself, and the manager learns
    // when a stop begins, so that it waits for the requests in flight.
    const ServiceNotify service;
    if (const auto interval = service.aliveInterval()) {
        server_options.heartbeat_interval = *interval;
        server_options.heartbeat = [service] { service.alive(); };
    }
    server_options.on_stopping = [service] { service.stopping(); };
    HttpServer server(server_options, context);
    if (!server.listen(&error)) {
        std::fprintf(stderr, "velmorastra-server: %s\n", error.c_str());
        return 1;
    }
    if (context.public_url.empty()) {
        context.public_url =
            "http://" + hostForUrl(options->host) + ":" + std::to_string(server.port()) + "/";
    }
    std::fprintf(stderr, "velmorastra-server: listening on http://%s:%u/ (database %s)\n",
                 hostForUrl(options->host).c_str(), static_cast<unsigned>(server.port()),
                 db_path.c_str());
    std::fflush(stderr);
    service.ready("listening on http://" + hostForUrl(options->host) + ":" +
                  std::to_string(server.port()) + "/");
    server.run();
    if (!postgres && !store->saveMarks(memory_marks.snapshot())) {
        std::fprintf(stderr, "velmorastra-server: could not save the delivery marks; clients "
                             "will be sent their strokes again\n");
    }
    news.keepWith(nullptr);
    keeper.reset();
    live.relayWith(nullptr);
    if (pg_store != nullptr) {
        pg_store->hearLive({});
    }
    store.reset();
    std::fprintf(stderr, "velmorastra-server: stopped\n");
    return 0;
}
