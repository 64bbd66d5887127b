#include "cli/cli_options.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <type_traits>

#ifndef VELMO_DEFAULT_WEB_FOLDER
#error "VELMO_DEFAULT_WEB_FOLDER must come from the build"
#endif

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

// A numeric limit option: its bounds and where its value goes, in the option's unit.
struct LimitOption {
    double low;
    double high;
    const char* range;
    std::function<void(double)> set;
};

std::optional<LimitOption> readLimit(const std::string& arg, CliOptions& options) {
    constexpr double KiB = 1024;
    constexpr double MiB = 1024 * 1024;
    ClientLimitOptions& limits = options.client_limits;
    const auto count = [](auto& field) {
        return [&field](double v) {
            field = static_cast<std::remove_reference_t<decltype(field)>>(v);
        };
    };
    if (arg == "--append-rate") {
        return LimitOption{0, 1e6, "0 to 1000000", count(limits.appends.rate)};
    }
    if (arg == "--append-burst") {
        return LimitOption{1, 1e6, "1 to 1000000", count(limits.appends.burst)};
    }
    if (arg == "--poll-rate") {
        return LimitOption{0, 1e6, "0 to 1000000", count(limits.polls.rate)};
    }
    if (arg == "--poll-burst") {
        return LimitOption{1, 1e6, "1 to 1000000", count(limits.polls.burst)};
    }
    if (arg == "--upload-rate") {
        return LimitOption{0, 1e6, "0 to 1000000", count(limits.uploads.rate)};
    }
    if (arg == "--upload-burst") {
        return LimitOption{1, 1e6, "1 to 1000000", count(limits.uploads.burst)};
    }
    if (arg == "--upload-kib-rate") {
        return LimitOption{0, 1e7, "0 to 10000000",
                           [&limits](double v) { limits.upload_bytes.rate = v * KiB; }};
    }
    if (arg == "--upload-mib-burst") {
        return LimitOption{1, 1e5, "1 to 100000",
                           [&limits](double v) { limits.upload_bytes.burst = v * MiB; }};
    }
    if (arg == "--progress-rate") {
        return LimitOption{0, 1e6, "0 to 1000000", count(options.live.progress.rate)};
    }
    if (arg == "--progress-burst") {
        return LimitOption{1, 1e6, "1 to 1000000", count(options.live.progress.burst)};
    }
    if (arg == "--progress-kib-rate") {
        return LimitOption{0, 1e7, "0 to 10000000",
                           [&options](double v) { options.live.progress_bytes.rate = v * KiB; }};
    }
    if (arg == "--progress-kib-burst") {
        return LimitOption{4, 1e7, "4 to 10000000",
                           [&options](double v) { options.live.progress_bytes.burst = v * KiB; }};
    }
    if (arg == "--max-present") {
        return LimitOption{0, 1e6, "0 to 1000000", count(options.live.max_present)};
    }
    if (arg == "--max-canvas-strokes") {
        return LimitOption{0, 1e12, "0 to 1000000000000", count(options.max_canvas_strokes)};
    }
    if (arg == "--max-canvas-mib") {
        return LimitOption{0, 1e9, "0 to 1000000000", [&options](double v) {
                               options.max_canvas_bytes = static_cast<int64_t>(v * MiB);
                           }};
    }
    if (arg == "--max-connections-per-address") {
        return LimitOption{0, 1e7, "0 to 10000000", count(options.max_connections_per_address)};
    }
    if (arg == "--reply-budget") {
        return LimitOption{0, 1e7, "0 to 10000000", [&options](double v) {
                               options.reply_budget = static_cast<size_t>(v * MiB);
                           }};
    }
    if (arg == "--render-cache-mb") {
        return LimitOption{0, 1e6, "0 to 1000000", [&options](double v) {
                               options.render_cache_bytes = static_cast<size_t>(v * MiB);
                           }};
    }
    if (arg == "--reply-budget-per-connection") {
        return LimitOption{128, 1e6, "128 to 1000000", [&options](double v) {
                               options.reply_budget_per_connection = static_cast<size_t>(v * KiB);
                           }};
    }
    return std::nullopt;
}

