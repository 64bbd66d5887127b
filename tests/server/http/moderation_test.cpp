// The operator's /admin/ routes on the real server: the token, removals reaching the canvas's
// other clients, and bans.
#include "canvas/mw_stroke.h"
#include "handler/sha256.h"
#include "support/backend.h"
#include "support/pg_cluster.h"
#include "support/prometheus_text.h"
#include "support/raw_stream.h"
#include "support/server_process.h"
#include "wire/command_text.h"
#include "wire/key_header.h"
#include "wire/percent_codec.h"
#include "wire/reply_line.h"
#include "wire/server_events.h"

#include <gtest/gtest.h>

#include <fstream>

namespace velmo::server {
namespace {

using namespace std::chrono_literals;
using testing::Connection;
using testing::getRequest;
using testing::postRequest;
using testing::RawStream;
using testing::ServerProcess;

constexpr const char* Canvas = "anna@20100704123456789";
constexpr const char* Token = "0123456789abcdef-operator";

canvas::MWStroke stroke(const std::string& user, int64_t client_time, int points = 2) {
    canvas::MWStroke s;
    s.client_time = client_time;
    s.user_name = user;
    s.pen_properties = {static_cast<int32_t>(0xFF000000u), 2999, 128};
    for (int i = 0; i < points; ++i) {
        s.points_x.push_back(1000 * i);
        s.points_y.push_back(2000 * i);
    }
    return s;
}

std::string keyHeader(const std::string& user) {
    return "Velmorastra-Key: " + wire::keyHeaderValue(user, std::string(16, 'k')) + "\r\n";
}

std::string bearer(const std::string& token = Token) {
    return "Authorization: Bearer " + token + "\r\n";
}

size_t strokeLines(const std::string& body) {
    size_t count = 0;
    for (const auto line : wire::splitReplyLines(body)) {
        count += wire::classifyReplyLine(line).kind == wire::ReplyLineKind::Stroke;
    }
    return count;
}

class ModerationTest : public ::testing::Test {
protected:
    void SetUp() override { std::ofstream(token_file) << "  " << Token << "\n"; }

    std::unique_ptr<ServerProcess> startServer(bool with_token = true) {
        std::vector<std::string> extra;
        if (with_token) {
            extra = {"--admin-token-file", token_file};
        }
        auto server = std::make_unique<ServerProcess>(db, dir.file("server.log"), extra);
        EXPECT_TRUE(server->start()) << server->log();
        return server;
    }

    std::optional<testing::HttpReply> exchange(const std::string& request) {
        Connection connection(port);
        connection.send(request);
        return connection.read();
    }
    // The status of an admin request with the right token; its body in `body`.
    int admin(const std::string& method, const std::string& target, const std::string& form = "",
              std::string* body = nullptr) {
        const std::string type =
            form.empty() ? "" : "Content-Type: application/x-www-form-urlencoded\r\n";
        const auto reply =
            exchange(method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + bearer() + type +
                     "Content-Length: " + std::to_string(form.size()) + "\r\n\r\n" + form);
        if (body != nullptr) {
            *body = reply ? reply->body : "";
        }
        return reply ? reply->status : 0;
    }
    int command(const std::string& text, const std::string& key = "", std::string* body = nullptr) {
        const auto reply = exchange(postRequest("/", text, key));
        if (body != nullptr) {
            *body = reply ? reply->body : "";
        }
        return reply ? reply->status : 0;
    }
    size_t storedStrokes() {
        std::string body;
        command(wire::getStrokesCommand(Canvas), "", &body);
        return strokeLines(body);
    }

