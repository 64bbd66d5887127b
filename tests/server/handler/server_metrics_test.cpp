#include "handler/server_metrics.h"

#include "support/prometheus_text.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace velmo::server {
namespace {

using namespace std::chrono_literals;

TEST(ServerMetrics, RoutesAreTheLoggedPathsWithoutWhatTheyName) {
    const struct {
        const char* target;
        const char* route;
    } cases[] = {
        {"/", "/"},
        {"/?v:abcdefg", "/"},
        {"/healthz", "/healthz"},
        {"/healthz?x", "/healthz"},
        {"/healthzz", "other"},
        {"/upload.cgi", "/upload.cgi"},
        {"/render/anna%4020100704123456789.png?w=10", "/render/"},
        {"/layers/a.png", "/layers/"},
        {"/draw/a", "/draw/"},
        {"/web/velmorastra-web.0123.js", "/web/"},
        {"/images/00.png", "/images/"},
        {"/events/a?user=b", "/events/"},
        {"/metrics", "/metrics"},
        {"/metrics?x=1", "/metrics"},
        {"/admin/canvases", "/admin/"},
        {"/render", "other"},
        {"-", "other"},
        {"", "other"},
        {"http://host/", "other"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(metricsRouteName(metricsRouteOf(c.target)), c.route) << c.target;
    }
}

TEST(ServerMetrics, CountsReadAsStrictPrometheusText) {
    ServerMetrics metrics;
    const auto before = testing::readPrometheusText(metrics.text({}));
    ASSERT_EQ(before.error, "");
    // Nothing happened: no request sample, every fixed one at 0, memory left out when unknown.
    EXPECT_EQ(before.types.at("velmorastra_http_requests_total"), "counter");
    EXPECT_EQ(before.value("velmorastra_appends_stored_total"), 0);
    EXPECT_EQ(before.value("velmorastra_appends_refused_total{reason=\"rate_limited\"}"), 0);
    EXPECT_EQ(before.types.at("velmorastra_store_duration_seconds"), "histogram");
    EXPECT_EQ(before.value("velmorastra_store_duration_seconds_count{call=\"append\"}"), 0);
    EXPECT_FALSE(before.value("process_resident_memory_bytes"));
    for (const auto& [key, value] : before.samples) {
        EXPECT_FALSE(key.starts_with("velmorastra_http_requests_total")) << key;
    }

    metrics.countRequest(MetricsRoute::Commands, 200);
    metrics.countRequest(MetricsRoute::Commands, 200);
    metrics.countRequest(MetricsRoute::Render, 503);
    metrics.countRequest(MetricsRoute::Other, 99);  // no such status: not counted
    metrics.countRequest(MetricsRoute::Other, 600); // neither
    // Each refusal status to its reason; any 2xx is a stroke stored.
    for (const int status : {200, 429, 429, 409, 403, 400, 503, 500, 413}) {
        metrics.countAppend(status);
    }
    // A ban is told from a key that does not match by the reason it carries, not its text.
    metrics.countAppend(403, RefusalReason::Banned);
    metrics.countAppend(403, RefusalReason::Banned);
    metrics.countPoll();
    metrics.countGetStrokes();
    metrics.countProgressRelayed();
    metrics.countProgressRelayed();
    metrics.countRender(RenderResult::Painted::Appended);
    metrics.countRender(RenderResult::Painted::Everything);
    metrics.countDatabaseError();
    // One in the first bucket, one on the bound of 1 ms (a bound is the bucket's own), one far
    // beyond every bound.
    metrics.timeStore(StoreCall::Append, 50us);
    metrics.timeStore(StoreCall::Append, 1ms);
    metrics.timeStore(StoreCall::Append, 60s);
    metrics.timeStore(StoreCall::Poll, -5ns); // a clock that stepped back counts as 0
    const auto read = testing::readPrometheusText(metrics.text({.streams_open = 3,
                                                                .reply_bytes_held = 4096,
                                                                .reply_bytes_limit = 1 << 20,
                                                                .resident_bytes = 123456789}));
    ASSERT_EQ(read.error, "");
    const std::pair<const char*, double> expected[] = {
        {"velmorastra_http_requests_total{route=\"/\",status=\"200\"}", 2},
        {"velmorastra_http_requests_total{route=\"/render/\",status=\"503\"}", 1},
        {"velmorastra_appends_stored_total", 1},
        {"velmorastra_appends_refused_total{reason=\"rate_limited\"}", 2},
        {"velmorastra_appends_refused_total{reason=\"canvas_full\"}", 1},
        {"velmorastra_appends_refused_total{reason=\"key_mismatch\"}", 1},
        {"velmorastra_appends_refused_total{reason=\"banned\"}", 2},
        {"velmorastra_appends_refused_total{reason=\"bad_request\"}", 1},
        {"velmorastra_appends_refused_total{reason=\"storage\"}", 1},
        {"velmorastra_appends_refused_total{reason=\"other\"}", 2},
        {"velmorastra_polls_total", 1},
        {"velmorastra_get_strokes_total", 1},
        {"velmorastra_progress_relayed_total", 2},
        {"velmorastra_renders_total{painted=\"nothing\"}", 0},
        {"velmorastra_renders_total{painted=\"appended\"}", 1},
        {"velmorastra_renders_total{painted=\"everything\"}", 1},
        {"velmorastra_database_errors_total", 1},
        {"velmorastra_store_duration_seconds_bucket{call=\"append\",le=\"0.0001\"}", 1},
        {"velmorastra_store_duration_seconds_bucket{call=\"append\",le=\"0.00025\"}", 1},
        {"velmorastra_store_duration_seconds_bucket{call=\"append\",le=\"0.001\"}", 2},
        {"velmorastra_store_duration_seconds_bucket{call=\"append\",le=\"5\"}", 2},
        {"velmorastra_store_duration_seconds_bucket{call=\"append\",le=\"+Inf\"}", 3},
        {"velmorastra_store_duration_seconds_count{call=\"append\"}", 3},
        {"velmorastra_store_duration_seconds_sum{call=\"append\"}", 60.00105},
        {"velmorastra_store_duration_seconds_bucket{call=\"poll\",le=\"0.0001\"}", 1},
        {"velmorastra_store_duration_seconds_sum{call=\"poll\"}", 0},
        {"velmorastra_event_streams_open", 3},
        {"velmorastra_reply_budget_used_bytes", 4096},
        {"velmorastra_reply_budget_limit_bytes", 1 << 20},
        {"process_resident_memory_bytes", 123456789},
    };
    for (const auto& [key, value] : expected) {
        ASSERT_TRUE(read.value(key)) << key;
        EXPECT_DOUBLE_EQ(*read.value(key), value) << key;
    }
    size_t request_samples = 0;
    for (const auto& [key, value] : read.samples) {
        request_samples += key.starts_with("velmorastra_http_requests_total");
    }
    EXPECT_EQ(request_samples, 2u);
    EXPECT_EQ(read.types.at("velmorastra_event_streams_open"), "gauge");
    EXPECT_EQ(read.types.at("process_resident_memory_bytes"), "gauge");
    EXPECT_GT(residentMemoryBytes(), 1 << 20); // this test process, in bytes, not pages
}

TEST(ServerMetrics, ThreadsCountingAtOnceLoseNothing) {
    ServerMetrics metrics;
    constexpr int Threads = 8;
    constexpr int Each = 20'000;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&metrics, t] {
            for (int i = 0; i < Each; ++i) {
                metrics.countRequest(MetricsRoute::Commands, 200 + t % 2);
                metrics.countPoll();
                metrics.timeStore(StoreCall::Poll, std::chrono::microseconds(i % 3000));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(metrics.requests(MetricsRoute::Commands, 200), uint64_t{Threads / 2 * Each});
    EXPECT_EQ(metrics.requests(MetricsRoute::Commands, 201), uint64_t{Threads / 2 * Each});
    const auto read = testing::readPrometheusText(metrics.text({}));
    ASSERT_EQ(read.error, "");
    EXPECT_EQ(read.value("velmorastra_polls_total"), Threads * Each);
    EXPECT_EQ(read.value("velmorastra_store_duration_seconds_count{call=\"poll\"}"),
              Threads * Each);
}

// The reader the tests trust must itself refuse what a scraper would.
TEST(ServerMetrics, TheTestsReaderRefusesWhatIsNotTheFormat) {
    const char* const bad[] = {
        "",
        "a_total 1",                                            // no final line break
        "# TYPE a_total counter\na_total 1\n\n",                // an empty line
        "a_total 1\n",                                          // no TYPE
        "# TYPE a counter\na 1\n",                              // a counter without _total
        "# TYPE a_total counter\na_total one\n",                // not a number
        "# TYPE a_total counter\na_total{x=\"1\" 1\n",          // labels not closed
        "# TYPE a_total counter\na_total{x=1} 1\n",             // unquoted
        "# TYPE a_total counter\na_total{x=\"1\",x=\"2\"} 1\n", // a label twice
        "# TYPE a_total counter\na_total 1\na_total 2\n",       // a sample twice
        "# TYPE a_total counter\n# TYPE a_total counter\n",     // TYPE twice
        "# TYPE a_total count\n",                               // no such type
        "# a comment\n",                                        // neither HELP nor TYPE
        "# TYPE h histogram\nh_bucket{le=\"1\"} 2\nh_bucket{le=\"+Inf\"} 1\nh_count 1\n",
        "# TYPE h histogram\nh_bucket{le=\"+Inf\"} 2\nh_count 1\n",
        "# TYPE h histogram\nh_bucket{le=\"x\"} 2\n",
        "# TYPE g gauge\ng{le=\"1\"} 2\n",
    };
    for (const char* text : bad) {
        EXPECT_NE(testing::readPrometheusText(text).error, "") << text;
    }
    const auto good = testing::readPrometheusText(
        "# HELP h A histogram.\n# TYPE h histogram\nh_bucket{a=\"\\\"q\\\"\",le=\"1\"} 1\n"
        "h_bucket{a=\"\\\"q\\\"\",le=\"+Inf\"} 2\nh_sum{a=\"\\\"q\\\"\"} 3.5\n"
        "h_count{a=\"\\\"q\\\"\"} 2\n# TYPE g gauge\ng -1.5e3 1700000000000\n");
    EXPECT_EQ(good.error, "");
    EXPECT_EQ(good.value("h_sum{a=\"\\\"q\\\"\"}"), 3.5); // keyed as written
    EXPECT_EQ(good.value("g"), -1500);
}

} // namespace
} // namespace velmo::server