// What the command line and the configuration file share: one option read at args[i], i
// moved past its value.
enum class Applied { Taken, Unknown, Refused };

struct ParseState {
    bool max_renders_given = false;
    // The command line's --trusted-proxy replaces the file's list rather than adding to it.
    bool proxies_from_file = false;
    // And --metrics-allow the file's networks.
    bool allow_from_file = false;
};

Applied applyOption(const std::vector<std::string>& args, size_t& i, CliOptions& options,
                    ParseState& state, std::string* error) {
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
    } else if (arg == "--version") {
        options.version = true;
    } else if (arg == "--quiet") {
        options.quiet = true;
    } else if (arg == "--no-live") {
        options.live.enabled = false;
    } else if (arg == "--log-format") {
        const std::string* v = value();
        if (v == nullptr) {
            return Applied::Refused;
        }
        if (*v != "text" && *v != "json") {
            *error = "--log-format wants text or json, not " + *v;
            return Applied::Refused;
        }
        options.log_format = *v == "json" ? LogFormat::Json : LogFormat::Text;
    } else if (arg == "--listen") {
        const std::string* v = value();
        if (v == nullptr) {
            return Applied::Refused;
        }
        if (!readListen(*v, options)) {
            *error = "--listen wants HOST:PORT, not " + *v;
            return Applied::Refused;
        }
    } else if (arg == "--db") {
        const std::string* v = value();
        if (v == nullptr) {
            return Applied::Refused;
        }
        if (v->empty()) {
            *error = "--db wants a file name or a postgresql:// URI";
            return Applied::Refused;
        }
        options.db_path = *v;
    } else if (arg == "--render-folder") {
        const std::string* v = value();
        if (v == nullptr) {
            return Applied::Refused;
        }
        if (v->empty()) {
            *error = "--render-folder wants a folder, or none";
            return Applied::Refused;
        }
        options.render_folder = *v;
    } else if (arg == "--web-folder") {
        const std::string* v = value();
        if (v == nullptr) {
            return Applied::Refused;
        }
        options.web_folder = *v;
    } else if (arg == "--public-url") {
        const std::string* v = value();
        if (v == nullptr) {
            return Applied::Refused;
        }
        if (v->rfind("http://", 0) != 0 && v->rfind("https://", 0) != 0) {
            *error = "--public-url wants an http:// or https:// URL";
            return Applied::Refused;
        }
        options.public_url = *v;
        if (options.public_url.back() != '/') {
            options.public_url += '/';
        }
    } else if (arg == "--threads") {
        const std::string* v = value();
        if (v == nullptr) {
            return Applied::Refused;
        }
        if (!readNumber(*v, options.threads, 1, 64)) {
            *error = "--threads wants a number from 1 to 64";
            return Applied::Refused;
        }
    } else if (arg == "--max-renders") {
        const std::string* v = value();
        if (v == nullptr) {
            return Applied::Refused;
        }
        if (!readNumber(*v, options.max_renders, 0, 255)) {
            *error = "--max-renders wants a number from 0 to 255";
            return Applied::Refused;
        }
        state.max_renders_given = true;
    } else if (arg == "--worker-threads") {
        const std::string* v = value();
        if (v == nullptr) {
            return Applied::Refused;
        }
        if (!readNumber(*v, options.worker_threads, 1, 256)) {
            *error = "--worker-threads wants a number from 1 to 256";
            return Applied::Refused;
        }
    } else if (arg == "--max-streams" || arg == "--max-streams-per-address") {
        const std::string* v = value();
        if (v == nullptr) {
            return Applied::Refused;
        }
        int& field = arg == "--max-streams" ? options.max_streams : options.max_streams_per_address;
        if (!readNumber(*v, field, 1, 1'000'000)) {
            *error = arg + " wants a number from 1 to 1000000";
            return Applied::Refused;
        }
    } else if (arg == "--trusted-proxy") {
        const std::string* v = value();
        if (v == nullptr) {
            return Applied::Refused;
        }
        if (v->empty() || v->find_first_not_of("0123456789abcdefABCDEF.:") != std::string::npos) {
            *error = "--trusted-proxy wants an IP address, not " + *v;
            return Applied::Refused;
        }
        if (state.proxies_from_file) {
            options.trusted_proxies.clear();
            state.proxies_from_file = false;
        }
        options.trusted_proxies.push_back(*v);
    } else if (arg == "--metrics-allow") {
        const std::string* v = value();
        if (v == nullptr) {
            return Applied::Refused;
        }
        const auto range = parseAddressRange(*v);
        if (!range) {
            *error = "--metrics-allow wants an IP address or ADDRESS/BITS, not " + *v;
            return Applied::Refused;
        }
        if (state.allow_from_file) {
            options.metrics_allow.clear();
            state.allow_from_file = false;
        }
        options.metrics_allow.push_back(*range);
    } else if (arg == "--metrics-token-file") {
        const std::string* v = value();
        if (v == nullptr) {
            return Applied::Refused;
        }
        if (v->empty()) {
            *error = "--metrics-token-file wants a file name";
            return Applied::Refused;
        }
        options.metrics_token_file = *v;
    } else if (arg == "--admin-token-file") {
        const std::string* v = value();
        if (v == nullptr) {
            return Applied::Refused;
        }
        if (v->empty()) {
            *error = "--admin-token-file wants a file name";
            return Applied::Refused;
        }
        options.admin_token_file = *v;
    } else if (arg == "--no-limits") {
        options.client_limits.appends.rate = 0;
        options.client_limits.polls.rate = 0;
        options.client_limits.uploads.rate = 0;
        options.client_limits.upload_bytes.rate = 0;
        options.live.progress.rate = 0;
        options.live.progress_bytes.rate = 0;
        options.max_canvas_strokes = 0;
        options.max_canvas_bytes = 0;
        options.max_connections_per_address = 0;
        options.reply_budget = 0;
    } else if (const auto limit = readLimit(arg, options)) {
        const std::string* v = value();
        if (v == nullptr) {
            return Applied::Refused;
        }
        double number = 0;
        if (!readNumber(*v, number, limit->low, limit->high)) {
            *error = arg + " wants a number from " + limit->range;
            return Applied::Refused;
        }
        limit->set(number);
    } else if (arg == "--idle-timeout" || arg == "--request-timeout" ||
               arg == "--stream-keepalive") {
        const std::string* v = value();
        if (v == nullptr) {
            return Applied::Refused;
        }
        double& field = arg == "--idle-timeout"      ? options.idle_timeout_s
                        : arg == "--request-timeout" ? options.request_timeout_s
                                                     : options.stream_keepalive_s;
        if (!readNumber(*v, field, 0.01, 86400.0)) {
            *error = arg + " wants seconds, from 0.01 to 86400";
            return Applied::Refused;
        }
    } else {
        *error = "unknown option " + arg + " (see --help)";
        return Applied::Unknown;
    }
    return Applied::Taken;
}