    testing::TempDir dir;
    std::string db = dir.file("canvas.sqlite"); // or a postgresql:// URI
    std::string token_file = dir.file("admin-token");
    int port = 0;
};

// The cases whose removals go through the store and its news, against both backends.
class ModerationOverHttpTest : public ModerationTest,
                               public ::testing::WithParamInterface<testing::Backend> {
protected:
    void SetUp() override {
        ModerationTest::SetUp();
        if (GetParam() == testing::Backend::Postgres) {
            cluster = std::make_unique<testing::PgCluster>();
            if (!cluster->running()) {
                GTEST_SKIP() << cluster->problem();
            }
            db = cluster->uri();
        }
    }
    std::unique_ptr<testing::PgCluster> cluster;
};

INSTANTIATE_TEST_SUITE_P(Backends, ModerationOverHttpTest,
                         ::testing::Values(testing::Backend::Sqlite, testing::Backend::Postgres),
                         testing::backendName);

TEST_F(ModerationTest, AdminRoutesAreThereOnlyWithTheTokenFileAndOnlyForTheToken) {
    {
        auto server = startServer(false);
        port = server->port();
        EXPECT_EQ(admin("GET", "/admin/canvases"), 404);
    }
    auto server = startServer();
    port = server->port();
    struct Case {
        std::string authorization;
        int status;
    };
    const Case cases[] = {
        {"", 401},
        {bearer("wrong-token-of-some-length"), 401},
        {bearer(std::string(Token) + "x"), 401},
        {"Authorization: Basic " + std::string(Token) + "\r\n", 401},
        {"Authorization: Bearer\r\n", 401},
        {bearer(), 200},
        {"Authorization: bearer   " + std::string(Token) + "\r\n", 200},
    };
    for (const Case& c : cases) {
        const auto reply = exchange(getRequest("/admin/canvases", c.authorization));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, c.status) << c.authorization;
        if (c.status == 401) {
            EXPECT_EQ(reply->headers.at("www-authenticate").rfind("Bearer", 0), 0u);
        }
    }
    // Unknown routes and methods, and malformed input, change nothing.
    EXPECT_EQ(admin("GET", "/admin/nothing"), 404);
    EXPECT_EQ(admin("POST", "/admin/canvases"), 405);
    EXPECT_EQ(admin("GET", "/admin/canvases?limit=0"), 400);
    EXPECT_EQ(admin("GET", "/admin/canvases?limit=1001"), 400);
    EXPECT_EQ(admin("GET", "/admin/canvases?after=%zz"), 400);
    EXPECT_EQ(admin("GET", "/admin/canvases/%zz/users"), 400);
    EXPECT_EQ(admin("GET", "/admin/canvases/a%20b/users"), 400);
    EXPECT_EQ(admin("GET", "/admin/canvases/" + std::string(Canvas) + "/remove"), 405);
    EXPECT_EQ(admin("POST", "/admin/canvases/" + std::string(Canvas) + "/remove-user", "x=1"), 400);
    EXPECT_EQ(admin("POST", "/admin/canvases/" + std::string(Canvas) + "/remove"), 404);
    EXPECT_EQ(admin("POST", "/admin/bans", "user=a&key=" + std::string(64, 'a')), 400);
    EXPECT_EQ(admin("POST", "/admin/bans", "key=abc"), 400);
    EXPECT_EQ(admin("POST", "/admin/bans", ""), 400);
    std::string bans;
    EXPECT_EQ(admin("GET", "/admin/bans", "", &bans), 200);
    EXPECT_EQ(bans, "");
    server->stop();

