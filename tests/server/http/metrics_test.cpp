#include "canvas/mw_stroke.h"
#include "support/prometheus_text.h"
#include "support/server_process.h"
#include "wire/command_text.h"
#include "wire/percent_codec.h"
#include "wire/server_events.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

namespace velmo::server {
namespace {

using namespace std::chrono_literals;
using testing::Connection;
using testing::getRequest;
using testing::postRequest;
using testing::PrometheusText;
using testing::ServerProcess;

constexpr const char* Canvas = "anna@20100704123456789";

canvas::MWStroke stroke(int64_t client_time, int points) {
    canvas::MWStroke s;
    s.client_time = client_time;
    s.user_name = "anna@1";
    s.pen_properties = {static_cast<int32_t>(0xFF000000u), 2999, 128};
    for (int i = 0; i < points; ++i) {
        s.points_x.push_back(1000 * i);
        s.points_y.push_back(2000 * i);
    }
    return s;
}

class MetricsTest : public ::testing::Test {
protected:
    std::unique_ptr<ServerProcess> startServer(std::vector<std::string> extra) {
        auto server = std::make_unique<ServerProcess>(dir.file("canvas.sqlite"),
                                                      dir.file("server.log"), std::move(extra));
        EXPECT_TRUE(server->start()) << server->log();
        return server;
    }

    // One request on a connection of its own.
    static testing::HttpReply exchange(int port, const std::string& request) {
        Connection connection(port);
        connection.send(request);
        return connection.read().value_or(testing::HttpReply{});
    }

    // A scrape from loopback, read strictly; a fault fails the test where it was asked for.
    static PrometheusText scrape(int port, const std::string& headers = "") {
        const auto reply = exchange(port, getRequest("/metrics", headers));
        EXPECT_EQ(reply.status, 200) << reply.body;
        EXPECT_EQ(reply.headers.count("content-type") ? reply.headers.at("content-type") : "",
                  "text/plain; version=0.0.4; charset=utf-8");
        auto read = testing::readPrometheusText(reply.body);
        EXPECT_EQ(read.error, "") << reply.body;
        return read;
    }