std::string_view trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Options that take no value; in the file they are switched on or left off.
bool isFlagOption(std::string_view name) {
    return name == "quiet" || name == "no-live" || name == "no-limits";
}

// Applies `name = value` lines of the file in their order. A setting the option parser would
// take without a value (--help) is no setting of the file.
bool applyConfigFile(const std::string& path, CliOptions& options, ParseState& state,
                     std::string* error) {
    std::ifstream file(path);
    if (!file) {
        *error = "--config " + path + ": cannot be read (" + std::strerror(errno) + ")";
        return false;
    }
    std::map<std::string, int, std::less<>> seen;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        const std::string where = path + ":" + std::to_string(number) + ": ";
        const std::string_view text = trimmed(line);
        if (text.empty() || text.front() == '#') {
            continue;
        }
        const size_t equals = text.find('=');
        const std::string name(trimmed(text.substr(0, std::min(equals, text.size()))));
        if (equals == std::string_view::npos || name.empty()) {
            *error = where + "wants name = value, not " + std::string(text);
            return false;
        }
        const std::string value(trimmed(text.substr(equals + 1)));
        if (name == "config") {
            *error = where + "config cannot be set in a configuration file";
            return false;
        }
        if (const auto [first, inserted] = seen.emplace(name, number); !inserted) {
            *error = where + name + " is set again (first on line " +
                     std::to_string(first->second) + ")";
            return false;
        }
        std::vector<std::string> args;
        if (isFlagOption(name)) {
            if (value != "true" && value != "yes" && value != "false" && value != "no") {
                *error = where + name + " wants true, false, yes or no, not " + value;
                return false;
            }
            if (value == "true" || value == "yes") {
                args.push_back("--" + name);
            }
        } else if (name == "trusted-proxy" || name == "metrics-allow") {
            // One line lists every address, as the option is repeated on the command line.
            std::string_view rest = value;
            while (!rest.empty()) {
                const size_t end = std::min(rest.find_first_of(", \t"), rest.size());
                if (end > 0) {
                    args.push_back("--" + name);
                    args.emplace_back(rest.substr(0, end));
                }
                rest.remove_prefix(std::min(end + 1, rest.size()));
            }
            if (args.empty()) {
                args = {"--" + name, ""};
            }
        } else {
            args = {"--" + name, value};
        }
        for (size_t i = 0; i < args.size(); ++i) {
            const size_t option = i;
            const Applied applied = applyOption(args, i, options, state, error);
            if (applied == Applied::Unknown ||
                (applied == Applied::Taken && i == option && !isFlagOption(name))) {
                *error = where + "unknown setting " + name;
                return false;
            }
            if (applied == Applied::Refused) {
                *error = where + *error;
                return false;
            }
        }
    }
    if (file.bad()) {
        *error = "--config " + path + ": cannot be read (" + std::strerror(errno) + ")";
        return false;
    }
    state.proxies_from_file = !options.trusted_proxies.empty();
    state.allow_from_file = !options.metrics_allow.empty();
    return true;
}

