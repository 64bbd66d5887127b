#pragma once

#include "handler/client_limits.h"
#include "handler/limits.h"
#include "handler/live_drawing.h"
#include "http/http_server.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::server {

// Where the build puts the browser page's files.
std::string defaultWebFolder();

struct CliOptions {
    std::string host = "127.0.0.1";
    int port = 8640;
    std::string db_path;    // empty: defaultDatabasePath(); a postgresql:// URI: PostgreSQL
    std::string public_url; // empty: http://<host>:<port>/ with the bound port
    int threads = 2;
    int worker_threads = 32;
    double idle_timeout_s = 60;
    double request_timeout_s = 20;
    double stream_keepalive_s = 20;
    int max_streams = 10'000;
    // Load balancers whose X-Forwarded-For names the client (--trusted-proxy, repeatable).
    std::vector<std::string> trusted_proxies;
    // Networks besides loopback that may read GET /metrics (--metrics-allow, repeatable), and
    // the file of the token that lets any client read it (--metrics-token-file; empty: none).
    std::vector<AddressRange> metrics_allow;
    std::string metrics_token_file;
    // The file of the operator's token for the /admin/ routes (--admin-token-file); empty:
    // no /admin/ routes.
    std::string admin_token_file;
    int max_streams_per_address = 64;
    int max_renders = 4;
    // Memory for renders kept between requests (--render-cache-mb); 0 keeps none.
    size_t render_cache_bytes = DefaultRenderCacheBytes;
    // Where renders are kept on disk (--render-folder); empty: beside a SQLite database, none
    // with PostgreSQL; "none": nowhere.
    std::string render_folder;
    // The browser page's files (--web-folder); empty: no browser page.
    std::string web_folder = defaultWebFolder();
    // The limits on what clients may ask; --no-limits turns every one of them off.
    ClientLimitOptions client_limits;
    // Strokes in progress and presence (--no-live, --progress-*, --max-present).
    LiveOptions live;
    int64_t max_canvas_strokes = DefaultMaxCanvasStrokes;
    int64_t max_canvas_bytes = DefaultMaxCanvasBytes;
    size_t max_connections_per_address = ServerOptions{}.max_connections_per_address;
    size_t reply_budget = ServerOptions{}.reply_budget;
    // The bound of one connection's reply: two pages of a canvas read.
    size_t reply_budget_per_connection = 2 * HandlerContext::DefaultPageBytes;
    bool quiet = false;
    LogFormat log_format = LogFormat::Text;
    bool help = false;
    bool version = false;
};

// Reads the command line (without the program name). Nothing, with a message, for an unknown
// option, a missing value or a value out of range. --config FILE reads the same options from
// FILE first (see usageText()), the command line then taking their place; a fault in the file
// is named with its file and line.
std::optional<CliOptions> parseCli(const std::vector<std::string>& args, std::string* error);

// $XDG_DATA_HOME/velmorastra/server.sqlite, else ~/.local/share/velmorastra/server.sqlite.
std::string defaultDatabasePath();

std::string usageText();

// `velmorastra-server backup [--config FILE] [--db FILE] OUT`.
struct BackupArgs {
    std::string db_path; // empty: defaultDatabasePath()
    std::string out;
};
// Reads the arguments after "backup". The database is --db's, else the `db` of the --config
// file (which must be one the server would read), else the default. Nothing, with a message,
// for anything else than one OUT with at most one --config and --db, a fault in the file, or
// a PostgreSQL database.
std::optional<BackupArgs> parseBackupCli(const std::vector<std::string>& args, std::string* error);

// Whether --db names a PostgreSQL database (a libpq URI) rather than a SQLite file.
bool isPostgresUri(std::string_view db);

} // namespace velmo::server