    // A token file that is missing or holds too short a token stops the start.
    const std::string out = dir.file("start.log");
    std::ofstream(dir.file("short")) << "short\n";
    for (const std::string& file : {dir.file("missing"), dir.file("short")}) {
        EXPECT_EQ(ServerProcess::runToEnd(
                      {"--listen", "127.0.0.1:0", "--db", db, "--admin-token-file", file}, out),
                  2);
    }
}

TEST_P(ModerationOverHttpTest, RemovalsReachEveryClientOfTheCanvasThroughTheDeleteNotice) {
    auto server = startServer();
    port = server->port();
    const std::string id = wire::percentEncode(Canvas);
    ASSERT_EQ(command(wire::appendCommand(Canvas, stroke("anna@1", 1)), keyHeader("anna@1")), 200);
    ASSERT_EQ(command(wire::appendCommand(Canvas, stroke("anna@1", 2)), keyHeader("anna@1")), 200);
    ASSERT_EQ(command(wire::appendCommand(Canvas, stroke("bob@1", 1))), 200);
    ASSERT_EQ(command(wire::appendCommand("other@1", stroke("bob@1", 1))), 200);
    std::string body;
    ASSERT_EQ(command(wire::appendCommand(Canvas, stroke("bob@1", 9, 0)), "", &body), 200);
    EXPECT_EQ(strokeLines(body), 0u); // bob is up to date

    EXPECT_EQ(admin("GET", "/admin/canvases", "", &body), 200);
    EXPECT_EQ(body.rfind(id + " 3 20", 0), 0u) << body;
    EXPECT_NE(body.find("\nother@1 1 20"), std::string::npos) << body;
    EXPECT_EQ(admin("GET", "/admin/canvases?limit=1&after=" + id, "", &body), 200);
    EXPECT_EQ(body.rfind("other@1 1 ", 0), 0u) << body;
    EXPECT_EQ(admin("GET", "/admin/canvases/" + id + "/users", "", &body), 200);
    EXPECT_EQ(body, "anna@1 2 " + sha256Hex(std::string(16, 'k')) + "\nbob@1 1 -\n");

    // Bob's stream hears of the removal at once, and his next poll brings the notice, on
    // which the app fetches the canvas again.
    RawStream stream(port, std::string(wire::EventsRoute) + Canvas);
    ASSERT_TRUE(stream.waitFor("event: ready")) << server->log();
    EXPECT_EQ(admin("POST", "/admin/canvases/" + id + "/remove-user", "user=anna%401", &body), 200);
    EXPECT_EQ(body, "removed 2 strokes of anna@1 from " + id + "\n");
    EXPECT_TRUE(stream.waitFor("event: delete"));
    ASSERT_EQ(command(wire::appendCommand(Canvas, stroke("bob@1", 9, 0)), "", &body), 200);
    EXPECT_EQ(body, std::string(Canvas) + ": delete: ");
    EXPECT_EQ(storedStrokes(), 1u);
    // The removed user is told as well, so that its own picture matches.
    ASSERT_EQ(
        command(wire::appendCommand(Canvas, stroke("anna@1", 9, 0)), keyHeader("anna@1"), &body),
        200);
    EXPECT_EQ(body.rfind(std::string(Canvas) + ": delete: ", 0), 0u) << body;

    // The whole canvas: it is unknown from then on, and its clients see it empty.
    EXPECT_EQ(admin("POST", "/admin/canvases/" + id + "/remove", "", &body), 200);
    EXPECT_EQ(body, "removed canvas " + id + " with 1 strokes\n");
    ASSERT_EQ(command(wire::appendCommand(Canvas, stroke("bob@1", 9, 0)), "", &body), 200);
    EXPECT_EQ(body, std::string(Canvas) + ": delete: ");
    EXPECT_EQ(storedStrokes(), 0u);
    EXPECT_EQ(exchange(getRequest("/render/" + id + ".png"))->status, 404);
    EXPECT_EQ(admin("POST", "/admin/canvases/" + id + "/remove"), 404);
    EXPECT_EQ(admin("GET", "/admin/canvases", "", &body), 200);
    EXPECT_EQ(body.rfind("other@1 1 ", 0), 0u) << body;
    // A new stroke on the same ID starts it again.
    ASSERT_EQ(command(wire::appendCommand(Canvas, stroke("bob@1", 10))), 200);
    EXPECT_EQ(storedStrokes(), 1u);

    server->stop();
    const std::string log = server->log();
    EXPECT_NE(log.find("admin remove-user canvas=" + id + " user=anna@1 strokes=2\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("admin remove-canvas canvas=" + id + " strokes=1\n"), std::string::npos);
    EXPECT_NE(log.find("\"POST /admin/canvases/" + id + "/remove\" 200 "), std::string::npos);
}

TEST_F(ModerationTest, ABanRefusesAppendsUntilLiftedAndOutlivesARestart) {
    auto server = startServer();
    port = server->port();
    const std::string key_hash = sha256Hex(std::string(16, 'k'));
    ASSERT_EQ(command(wire::appendCommand(Canvas, stroke("keyed@1", 1)), keyHeader("keyed@1")),
              200);
    EXPECT_EQ(admin("POST", "/admin/bans", "user=vandal%401"), 200);
    std::string body;
    EXPECT_EQ(admin("POST", "/admin/bans", "user=vandal@1", &body), 200);
    EXPECT_EQ(body, "already banned: user vandal@1\n");
    EXPECT_EQ(admin("POST", "/admin/bans", "key=" + key_hash), 200);
    EXPECT_EQ(admin("GET", "/admin/bans", "", &body), 200);
    EXPECT_EQ(body.rfind("user vandal@1 20", 0), 0u) << body;
    EXPECT_NE(body.find("\nkey " + key_hash + " 20"), std::string::npos) << body;

    const auto expectRefused = [&](bool refused) {
        EXPECT_EQ(command(wire::appendCommand(Canvas, stroke("vandal@1", 5))), refused ? 403 : 200);
        EXPECT_EQ(command(wire::appendCommand(Canvas, stroke("keyed@1", 5)), keyHeader("keyed@1")),
                  refused ? 403 : 200);
        // Reads go on: a banned user still sees the canvas.
        EXPECT_EQ(command(wire::appendCommand(Canvas, stroke("vandal@1", 6, 0))), 200);
        EXPECT_EQ(command(wire::appendCommand(Canvas, stroke("anna@1", 5))), 200);
    };
    expectRefused(true);
    EXPECT_EQ(storedStrokes(), 2u); // keyed@1's first and anna@1's
    // A key that does not match is a 403 too, and is counted apart from the bans.
    EXPECT_EQ(command(wire::appendCommand(Canvas, stroke("keyed@1", 7)),
                      "Velmorastra-Key: " + wire::keyHeaderValue("keyed@1", std::string(16, 'j')) +
                          "\r\n"),
              403);
    const auto counted = exchange(getRequest("/metrics"));
    ASSERT_TRUE(counted);
    const auto metrics = testing::readPrometheusText(counted->body);
    EXPECT_EQ(metrics.value("velmorastra_appends_refused_total{reason=\"banned\"}"), 2);
    EXPECT_EQ(metrics.value("velmorastra_appends_refused_total{reason=\"key_mismatch\"}"), 1);
    server->stop();
    std::string log = server->log();
    EXPECT_NE(log.find("ms \"this user name is banned\"\n"), std::string::npos) << log;
    EXPECT_NE(log.find("ms \"this key is banned\"\n"), std::string::npos) << log;
    EXPECT_NE(log.find("admin ban user=vandal@1\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("admin ban user=vandal@1\n"), log.rfind("admin ban user=vandal@1\n"));

    // The bans are in the database.
    server = startServer();
    port = server->port();
    expectRefused(true);
    EXPECT_EQ(admin("DELETE", "/admin/bans?user=vandal%401", "", &body), 200);
    EXPECT_EQ(body, "lifted the ban of user vandal@1\n");
    EXPECT_EQ(admin("POST", "/admin/bans/remove", "key=" + key_hash), 200);
    EXPECT_EQ(admin("POST", "/admin/bans/remove", "key=" + key_hash), 404);
    expectRefused(false);
    EXPECT_EQ(admin("GET", "/admin/bans", "", &body), 200);
    EXPECT_EQ(body, "");
    server->stop();
    log = server->log();
    EXPECT_NE(log.find("admin unban key=" + key_hash + "\n"), std::string::npos) << log;
}

} // namespace
} // namespace velmo::server