// Reads the command line into options; the path of --config, if given, into config.
bool applyCommandLine(const std::vector<std::string>& args, CliOptions& options, ParseState& state,
                      std::optional<std::string>& config, std::string* error) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--config") {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                *error = "--config wants a file name";
                return false;
            }
            if (config) {
                *error = "--config given twice";
                return false;
            }
            config = args[++i];
        } else if (applyOption(args, i, options, state, error) != Applied::Taken) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string defaultWebFolder() {
    return VELMO_DEFAULT_WEB_FOLDER;
}

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
           "       velmorastra-server backup [--config FILE] [--db FILE] OUT\n"
           "\n"
           "The Velmorastra canvas server: stores and relays strokes, searches canvases,\n"
           "hosts uploaded pictures, serves share pages and the browser page.\n"
           "\n"
           "Options:\n"
           "  --config FILE          read options from FILE, one name = value a line: the\n"
           "                         option without --, e.g. listen = 127.0.0.1:8640, a\n"
           "                         flag as true or false (yes or no); # starts a comment\n"
           "                         line; the command line wins over the file\n"
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
           "                         http://HOST:PORT/; http:// or https://, both of which\n"
           "                         the app takes in the answer to an upload)\n"
           "  --threads N            network threads, 1 to 64 (default 2)\n"
           "  --worker-threads N     threads for requests that wait on the database or render\n"
           "                         (appends never do: they share one journal write and\n"
           "                         flush), 1 to 256 (default 32)\n"
           "  --max-renders N        server renders running at once, below --worker-threads\n"
           "                         (default 4, or one less than --worker-threads; 0 turns\n"
           "                         renders off); beyond, 503 with Retry-After\n"
           "  --render-cache-mb MIB  memory for renders (/render and /layers) kept between\n"
           "                         requests, the least recently used dropped first\n"
           "                         (default 256; 0 keeps none: every render paints its\n"
           "                         canvas from the first stroke)\n"
           "  --render-folder DIR    where renders are kept between runs, so that the first\n"
           "                         render after a start paints only the newer strokes\n"
           "                         (default FILE.renders beside a SQLite database, none\n"
           "                         with PostgreSQL; none keeps nothing on disk)\n"
           "  --web-folder DIR       the browser page's files (draw.html, draw.css,\n"
           "                         velmorastra-web.js, velmorastra-web.wasm), read once at\n"
           "                         start and served at /draw/<canvas ID> and /web/ (default\n"
           "                         " VELMO_DEFAULT_WEB_FOLDER ";\n"
           "                         '' or a folder without them: no browser page)\n"
           "  --idle-timeout SEC     close keep-alive connections idle this long (default 60)\n"
           "  --request-timeout SEC  a request must arrive within this time (default 20); an\n"
           "                         event stream whose client takes nothing for this long\n"
           "                         is dropped\n"
           "  --stream-keepalive SEC a comment this often on an event stream without news,\n"
           "                         so proxies keep it open (default 20)\n"
           "  --max-streams N        event streams open at once, in all (default 10000)\n"
           "  --max-streams-per-address N\n"
           "                         event streams open at once from one address (default 64)\n"
           "\n"
           "Limits (0 turns one off; each refusal is answered with its status and a\n"
           "one-line reason, and named in the access log):\n"
           "  --append-rate N        appends with points a second per client (address and\n"
           "                         user name), on average (default 10); beyond, 429 with\n"
           "                         Retry-After\n"
           "  --append-burst N       appends a client may send at once (default 100)\n"
           "  --poll-rate N          polls (appends without points) a second per client\n"
           "                         (default 20); beyond, 429 with Retry-After\n"
           "  --poll-burst N         polls a client may send at once (default 200)\n"
           "  --upload-rate N        uploads a second per address, on average (default 0.5,\n"
           "                         one every 2 s); beyond, 429 with Retry-After\n"
           "  --upload-burst N       uploads an address may send at once (default 30)\n"
           "  --upload-kib-rate N    KiB of uploads a second per address (default 1024)\n"
           "  --upload-mib-burst N   MiB of uploads an address may send at once (default 64)\n"
           "  --progress-rate N      strokes-in-progress commands a second per user name,\n"
           "                         on average (default 60); beyond, 429 with Retry-After\n"
           "  --progress-burst N     progress commands a user may send at once (default 60)\n"
           "  --progress-kib-rate N  KiB of progress commands a second per user name\n"
           "                         (default 64); beyond, 429 with Retry-After\n"
           "  --progress-kib-burst N KiB of progress a user may send at once (default 64)\n"
           "  --max-present N        users listed as present on one canvas (default 200);\n"
           "                         a stream beyond is served, its user neither listed nor\n"
           "                         announced\n"
           "  --max-canvas-strokes N strokes a canvas holds at most (default 200000); an\n"
           "                         append to a full canvas is answered 409 \"canvas is\n"
           "                         full\"; polls and reads go on\n"
           "  --max-canvas-mib N     MiB of stroke text a canvas holds at most (default 256)\n"
           "  --max-connections-per-address N\n"
           "                         connections open at once from one address, loopback\n"
           "                         included (default 256); a further one is answered 429\n"
           "                         and closed\n"
           "  --trusted-proxy ADDRESS\n"
           "                         a load balancer in front (repeatable): its connections\n"
           "                         are not bound per address, and each of its requests\n"
           "                         counts, is limited and logged as the last address of\n"
           "                         its X-Forwarded-For\n"
           "  --reply-budget MIB     memory for replies held for clients, in all (default\n"
           "                         256); beyond, a request that reads the database or\n"
           "                         renders is answered 503 with Retry-After\n"
           "  --reply-budget-per-connection KIB\n"
           "                         memory one reply holds at most, twice the page size of\n"
           "                         a canvas read (default 2048, at least 128)\n"
           "  --no-limits            turns every limit above off (for benchmarks); options\n"
           "                         after it set single ones again\n"
           "\n"
           "Metrics (GET /metrics, the Prometheus text format; answered to loopback, to the\n"
           "networks and the token below, and 403 to everyone else; through a trusted proxy\n"
           "the client its X-Forwarded-For names is the one that counts):\n"
           "  --metrics-allow ADDRESS[/BITS]\n"
           "                         an address or network that may read it (repeatable)\n"
           "  --metrics-token-file FILE\n"
           "                         a request with Authorization: Bearer TOKEN may read it\n"
           "                         from anywhere, TOKEN being what FILE holds (read at\n"
           "                         start, white space around it dropped)\n"
           "\n"
           "Moderation (the /admin/ routes: list canvases and their users, remove a user's\n"
           "strokes or a canvas, ban a user name or key; see the README):\n"
           "  --admin-token-file FILE\n"
           "                         turns the /admin/ routes on for requests with\n"
           "                         Authorization: Bearer TOKEN, TOKEN being what FILE holds\n"
           "                         (read at start, white space around it dropped, at least\n"
           "                         16 bytes); without it /admin/ answers 404\n"
           "\n"
           "  --no-live              no live drawing: progress commands answer 404 and event\n"
           "                         streams ignore ?user= (no strokes in progress, no\n"
           "                         presence)\n"
           "  --quiet                no access log (one line per request on stderr)\n"
           "  --log-format FORMAT    the access log as text (the default) or json: one object\n"
           "                         a line with time, address, method, route, status,\n"
           "                         bytes, duration_ms and the refusal reason\n"
           "  --help                 show this text\n"
           "  --version              print the version\n"
           "\n"
           "backup [--config FILE] [--db FILE] OUT copies the SQLite database FILE (--db,\n"
           "                         else the db of the --config file, else as for --db) to\n"
           "                         the new file OUT while a server may be using it, with\n"
           "                         the strokes its journal holds folded in; OUT must not\n"
           "                         exist (exit 2). To restore, stop the server and put OUT\n"
           "                         in place of FILE. PostgreSQL: use pg_dump.\n"
           "\n"
           "SIGINT or SIGTERM stop the server: requests in flight are answered (for up to\n"
           "5 seconds), idle connections and event streams are closed, the delivery marks\n"
           "are saved, then the database is closed.\n";
}