    testing::TempDir dir;
};

// A stream held open by hand: the head read, then nothing until it is closed.
class OpenStream {
public:
    OpenStream(int port, const std::string& canvas_id) : connection_(port) {
        connection_.send(getRequest(std::string(wire::EventsRoute) + wire::percentEncode(canvas_id),
                                    "Accept: text/event-stream\r\n"));
    }
    // The status of the head, as soon as it came; 0 when none did.
    int status() { return connection_.read(5s, true).value_or(testing::HttpReply{}).status; }

private:
    Connection connection_;
};

TEST_F(MetricsTest, CountersMoveWithAppendsRefusalsPollsStreamsAndRenders) {
    auto server =
        startServer({"--append-burst", "2", "--append-rate", "0.01", "--max-canvas-strokes", "1"});
    const int port = server->port();
    const auto before = scrape(port);
    const std::string Stored = "velmorastra_appends_stored_total";
    EXPECT_EQ(before.value(Stored), 0);

    // One stored, one refused by the canvas's cap, one by the rate; a poll and a get_strokes.
    EXPECT_EQ(exchange(port, postRequest("/", wire::appendCommand(Canvas, stroke(1, 3)))).status,
              200);
    EXPECT_EQ(exchange(port, postRequest("/", wire::appendCommand(Canvas, stroke(2, 3)))).status,
              409);
    EXPECT_EQ(exchange(port, postRequest("/", wire::appendCommand(Canvas, stroke(3, 3)))).status,
              429);
    EXPECT_EQ(exchange(port, postRequest("/", wire::appendCommand(Canvas, stroke(0, 0)))).status,
              200);
    EXPECT_EQ(exchange(port, postRequest("/", wire::getStrokesCommand(Canvas))).status, 200);
    EXPECT_EQ(exchange(port, getRequest("/render/" + wire::percentEncode(Canvas) + ".png")).status,
              200);
    EXPECT_EQ(exchange(port, getRequest("/nothing/here")).status, 404);

    const auto after = scrape(port);
    const std::pair<std::string, double> moved[] = {
        {Stored, 1},
        {"velmorastra_appends_refused_total{reason=\"canvas_full\"}", 1},
        {"velmorastra_appends_refused_total{reason=\"rate_limited\"}", 1},
        {"velmorastra_appends_refused_total{reason=\"storage\"}", 0},
        {"velmorastra_polls_total", 1},
        {"velmorastra_get_strokes_total", 1},
        {"velmorastra_http_requests_total{route=\"/\",status=\"200\"}", 3},
        {"velmorastra_http_requests_total{route=\"/\",status=\"409\"}", 1},
        {"velmorastra_http_requests_total{route=\"/\",status=\"429\"}", 1},
        {"velmorastra_http_requests_total{route=\"/render/\",status=\"200\"}", 1},
        {"velmorastra_http_requests_total{route=\"other\",status=\"404\"}", 1},
        // The first scrape is counted by the second.
        {"velmorastra_http_requests_total{route=\"/metrics\",status=\"200\"}", 1},
        {"velmorastra_store_duration_seconds_count{call=\"append\"}", 1},
        {"velmorastra_store_duration_seconds_count{call=\"poll\"}", 1},
        {"velmorastra_database_errors_total", 0},
    };
    for (const auto& [key, delta] : moved) {
        ASSERT_TRUE(after.value(key)) << key;
        EXPECT_EQ(*after.value(key) - before.value(key).value_or(0), delta) << key;
    }
    // Whatever the render had to paint, it is one render.
    double renders = 0;
    for (const char* painted : {"nothing", "appended", "save_point", "everything"}) {
        const std::string key =
            "velmorastra_renders_total{painted=\"" + std::string(painted) + "\"}";
        renders += after.value(key).value_or(-1) - before.value(key).value_or(-1);
    }
    EXPECT_EQ(renders, 1);
    EXPECT_GT(*after.value("velmorastra_store_duration_seconds_sum{call=\"append\"}"), 0);
    EXPECT_GT(*after.value("process_resident_memory_bytes"), 1 << 20);
    EXPECT_EQ(after.value("velmorastra_reply_budget_limit_bytes"), 256 << 20);
    EXPECT_EQ(after.value("velmorastra_event_streams_open"), 0);

    // A stream counts while it is open, and is gone from the gauge once its client leaves.
    {
        OpenStream stream(port, Canvas);
        ASSERT_EQ(stream.status(), 200);
        const auto open = scrape(port);
        EXPECT_EQ(open.value("velmorastra_event_streams_open"), 1);
        EXPECT_EQ(open.value("velmorastra_http_requests_total{route=\"/events/\",status=\"200\"}"),
                  1);
    }
    std::optional<double> streams;
    for (int i = 0; i < 100 && streams != 0; ++i) {
        std::this_thread::sleep_for(50ms);
        streams = scrape(port).value("velmorastra_event_streams_open");
    }
    EXPECT_EQ(streams, 0);
    EXPECT_EQ(server->stop(), 0);
}

TEST_F(MetricsTest, OnlyLoopbackTheAllowedNetworksAndTheTokenMayRead) {
    const std::string token_file = dir.file("metrics.token");
    std::ofstream(token_file) << "open-sesame-42\n";
    // The test's connections come from 127.0.0.1, which is made the proxy: what counts is the
    // client each request's X-Forwarded-For names, as behind nginx.
    auto server = startServer({"--trusted-proxy", "127.0.0.1", "--metrics-allow", "203.0.113.0/24",
                               "--metrics-token-file", token_file});
    const int port = server->port();
    const auto status = [&](const std::string& headers) {
        return exchange(port, getRequest("/metrics", headers)).status;
    };
    const std::string Bearer = "Authorization: Bearer open-sesame-42\r\n";
    const struct {
        std::string headers;
        int status;
    } cases[] = {
        // A client from outside through the proxy is not loopback, though the proxy is.
        {"X-Forwarded-For: 198.51.100.1\r\n", 403},
        // The proxy naming no client (or none that reads) lets nobody in by address.
        {"", 403},
        {"X-Forwarded-For: proxy.example\r\n", 403},
        // Only the address the proxy appended counts, not what the client said before it.
        {"X-Forwarded-For: 127.0.0.1, 198.51.100.1\r\n", 403},
        {"X-Forwarded-For: 198.51.100.1, 127.0.0.1\r\n", 200},
        {"X-Forwarded-For: 203.0.113.9\r\n", 200},
        {"X-Forwarded-For: 203.0.114.9\r\n", 403},
        // The token, from anywhere; a wrong one or another scheme is no token.
        {"X-Forwarded-For: 198.51.100.1\r\n" + Bearer, 200},
        {Bearer, 200},
        {"X-Forwarded-For: 198.51.100.1\r\nAuthorization: Bearer open-sesame-4\r\n", 403},
        {"X-Forwarded-For: 198.51.100.1\r\nAuthorization: Basic open-sesame-42\r\n", 403},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(status(c.headers), c.status) << c.headers;
    }
    // A refusal says no more than that, and is counted as any request.
    const auto refused =
        exchange(port, getRequest("/metrics", "X-Forwarded-For: 198.51.100.1\r\n"));
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(refused.body.find("velmorastra_"), std::string::npos);
    const auto read = scrape(port, Bearer);
    EXPECT_EQ(read.value("velmorastra_http_requests_total{route=\"/metrics\",status=\"403\"}"), 8);
    EXPECT_EQ(read.value("velmorastra_http_requests_total{route=\"/metrics\",status=\"200\"}"), 4);
    // Other methods are refused once the client may read.
    EXPECT_EQ(exchange(port, postRequest("/metrics", "", Bearer)).status, 405);
    EXPECT_EQ(server->stop(), 0);

    // A proxy the server was not told of (nginx on this host, say) makes every request look
    // like loopback; one that says it was forwarded is therefore not let in by its address.
    auto plain = startServer({});
    EXPECT_EQ(exchange(plain->port(), getRequest("/metrics")).status, 200);
    EXPECT_EQ(
        exchange(plain->port(), getRequest("/metrics", "X-Forwarded-For: 127.0.0.1\r\n")).status,
        403);
    EXPECT_EQ(plain->stop(), 0);

    // A token file that cannot be read stops the start, with the reason.
    auto missing = std::make_unique<ServerProcess>(
        dir.file("other.sqlite"), dir.file("missing.log"),
        std::vector<std::string>{"--metrics-token-file", dir.file("no-such-file")});
    EXPECT_FALSE(missing->start());
    EXPECT_EQ(missing->waitExit(), 2);
    EXPECT_NE(missing->log().find("no-such-file: cannot be read"), std::string::npos)
        << missing->log();
}

} // namespace
} // namespace velmo::server
