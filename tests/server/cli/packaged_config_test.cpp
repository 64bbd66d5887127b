#include "cli/cli_options.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace velmo::server {
namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Every option --help names, but those that make no setting of a file.
std::set<std::string> optionsInUsage() {
    std::set<std::string> names;
    const std::regex option(R"(^  --([a-z][a-z-]*))");
    std::istringstream usage(usageText());
    std::string line;
    while (std::getline(usage, line)) {
        std::smatch match;
        if (std::regex_search(line, match, option)) {
            names.insert(match[1]);
        }
    }
    for (const char* none : {"config", "help", "version"}) {
        names.erase(none);
    }
    return names;
}

// What a configuration decides, for comparing two of them field by field.
std::string described(const CliOptions& o) {
    const ClientLimitOptions& l = o.client_limits;
    std::ostringstream out;
    out << "listen " << o.host << ":" << o.port << "\ndb " << o.db_path << "\npublic-url "
        << o.public_url << "\nthreads " << o.threads << "\nworker-threads " << o.worker_threads
        << "\nidle-timeout " << o.idle_timeout_s << "\nrequest-timeout " << o.request_timeout_s
        << "\nstream-keepalive " << o.stream_keepalive_s << "\nmax-streams " << o.max_streams
        << "\nmax-streams-per-address " << o.max_streams_per_address << "\nmax-renders "
        << o.max_renders << "\nrender-cache " << o.render_cache_bytes << "\nrender-folder "
        << o.render_folder << "\nweb-folder " << o.web_folder << "\nappends " << l.appends.rate
        << "/" << l.appends.burst << "\npolls " << l.polls.rate << "/" << l.polls.burst
        << "\nuploads " << l.uploads.rate << "/" << l.uploads.burst << "\nupload bytes "
        << l.upload_bytes.rate << "/" << l.upload_bytes.burst << "\nlive " << o.live.enabled
        << "\nprogress " << o.live.progress.rate << "/" << o.live.progress.burst
        << "\nprogress bytes " << o.live.progress_bytes.rate << "/" << o.live.progress_bytes.burst
        << "\nmax-present " << o.live.max_present << "\nmax-canvas-strokes " << o.max_canvas_strokes
        << "\nmax-canvas-bytes " << o.max_canvas_bytes << "\nmax-connections-per-address "
        << o.max_connections_per_address << "\nreply-budget " << o.reply_budget
        << "\nreply-budget-per-connection " << o.reply_budget_per_connection << "\nquiet "
        << o.quiet << "\nlog-format " << static_cast<int>(o.log_format) << "\ntrusted proxies "
        << o.trusted_proxies.size() << "\n";
    return out.str();
}

// The file the server package installs as /etc/velmorastra/server.conf: it names every option
// (set, at its default as "#name = value", or as an example "# name = value"); as shipped it
// keeps the data in /var/lib/velmorastra; and the defaults it shows are the real ones, since
// taking every "#name = value" line changes nothing.
TEST(PackagedConfig, NamesEveryOptionAndShowsTheRealDefaults) {
    const std::string shipped = readFile(VELMO_PACKAGED_CONFIG);
    ASSERT_FALSE(shipped.empty()) << VELMO_PACKAGED_CONFIG;

    const std::set<std::string> options = optionsInUsage();
    ASSERT_GT(options.size(), 30u);
    for (const std::string& name : options) {
        const std::regex line("(^|\n)(# ?)?" + name + " =");
        EXPECT_TRUE(std::regex_search(shipped, line)) << "server.conf does not name " << name;
    }

    std::string error;
    const auto as_shipped = parseCli({"--config", VELMO_PACKAGED_CONFIG}, &error);
    ASSERT_TRUE(as_shipped) << error;
    EXPECT_EQ(as_shipped->db_path, "/var/lib/velmorastra/server.sqlite");

    // Every default shown, taken.
    const std::regex shown(R"((^|\n)#([a-z][a-z-]* = ))");
    const std::string taken = std::regex_replace(shipped, shown, "$1$2");
    ASSERT_NE(taken, shipped);
    testing::TempDir dir;
    const std::string path = dir.file("server.conf");
    std::ofstream(path) << taken;
    const auto with_defaults = parseCli({"--config", path}, &error);
    ASSERT_TRUE(with_defaults) << error;
    EXPECT_EQ(described(*with_defaults), described(*as_shipped));

    // And the comparison sees a setting that differs.
    std::ofstream(path) << std::regex_replace(taken, std::regex("\nmax-present = 200\n"),
                                              "\nmax-present = 7\n");
    const auto changed = parseCli({"--config", path}, &error);
    ASSERT_TRUE(changed) << error;
    EXPECT_NE(described(*changed), described(*as_shipped));
}

} // namespace
} // namespace velmo::server