std::optional<BackupArgs> parseBackupCli(const std::vector<std::string>& args, std::string* error) {
    BackupArgs backup;
    std::optional<std::string> config;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--db" || args[i] == "--config") {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                *error = "backup: " + args[i] + " wants a file name";
                return std::nullopt;
            }
            if (args[i] == "--config" && config) {
                *error = "backup: --config given twice";
                return std::nullopt;
            }
            if (args[i] == "--db") {
                backup.db_path = args[i + 1];
            } else {
                config = args[i + 1];
            }
            ++i;
        } else if (args[i].rfind("--", 0) == 0 || !backup.out.empty() || args[i].empty()) {
            *error = "backup wants [--config FILE] [--db FILE] OUT, not " + args[i];
            return std::nullopt;
        } else {
            backup.out = args[i];
        }
    }
    if (backup.out.empty()) {
        *error =
            "backup wants the name of the copy to make: backup [--config FILE] [--db FILE] OUT";
        return std::nullopt;
    }
    // The server's own file, read whole as the server reads it, so that a file the server
    // would refuse is refused here too; only its database matters.
    if (config) {
        CliOptions options;
        ParseState state;
        if (!applyConfigFile(*config, options, state, error)) {
            *error = "backup: " + *error;
            return std::nullopt;
        }
        if (backup.db_path.empty()) {
            backup.db_path = options.db_path;
        }
    }
    if (isPostgresUri(backup.db_path)) {
        *error = "backup copies a SQLite database; back PostgreSQL up with pg_dump";
        return std::nullopt;
    }
    return backup;
}

std::optional<CliOptions> parseCli(const std::vector<std::string>& args, std::string* error) {
    CliOptions options;
    ParseState state;
    std::optional<std::string> config;
    if (!applyCommandLine(args, options, state, config, error)) {
        return std::nullopt;
    }
    // The command line is read again over the file's settings so that it wins wherever
    // --config stands among the arguments.
    if (config) {
        options = CliOptions{};
        state = ParseState{};
        std::optional<std::string> again;
        if (!applyConfigFile(*config, options, state, error) ||
            !applyCommandLine(args, options, state, again, error)) {
            return std::nullopt;
        }
    }
    // Renders holding every worker would starve the reads clients wait on.
    if (!state.max_renders_given) {
        options.max_renders = std::min(options.max_renders, options.worker_threads - 1);
    } else if (options.max_renders >= options.worker_threads && options.max_renders > 0) {
        *error = "--max-renders must be below --worker-threads";
        return std::nullopt;
    }
    return options;
}

} // namespace velmo::server
