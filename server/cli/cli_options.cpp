#include "cli/cli_options.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace velmo::server {
namespace {

template <typename Number>
bool readNumber(const std::string& text, Number& value, Number low, Number high) {
    Number parsed{};
    const auto result = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size() || parsed < low ||
        parsed > high) {
        return false;
    }
    value = parsed;
    return true;
}

// "HOST:PORT", the host of an IPv6 address in brackets.
bool readListen(const std::string& text, CliOptions& options) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    int port = 0;
    if (host.empty() || !readNumber(text.substr(colon + 1), port, 0, 65535)) {
        return false;
    }
    options.host = host;
    options.port = port;
    return true;
}

} // namespace

std::string defaultDatabasePath() {
    const char* data_home = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (data_home != nullptr && data_home[0] == '/') {
        base = data_home;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : ".") + "/.local/share";
    }
    return base + "/velmorastra/server.sqlite";
}

bool isPostgresUri(std::string_view db) {
    return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

std::string usageText() {
    return "Usage: velmorastra-server [options]\n"
           "\n"
           "The Velmorastra canvas server: stores and relays strokes, searches canvases,\n"
           "hosts uploaded pictures and serves share pages.\n"
           "\n"
           "Options:\n"
           "  --listen HOST:PORT     address to listen on (default 127.0.0.1:8640; port 0\n"
           "                         picks a free one; IPv6 as [::1]:8640)\n"
           "  --db FILE              SQLite database file, created if missing, with its\n"
           "                         stroke journal FILE-strokes.0 and .1 beside it (default\n"
           "                         $XDG_DATA_HOME/velmorastra/server.sqlite, else\n"
           "                         ~/.local/share/velmorastra/server.sqlite)\n"
           "  --db postgresql://...  a PostgreSQL database (a libpq connection URI; the\n"
           "                         password from it, PGPASSWORD or ~/.pgpass), which any\n"
           "                         number of instances may share behind a load balancer\n"
           "  --public-url URL       address clients reach this server under, used in the\n"
           "                         URLs of hosted images and share pages (default\n"
           "                         http://HOST:PORT/; the app reads only http:// image\n"
           "                         URLs from uploads)\n"
           "  --threads N            network threads, 1 to 64 (default 2)\n"
           "  --worker-threads N     threads for requests that wait on the database or render\n"
           "                         (appends never do: they share one journal write and\n"
           "                         flush), 1 to 256 (default 32)\n"
           "  --max-renders N        server renders running at once, below --worker-threads\n"
           "                         (default 4, or one less than --worker-threads; 0 turns\n"
           "                         renders off); beyond, 503 with Retry-After\n"
           "  --idle-timeout SEC     close keep-alive connections idle this long (default 60)\n"
           "  --request-timeout SEC  a request must arrive within this time (default 20); an\n"
           "                         event stream whose client takes nothing for this long\n"
           "                         is dropped\n"
           "  --stream-keepalive SEC a comment this often on an event stream without news,\n"
           "                         so proxies keep it open (default 20)\n"
           "  --max-streams N        event streams open at once, in all (default 10000)\n"
           "  --max-streams-per-address N\n"
           "                         event streams open at once from one address (default 64)\n"
           "  --quiet                no access log (one line per request on stderr)\n"
           "  --help                 show this text\n"
           "\n"
           "SIGINT or SIGTERM stop the server: requests in flight are answered (for up to\n"
           "5 seconds), idle connections and event streams are closed, the delivery marks\n"
           "are saved, then the database is closed.\n";
}

std::optional<CliOptions> parseCli(const std::vector<std::string>& args, std::string* error) {
    CliOptions options;
    bool max_renders_given = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = [&]() -> const std::string* {
            if (i + 1 >= args.size()) {
                *error = arg + " needs a value";
                return nullptr;
            }
            return &args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--listen") {
            const std::string* v = value();
            if (v == nullptr) {
                return std::nullopt;
            }
            if (!readListen(*v, options)) {
                *error = "--listen wants HOST:PORT, not " + *v;
                return std::nullopt;
            }
        } else if (arg == "--db") {
            const std::string* v = value();
            if (v == nullptr) {
                return std::nullopt;
            }
            if (v->empty()) {
                *error = "--db wants a file name or a postgresql:// URI";
                return std::nullopt;
            }
            options.db_path = *v;
        } else if (arg == "--public-url") {
            const std::string* v = value();
            if (v == nullptr) {
                return std::nullopt;
            }
            if (v->rfind("http://", 0) != 0 && v->rfind("https://", 0) != 0) {
                *error = "--public-url wants an http:// or https:// URL";
                return std::nullopt;
            }
            options.public_url = *v;
            if (options.public_url.back() != '/') {
                options.public_url += '/';
            }
        } else if (arg == "--threads") {
            const std::string* v = value();
            if (v == nullptr) {
                return std::nullopt;
            }
            if (!readNumber(*v, options.threads, 1, 64)) {
                *error = "--threads wants a number from 1 to 64";
                return std::nullopt;
            }
        } else if (arg == "--max-renders") {
            const std::string* v = value();
            if (v == nullptr) {
                return std::nullopt;
            }
            if (!readNumber(*v, options.max_renders, 0, 255)) {
                *error = "--max-renders wants a number from 0 to 255";
                return std::nullopt;
            }
            max_renders_given = true;
        } else if (arg == "--worker-threads") {
            const std::string* v = value();
            if (v == nullptr) {
                return std::nullopt;
            }
            if (!readNumber(*v, options.worker_threads, 1, 256)) {
                *error = "--worker-threads wants a number from 1 to 256";
                return std::nullopt;
            }
        } else if (arg == "--max-streams" || arg == "--max-streams-per-address") {
            const std::string* v = value();
            if (v == nullptr) {
                return std::nullopt;
            }
            int& field =
                arg == "--max-streams" ? options.max_streams : options.max_streams_per_address;
            if (!readNumber(*v, field, 1, 1'000'000)) {
                *error = arg + " wants a number from 1 to 1000000";
                return std::nullopt;
            }
        } else if (arg == "--idle-timeout" || arg == "--request-timeout" ||
                   arg == "--stream-keepalive") {
            const std::string* v = value();
            if (v == nullptr) {
                return std::nullopt;
            }
            double& field = arg == "--idle-timeout"      ? options.idle_timeout_s
                            : arg == "--request-timeout" ? options.request_timeout_s
                                                         : options.stream_keepalive_s;
            if (!readNumber(*v, field, 0.01, 86400.0)) {
                *error = arg + " wants seconds, from 0.01 to 86400";
                return std::nullopt;
            }
        } else {
            *error = "unknown option " + arg + " (see --help)";
            return std::nullopt;
        }
    }
    // Renders holding every worker would starve the reads clients wait on.
    if (!max_renders_given) {
        options.max_renders = std::min(options.max_renders, options.worker_threads - 1);
    } else if (options.max_renders >= options.worker_threads && options.max_renders > 0) {
        *error = "--max-renders must be below --worker-threads";
        return std::nullopt;
    }
    return options;
}

} // namespace velmo::server
