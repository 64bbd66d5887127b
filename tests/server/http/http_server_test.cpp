#include "canvas/stroke_text.h"
#include "handler/limits.h"
#include "handler/request_handler.h"
#include "http/http_server.h"
#include "png/png_encoder.h"
#include "store/delivery_marks.h"
#include "store/sqlite/sqlite_store.h"
#include "support/backend.h"
#include "support/failing_store.h"
#include "support/json_line.h"
#include "support/pg_cluster.h"
#include "support/sanitized.h"
#include "support/server_process.h"
#include "wire/command_parser.h"
#include "wire/command_text.h"
#include "wire/key_header.h"
#include "wire/reply_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace velmo::server {
namespace {

using namespace std::chrono_literals;
using testing::Connection;
using testing::getRequest;
using testing::postRequest;
using testing::ServerProcess;

constexpr const char* Canvas = "anna@20100704123456789";

using testing::Sanitized;

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

// The request header by which a client proves `user`.
std::string keyHeader(const std::string& user, char secret = 'k') {
    return "Velmorastra-Key: " + wire::keyHeaderValue(user, std::string(16, secret)) + "\r\n";
}

int exchangeOnce(int port, const std::string& request) {
    Connection connection(port);
    connection.send(request);
    const auto reply = connection.read();
    return reply ? reply->status : 0;
}

size_t strokeLines(const std::string& body) {
    size_t count = 0;
    for (const auto line : wire::splitReplyLines(body)) {
        count += wire::classifyReplyLine(line).kind == wire::ReplyLineKind::Stroke;
    }
    return count;
}

class HttpServerTest : public ::testing::Test {
protected:
    std::unique_ptr<ServerProcess> startServer(std::vector<std::string> extra = {}) {
        auto server = std::make_unique<ServerProcess>(db, dir.file("server.log"), std::move(extra));
        EXPECT_TRUE(server->start()) << server->log();
        return server;
    }

    std::optional<testing::HttpReply> exchange(int port, const std::string& request) {
        Connection connection(port);
        EXPECT_TRUE(connection.connected());
        connection.send(request);
        return connection.read();
    }

    size_t storedStrokes(int port) {
        const auto reply = exchange(port, postRequest("/", wire::getStrokesCommand(Canvas)));
        return reply ? strokeLines(reply->body) : 0;
    }

    testing::TempDir dir;
    std::string db = dir.file("canvas.sqlite"); // or a postgresql:// URI
};

// The cases that concern storage, against both backends.
class StorageOverHttpTest : public HttpServerTest,
                            public ::testing::WithParamInterface<testing::Backend> {
protected:
    void SetUp() override {
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

INSTANTIATE_TEST_SUITE_P(Backends, StorageOverHttpTest,
                         ::testing::Values(testing::Backend::Sqlite, testing::Backend::Postgres),
                         testing::backendName);

TEST_P(StorageOverHttpTest, KeepAliveCarriesManyRequestsOnOneConnection) {
    auto server = startServer();
    Connection connection(server->port());
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(connection.send(
            postRequest("/", wire::appendCommand(Canvas, stroke("anna@1", i, i % 2 ? 0 : 3)))));
        const auto reply = connection.read();
        ASSERT_TRUE(reply) << "request " << i;
        EXPECT_EQ(reply->status, 200);
        EXPECT_EQ(reply->headers.at("content-type"), "text/plain; charset=utf-8");
    }
    // Two requests sent at once are answered in order.
    ASSERT_TRUE(connection.send(getRequest("/healthz") + getRequest("/nothing")));
    const auto healthy = connection.read();
    ASSERT_TRUE(healthy);
    EXPECT_EQ(healthy->status, 200);
    EXPECT_EQ(healthy->body, "ok\n");
    EXPECT_EQ(healthy->headers.at("content-length"), "3");
    EXPECT_EQ(healthy->headers.at("server"), "velmorastra-server");
    EXPECT_EQ(healthy->headers.count("connection"), 0u);
    EXPECT_EQ(connection.read()->status, 404);
    // A reply to HEAD announces its body without sending it, so the next reply starts where
    // the client expects it.
    ASSERT_TRUE(
        connection.send("HEAD /healthz HTTP/1.1\r\nHost: x\r\n\r\n" + getRequest("/healthz")));
    const auto head = connection.read(20s, true);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 405);
    EXPECT_NE(head->headers.at("content-length"), "0");
    const auto after = connection.read();
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, 200);
    EXPECT_EQ(after->body, "ok\n");
    EXPECT_EQ(storedStrokes(server->port()), 10u);
    EXPECT_EQ(server->stop(), 0);
}

TEST_P(StorageOverHttpTest, ALargeCanvasComesInPiecesOverOneConnection) {
    // Pages of 64 KiB; the canvas holds about ten of them.
    auto server = startServer({"--reply-budget-per-connection", "128", "--append-rate", "0"});
    Connection connection(server->port());
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(connection.send(
            postRequest("/", wire::appendCommand(Canvas, stroke("anna@1", i, 300)))));
        ASSERT_TRUE(connection.read());
    }
    // Chunked, and the connection serves the next request after the last chunk.
    ASSERT_TRUE(connection.send(postRequest("/", wire::getStrokesCommand(Canvas))));
    const auto reply = connection.read();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->headers.at("transfer-encoding"), "chunked");
    EXPECT_EQ(reply->headers.count("content-length"), 0u);
    EXPECT_GT(reply->chunks, 2);
    EXPECT_EQ(strokeLines(reply->body), 200u);
    EXPECT_EQ(reply->body.find("\n\n"), std::string::npos);
    ASSERT_TRUE(connection.send(getRequest("/healthz")));
    EXPECT_EQ(connection.read()->body, "ok\n");
    // HTTP/1.0 has no chunks: the body ends with the connection.
    const std::string body = wire::getStrokesCommand(Canvas);
    Connection old(server->port());
    old.send("POST / HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
             body);
    const auto whole = old.read();
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->headers.count("transfer-encoding"), 0u);
    EXPECT_EQ(whole->headers.at("connection"), "close");
    EXPECT_EQ(whole->body, reply->body);
    EXPECT_EQ(server->stop(), 0);
    // Logged once complete, with every byte of the body.
    EXPECT_NE(server->log().find("\"POST /\" 200 " + std::to_string(reply->body.size()) + " "),
              std::string::npos);
}

TEST_F(HttpServerTest, BodyOverTheLimitIsRefusedBeforeItIsRead) {
    auto server = startServer();
    {
        Connection connection(server->port());
        connection.send("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                        std::to_string(MaxCommandBody + 1) + "\r\n\r\n");
        const auto reply = connection.read();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 413);
        EXPECT_TRUE(connection.closedWithin(5s));
    }
    {
        Connection connection(server->port());
        connection.send("POST /upload.cgi HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                        std::to_string(MaxUploadBody + 1) + "\r\n\r\n");
        EXPECT_EQ(connection.read()->status, 413);
    }
    {
        // Chunked, so the size shows only while reading.
        Connection connection(server->port());
        connection.send("POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n");
        const std::string chunk(256 * 1024, 'a');
        char size_line[32];
        std::snprintf(size_line, sizeof size_line, "%zx\r\n", chunk.size());
        for (int i = 0; i < 5; ++i) {
            if (!connection.send(size_line + chunk + "\r\n")) {
                break;
            }
        }
        const auto reply = connection.read();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 413);
    }
    // A command body of exactly the limit is read (and refused as a command, not for size).
    const std::string body = std::string(Canvas) + ": get_strokes: " +
                             std::string(MaxCommandBody - std::strlen(Canvas) - 15, ' ');
    ASSERT_EQ(body.size(), MaxCommandBody);
    EXPECT_EQ(exchange(server->port(), postRequest("/", body))->status, 200);
    EXPECT_EQ(storedStrokes(server->port()), 0u);
    EXPECT_EQ(exchange(server->port(), getRequest("/healthz"))->status, 200);
}

TEST_F(HttpServerTest, SlowAndIdleConnectionsAreClosedWhileOthersAreServed) {
    auto server = startServer({"--request-timeout", "0.5", "--idle-timeout", "1"});
    Connection slow(server->port());
    slow.send("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\nonly part");
    Connection idle(server->port());
    Connection trickle(server->port());
    trickle.send("GET /heal");
    // Meanwhile the server answers others.
    EXPECT_EQ(exchange(server->port(), getRequest("/healthz"))->status, 200);
    const auto started = testing::Clock::now();
    EXPECT_TRUE(slow.closedWithin(5s));
    EXPECT_TRUE(trickle.closedWithin(5s));
    EXPECT_TRUE(idle.closedWithin(5s));
    EXPECT_LT(testing::Clock::now() - started, 4s);
    EXPECT_EQ(storedStrokes(server->port()), 0u);

    // A keep-alive connection that goes quiet after a request is closed too.
    Connection quiet(server->port());
    quiet.send(getRequest("/healthz"));
    EXPECT_EQ(quiet.read()->status, 200);
    EXPECT_TRUE(quiet.closedWithin(5s));
}

TEST_F(HttpServerTest, GarbageGetsAnErrorAndTheServerKeepsServing) {
    auto server = startServer();
    const std::string garbage[] = {
        std::string("\0\xff\xfe\x01\x02 garbage\r\n\r\n", 18),
        "GET\r\n\r\n",
        "GET / HTTP/9.9\r\n\r\n",
        "POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n",
        "POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello",
        "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
        "GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n",
        "GET / HTTP/1.1\r\nX: " + std::string(20000, 'b') + "\r\n\r\n",
    };
    for (const auto& bytes : garbage) {
        Connection connection(server->port());
        connection.send(bytes);
        const auto reply = connection.read(5s);
        if (reply) {
            EXPECT_GE(reply->status, 400) << bytes.substr(0, 40);
            EXPECT_LT(reply->status, 500) << bytes.substr(0, 40);
        }
        EXPECT_TRUE(connection.closedWithin(5s)) << bytes.substr(0, 40);
    }
    // Bytes that no parser should see as a command.
    for (int seed = 0; seed < 50; ++seed) {
        std::string body(static_cast<size_t>(seed * 37 % 500), '\0');
        for (size_t i = 0; i < body.size(); ++i) {
            body[i] = static_cast<char>((i * 7919 + static_cast<size_t>(seed) * 104729) % 256);
        }
        const auto reply = exchange(server->port(), postRequest("/", body));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 400);
    }
    EXPECT_EQ(exchange(server->port(), getRequest("/healthz"))->status, 200);
    EXPECT_FALSE(server->exited());
}

TEST_P(StorageOverHttpTest, RestartWithTheSameDatabaseKeepsEverything) {
    int64_t last_stamp = 0;
    {
        auto server = startServer();
        const auto reply =
            exchange(server->port(), postRequest("/", wire::appendCommand(Canvas, stroke("a@1", 1)),
                                                 keyHeader("a@1")));
        ASSERT_TRUE(reply);
        last_stamp = canvas::stroke_from_text(reply->body, wire::ServerPixelScale).server_time;
        exchange(server->port(),
                 postRequest("/", wire::updateThumbnailCommand(Canvas, "http://t.test/1.png"),
                             keyHeader("a@1")));
        EXPECT_EQ(server->stop(SIGTERM), 0);
        EXPECT_NE(server->log().find("stopped"), std::string::npos);
    }
    auto server = startServer();
    EXPECT_EQ(storedStrokes(server->port()), 1u);
    const auto search =
        exchange(server->port(), postRequest("/", wire::searchCanvasListCommand("x@1", "anna")));
    EXPECT_EQ(search->body, std::string(Canvas) + " http://t.test/1.png");
    // The key bound before the restart still holds.
    EXPECT_EQ(
        exchange(server->port(), postRequest("/", wire::appendCommand(Canvas, stroke("a@1", 2))))
            ->status,
        403);
    const auto next =
        exchange(server->port(),
                 postRequest("/", wire::appendCommand(Canvas, stroke("a@1", 2)), keyHeader("a@1")));
    const auto strokes = wire::splitReplyLines(next->body);
    EXPECT_GT(canvas::stroke_from_text(strokes.back(), wire::ServerPixelScale).server_time,
              last_stamp);
    EXPECT_EQ(server->stop(SIGINT), 0);
}

TEST_P(StorageOverHttpTest, CleanRestartKeepsDeliveryMarksAndOwedNotices) {
    {
        auto server = startServer();
        exchange(server->port(), postRequest("/", wire::appendCommand(Canvas, stroke("a@1", 1))));
        exchange(server->port(), postRequest("/", wire::appendCommand(Canvas, stroke("a@1", 2))));
        const auto bob = exchange(
            server->port(), postRequest("/", wire::appendCommand(Canvas, stroke("b@1", 9, 0))));
        EXPECT_EQ(strokeLines(bob->body), 2u);
        exchange(server->port(), postRequest("/", wire::deleteCommand(Canvas, stroke("a@1", 1))));
        EXPECT_EQ(server->stop(), 0);
    }
    auto server = startServer();
    const auto bob = exchange(server->port(),
                              postRequest("/", wire::appendCommand(Canvas, stroke("b@1", 9, 0))));
    ASSERT_TRUE(bob);
    EXPECT_EQ(bob->body, std::string(Canvas) + ": delete: "); // the notice, no resent strokes
}

TEST_P(StorageOverHttpTest, AcknowledgedAppendsSurviveKillNine) {
    int64_t last_stamp = 0;
    {
        auto server = startServer({"--quiet"});
        Connection connection(server->port());
        for (int i = 0; i < 50; ++i) {
            connection.send(postRequest("/", wire::appendCommand(Canvas, stroke("a@1", i))));
            const auto reply = connection.read();
            ASSERT_TRUE(reply);
            ASSERT_EQ(reply->status, 200);
            const auto lines = wire::splitReplyLines(reply->body);
            last_stamp = canvas::stroke_from_text(lines.back(), wire::ServerPixelScale).server_time;
        }
        // A stroke deleted before the crash stays deleted, wherever the appends were kept.
        connection.send(postRequest("/", wire::deleteCommand(Canvas, stroke("a@1", 7))));
        ASSERT_EQ(connection.read()->status, 200);
        connection.send(postRequest("/", wire::appendCommand(Canvas, stroke("a@1", 50))));
        ASSERT_EQ(connection.read()->status, 200);
        server->kill(SIGKILL);
    }
    auto server = startServer();
    EXPECT_EQ(storedStrokes(server->port()), 50u);
    const auto search =
        exchange(server->port(), postRequest("/", wire::searchCanvasListCommand("x@1", "anna")));
    EXPECT_EQ(search->body, std::string(Canvas) + " ");
    const auto next =
        exchange(server->port(), postRequest("/", wire::appendCommand(Canvas, stroke("a@1", 51))));
    const auto lines = wire::splitReplyLines(next->body);
    EXPECT_GT(canvas::stroke_from_text(lines.back(), wire::ServerPixelScale).server_time,
              last_stamp + 1);
}

TEST_P(StorageOverHttpTest, SigtermAnswersTheRequestInFlightThenExits) {
    auto server = startServer();
    Connection idle(server->port());
    Connection busy(server->port());
    const std::string request = postRequest("/", wire::appendCommand(Canvas, stroke("a@1", 1)));
    busy.send(request.substr(0, request.size() - 10));
    std::this_thread::sleep_for(200ms);
    server->kill(SIGTERM);
    EXPECT_TRUE(idle.closedWithin(5s));
    busy.send(request.substr(request.size() - 10));
    const auto reply = busy.read(5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->headers.at("connection"), "close");
    EXPECT_EQ(server->waitExit(), 0);
    auto again = startServer();
    EXPECT_EQ(storedStrokes(again->port()), 1u);
}

TEST_P(StorageOverHttpTest, UploadThroughTheSocketAndFetchTheImage) {
    auto server = startServer({"--public-url", "http://pictures.test/base"});
    // The 100-continue handshake some clients use before large bodies.
    Connection connection(server->port());
    connection.send("POST /upload.cgi HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; "
                    "boundary=B\r\nContent-Length: 10\r\nExpect: 100-continue\r\n\r\n");
    const auto interim = connection.read(5s);
    ASSERT_TRUE(interim);
    EXPECT_EQ(interim->status, 100);
    connection.send("0123456789");
    EXPECT_EQ(connection.read()->status, 400);

    const std::string png = *png::encodePng(canvas::Surface(320, 480, canvas::OpaqueWhite));
    const std::string b = "----BOUNDARYBOUNDARY----";
    const std::string form =
        "--" + b + "\r\ncontent-disposition: form-data; name=\"id\"\r\n\r\n20100304050607\r\n" +
        "--" + b + "\r\ncontent-disposition: form-data; name=\"version\"\r\n\r\n0.4\r\n" + "--" +
        b + "\r\ncontent-disposition: form-data; name=\"imagedata\"\r\n\r\n" + png + "\r\n--" + b +
        "--\r\n";
    const auto answer = exchange(
        server->port(), postRequest("/upload.cgi", form,
                                    "Content-type: multipart/form-data; boundary=" + b + "\r\n"));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    const std::string prefix = "http://pictures.test/base/images/";
    ASSERT_EQ(answer->body.substr(0, prefix.size()), prefix);
    const auto image =
        exchange(server->port(), getRequest("/images/" + answer->body.substr(prefix.size())));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->status, 200);
    EXPECT_EQ(image->headers.at("content-type"), "image/png");
    EXPECT_EQ(image->headers.at("x-content-type-options"), "nosniff");
    EXPECT_EQ(image->body, png);
}

TEST_F(HttpServerTest, RendersBeyondTheBoundAreAskedToComeBackWhileReadsGoOn) {
    auto server = startServer({"--max-renders", "0"});
    ASSERT_EQ(exchange(server->port(),
                       postRequest("/", wire::appendCommand(Canvas, stroke("anna@1", 1, 3))))
                  ->status,
              200);
    const auto render =
        exchange(server->port(), getRequest(std::string("/render/") + Canvas + ".png"));
    ASSERT_TRUE(render);
    EXPECT_EQ(render->status, 503);
    EXPECT_EQ(render->headers.at("retry-after"), "5");
    const auto layers =
        exchange(server->port(), getRequest(std::string("/layers/") + Canvas + ".png?w=4&h=6"));
    ASSERT_TRUE(layers);
    EXPECT_EQ(layers->status, 503);
    EXPECT_EQ(storedStrokes(server->port()), 1u);

    // Under the default bound the same render is answered.
    server.reset();
    server = startServer();
    const auto answered =
        exchange(server->port(), getRequest(std::string("/render/") + Canvas + ".png"));
    ASSERT_TRUE(answered);
    EXPECT_EQ(answered->status, 200);
    EXPECT_EQ(answered->headers.at("content-type"), "image/png");
}

// A browser revalidates a render it holds: the answer is a head alone, and the connection goes
// on with the next request.
TEST_F(HttpServerTest, ARenderNamedByItsETagIsAHeadAloneOnAConnectionThatGoesOn) {
    auto server = startServer();
    ASSERT_EQ(exchange(server->port(),
                       postRequest("/", wire::appendCommand(Canvas, stroke("anna@1", 1, 3))))
                  ->status,
              200);
    Connection connection(server->port());
    for (const std::string& target : {std::string("/render/") + Canvas + ".png",
                                      std::string("/layers/") + Canvas + ".png?w=40&h=60"}) {
        ASSERT_TRUE(connection.send(getRequest(target)));
        const auto first = connection.read();
        ASSERT_TRUE(first) << target;
        ASSERT_EQ(first->status, 200) << target;
        EXPECT_EQ(first->headers.at("cache-control"), "no-cache");
        const std::string etag = first->headers.at("etag");
        ASSERT_TRUE(connection.send(getRequest(target, "If-None-Match: " + etag + "\r\n") +
                                    getRequest("/healthz")));
        const auto again = connection.read();
        ASSERT_TRUE(again) << target;
        EXPECT_EQ(again->status, 304);
        EXPECT_EQ(again->headers.at("etag"), etag);
        EXPECT_EQ(again->headers.count("content-length"), 0u);
        EXPECT_EQ(again->headers.count("content-type"), 0u);
        const auto next = connection.read();
        ASSERT_TRUE(next) << target;
        EXPECT_EQ(next->status, 200);
        EXPECT_EQ(next->body, "ok\n");
    }
}

// Nobody asked for a render, yet the stroke is painted and kept beside the database, and the
// next start's first render is the one the last run would have given.
TEST_F(HttpServerTest, StrokesArePaintedAheadAndKeptBesideTheDatabaseForTheNextStart) {
    auto server = startServer();
    ASSERT_EQ(exchange(server->port(),
                       postRequest("/", wire::appendCommand(Canvas, stroke("anna@1", 1, 3))))
                  ->status,
              200);
    const std::filesystem::path folder = db + ".renders";
    const auto kept = [&folder] {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
            if (entry.path().string().ends_with("-320x480.layers")) {
                return true;
            }
        }
        return false;
    };
    for (int i = 0; i < 500 && !kept(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(kept());
    const std::string target = std::string("/render/") + Canvas + ".png";
    const auto before = exchange(server->port(), getRequest(target));
    ASSERT_TRUE(before);
    server.reset();
    server = startServer();
    const auto after = exchange(server->port(), getRequest(target));
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, 200);
    EXPECT_TRUE(after->body == before->body);
    EXPECT_EQ(after->headers.at("etag"), before->headers.at("etag"));

    // Without a folder nothing is written.
    server.reset();
    std::filesystem::remove_all(folder);
    server = startServer({"--render-folder", "none"});
    ASSERT_EQ(exchange(server->port(), getRequest(target))->status, 200);
    EXPECT_FALSE(std::filesystem::exists(folder));
}

TEST_F(HttpServerTest, KeysAreCheckedOnEveryPathAndRefusalsLogged) {
    auto server = startServer();
    const int port = server->port();
    const auto status = [&](const std::string& body, const std::string& key) {
        const auto reply = exchange(port, postRequest("/", body, key));
        return reply ? reply->status : 0;
    };
    // An append with points (answered once its flush is done), a poll (answered on the network
    // thread) and a delete (on a worker) all bind and check alike.
    EXPECT_EQ(status(wire::appendCommand(Canvas, stroke("a@1", 1)), keyHeader("a@1")), 200);
    EXPECT_EQ(status(wire::appendCommand(Canvas, stroke("a@1", 2)), ""), 403);
    EXPECT_EQ(status(wire::appendCommand(Canvas, stroke("a@1", 2)), keyHeader("a@1", 'x')), 403);
    EXPECT_EQ(status(wire::appendCommand(Canvas, stroke("a@1", 3, 0)), keyHeader("b@1")), 403);
    EXPECT_EQ(status(wire::deleteCommand(Canvas, stroke("a@1", 1)), ""), 403);
    EXPECT_EQ(status(wire::appendCommand(Canvas, stroke("a@1", 4, 0)), keyHeader("a@1")), 200);
    EXPECT_EQ(storedStrokes(port), 1u);
    EXPECT_EQ(status(wire::appendCommand(Canvas, stroke("b@1", 1)), ""), 200); // never bound
    EXPECT_EQ(status(wire::deleteCommand(Canvas, stroke("a@1", 1)), keyHeader("a@1")), 200);
    EXPECT_EQ(storedStrokes(port), 1u);
    server->stop();
    const std::string log = server->log();
    EXPECT_NE(log.find("\"POST /\" 403 39 "), std::string::npos) << log;
    EXPECT_NE(log.find("ms \"this user name is bound to another key\"\n"), std::string::npos)
        << log;
}

TEST_F(HttpServerTest, AccessLogHasOneLinePerRequestUnlessQuiet) {
    {
        auto server = startServer();
        exchange(server->port(), getRequest("/healthz"));
        exchange(server->port(), getRequest("/x\xc3\xa9\"y"));
        exchange(server->port(), "GET /\x01 HTTP/1.1\r\n\r\n");
        server->stop();
        const std::string log = server->log();
        EXPECT_NE(log.find("127.0.0.1 \"GET /healthz\" 200 3 "), std::string::npos) << log;
        EXPECT_NE(log.find("\"GET /x\\xc3\\xa9\\x22y\" 404"), std::string::npos) << log;
        EXPECT_NE(log.find("\"- -\" 400"), std::string::npos) << log;
    }
    auto quiet = startServer({"--quiet"});
    exchange(quiet->port(), getRequest("/healthz"));
    quiet->stop();
    EXPECT_EQ(quiet->log().find("GET /healthz"), std::string::npos);
}

TEST_F(HttpServerTest, JsonAccessLogLinesParseWhateverTheTarget) {
    auto server = startServer({"--log-format", "json"});
    exchange(server->port(), getRequest("/healthz?probe=1"));
    exchange(server->port(), getRequest("/x\xc3\xa9\"y\xff\\z"));
    exchange(server->port(), "GET /\x01 HTTP/1.1\r\n\r\n");
    exchange(server->port(), postRequest("/", "no command here"));
    server->stop();
    std::vector<std::map<std::string, std::string>> lines;
    std::istringstream log(server->log());
    for (std::string line; std::getline(log, line);) {
        if (line.rfind("velmorastra-server:", 0) == 0) {
            continue;
        }
        const auto fields = testing::JsonLine::read(line);
        ASSERT_TRUE(fields) << line;
        for (const char* name :
             {"time", "address", "method", "route", "status", "bytes", "duration_ms"}) {
            EXPECT_EQ(fields->count(name), 1u) << name << " in " << line;
        }
        lines.push_back(*fields);
    }
    ASSERT_EQ(lines.size(), 4u) << server->log();
    EXPECT_EQ(lines[0].at("route"), "/healthz");
    EXPECT_EQ(lines[0].at("status"), "200");
    EXPECT_EQ(lines[0].at("address"), "127.0.0.1");
    EXPECT_EQ(lines[1].at("route"), "/x\xc3\xa9\"y\xef\xbf\xbd\\z");
    EXPECT_EQ(lines[2].at("status"), "400");
    EXPECT_EQ(lines[3].at("method"), "POST");
    EXPECT_EQ(lines[3].at("status"), "400");
    EXPECT_FALSE(lines[3]["reason"].empty()) << server->log();
}

TEST_F(HttpServerTest, AFloodOfAppendsIsAnswered429WhileOtherUsersAreServed) {
    auto server = startServer({"--append-rate", "20", "--append-burst", "20"});
    std::atomic<bool> flooding{true};
    std::vector<int64_t> acknowledged;
    int refused = 0;
    std::thread flooder([&] {
        Connection connection(server->port());
        for (int i = 1; i <= 200; ++i) {
            connection.send(postRequest("/", wire::appendCommand(Canvas, stroke("anna@1", i))));
            const auto reply = connection.read();
            ASSERT_TRUE(reply) << "append " << i;
            if (reply->status == 200) {
                acknowledged.push_back(i);
            } else {
                ASSERT_EQ(reply->status, 429) << reply->body;
                EXPECT_EQ(reply->headers.count("retry-after"), 1u);
                ++refused;
            }
        }
        flooding = false;
    });
    // Another user's polls on their own connection are answered, promptly, all along.
    int polls = 0;
    {
        Connection connection(server->port());
        while (flooding || polls < 3) {
            const auto sent = testing::Clock::now();
            connection.send(postRequest("/", wire::appendCommand(Canvas, stroke("bob@1", 0, 0))));
            const auto reply = connection.read(5s);
            ASSERT_TRUE(reply);
            EXPECT_EQ(reply->status, 200);
            EXPECT_LT(testing::Clock::now() - sent, 1s);
            ++polls;
            std::this_thread::sleep_for(100ms);
        }
    }
    flooder.join();
    EXPECT_GT(refused, 0);
    EXPECT_GE(acknowledged.size(), 20u);
    // Every acknowledged append is stored, and nothing else.
    const auto all = exchange(server->port(), postRequest("/", wire::getStrokesCommand(Canvas)));
    ASSERT_TRUE(all);
    std::vector<int64_t> stored;
    for (const auto line : wire::splitReplyLines(all->body)) {
        stored.push_back(canvas::stroke_from_text(line, wire::ServerPixelScale).client_time);
    }
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(stored, acknowledged);
    server->stop();
    EXPECT_NE(server->log().find("\" 429 "), std::string::npos);
    EXPECT_NE(server->log().find("\"too many appends; try again in 1 s\""), std::string::npos);
}

TEST_F(HttpServerTest, ConnectionsOverTheLimitOfAnAddressAreRefusedAndClosed) {
    auto server = startServer({"--max-connections-per-address", "3"});
    std::vector<std::unique_ptr<Connection>> open;
    for (int i = 0; i < 3; ++i) {
        open.push_back(std::make_unique<Connection>(server->port()));
        open.back()->send(getRequest("/healthz"));
        ASSERT_EQ(open.back()->read()->status, 200);
    }
    {
        Connection over(server->port());
        over.send(getRequest("/healthz"));
        const auto reply = over.read();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 429);
        EXPECT_EQ(reply->body, "too many connections from this address\n");
        EXPECT_EQ(reply->headers.count("retry-after"), 1u);
        EXPECT_TRUE(over.closedWithin(5s));
    }
    // A connection that ends gives its place back.
    open.pop_back();
    bool served = false;
    for (int attempt = 0; attempt < 50 && !served; ++attempt) {
        Connection again(server->port());
        again.send(getRequest("/healthz"));
        const auto reply = again.read();
        served = reply && reply->status == 200;
        if (!served) {
            std::this_thread::sleep_for(100ms);
        }
    }
    EXPECT_TRUE(served);
    server->stop();
    EXPECT_NE(server->log().find("429 39 "), std::string::npos) << server->log();
    EXPECT_NE(server->log().find("\"too many connections from this address\""), std::string::npos);
}

TEST_F(HttpServerTest, ATrustedProxyIsNotBoundPerAddressAndSpeaksForTheClientsItNames) {
    auto server = startServer({"--max-connections-per-address", "1", "--append-burst", "1",
                               "--append-rate", "0.01", "--trusted-proxy", "127.0.0.1"});
    // Many connections from the proxy, each request counted by the client it forwards.
    std::vector<std::unique_ptr<Connection>> open;
    for (int i = 0; i < 3; ++i) {
        open.push_back(std::make_unique<Connection>(server->port()));
    }
    const auto from = [](const std::string& forwarded) {
        return "X-Forwarded-For: " + forwarded + "\r\n";
    };
    const auto append = [&](Connection& connection, int client_time, const std::string& header) {
        connection.send(
            postRequest("/", wire::appendCommand(Canvas, stroke("anna@1", client_time)), header));
        return connection.read()->status;
    };
    EXPECT_EQ(append(*open[0], 1, from("10.0.0.1")), 200);
    EXPECT_EQ(append(*open[1], 2, from("10.0.0.1")), 429) << "the same client, another connection";
    EXPECT_EQ(append(*open[2], 3, from("10.0.0.2")), 200);
    // Only the last address counts (the proxy's own word); a made-up one falls back to the
    // proxy's address.
    EXPECT_EQ(append(*open[2], 4, from("10.0.0.1, 10.0.0.3")), 200);
    EXPECT_EQ(append(*open[0], 5, from("10.0.0.3, not an address")), 200);
    EXPECT_EQ(append(*open[1], 6, from("10.0.0.4, <script>")), 429);
    server->stop();
    EXPECT_NE(server->log().find("10.0.0.2 "), std::string::npos) << server->log();
    EXPECT_EQ(server->log().find("<script>"), std::string::npos);
}

TEST_F(HttpServerTest, UnreadRepliesOfALargeCanvasStayWithinTheReplyBudget) {
    // 8 MiB for replies, 2 MiB a connection: four readers of the canvas at once at most.
    auto server = startServer({"--quiet", "--append-rate", "0", "--reply-budget", "8"});
    constexpr int Strokes = 250;
    {
        Connection connection(server->port());
        for (int i = 0; i < Strokes; ++i) {
            connection.send(
                postRequest("/", wire::appendCommand(Canvas, stroke("anna@1", i + 1, 6000))));
            ASSERT_EQ(connection.read()->status, 200);
        }
    }
    const auto whole = exchange(server->port(), postRequest("/", wire::getStrokesCommand(Canvas)));
    ASSERT_TRUE(whole);
    ASSERT_GT(whole->body.size(), 20u << 20);
    const int64_t before = server->residentKiB();
    constexpr int Readers = 100;
    std::vector<std::unique_ptr<Connection>> readers;
    for (int i = 0; i < Readers; ++i) {
        readers.push_back(std::make_unique<Connection>(server->port()));
        readers.back()->send(postRequest("/", wire::getStrokesCommand(Canvas)));
    }
    int64_t highest = 0;
    for (int sample = 0; sample < 20; ++sample) {
        std::this_thread::sleep_for(100ms);
        highest = std::max(highest, server->residentKiB());
    }
    // Unbounded, each reader held a page or more: about 300 MiB more.
    if (!Sanitized) {
        EXPECT_LT(highest - before, 64 * 1024)
            << "KiB before " << before << ", highest " << highest;
    }
    int busy = 0;
    int complete = 0;
    for (const auto& reader : readers) {
        const auto reply = reader->read(60s);
        ASSERT_TRUE(reply);
        if (reply->status == 503) {
            EXPECT_EQ(reply->body, "server busy: too many replies in flight\n");
            EXPECT_EQ(reply->headers.count("retry-after"), 1u);
            ++busy;
        } else {
            ASSERT_EQ(reply->status, 200);
            EXPECT_EQ(reply->body, whole->body);
            ++complete;
        }
    }
    EXPECT_GE(complete, 1);
    EXPECT_LE(complete, 4);
    EXPECT_EQ(busy + complete, Readers);
    // The budget is given back once the replies are taken.
    EXPECT_EQ(exchange(server->port(), postRequest("/", wire::getStrokesCommand(Canvas)))->body,
              whole->body);
}

// A script may stop the server the moment it says it listens.
TEST_F(HttpServerTest, ASignalRightAfterTheListeningLineStopsTheServerCleanly) {
    for (int i = 0; i < 15; ++i) {
        ServerProcess server(dir.file("canvas.sqlite"), dir.file("server.log"));
        ASSERT_TRUE(server.start()) << server.log();
        ASSERT_EQ(server.stop(i % 2 == 0 ? SIGTERM : SIGINT), 0) << "start " << i;
        EXPECT_NE(server.log().find("stopped"), std::string::npos) << server.log();
    }
}

// Binding a name's first key is a durable write: on a slow disk it must not hold up the
// network thread, which answers everyone else meanwhile.
TEST(HttpServerInProcess, ANamesFirstKeyIsBoundWhileTheNetworkThreadServesOthers) {
    testing::TempDir dir;
    std::string error;
    auto inner = SqliteStore::open(dir.file("canvas.sqlite"), &error);
    ASSERT_TRUE(inner) << error;
    testing::FailingStore store(*inner);
    DeliveryMarks marks;
    HandlerContext context{store, marks, "http://canvas.test/"};
    ServerOptions options;
    options.port = 0;
    options.threads = 1;
    options.access_log = false;
    HttpServer server(options, context);
    ASSERT_TRUE(server.listen(&error)) << error;
    std::thread runner([&] { server.run(); });
    const int port = server.port();

    store.hold_bindings = true;
    Connection append(port);
    append.send(
        postRequest("/", wire::appendCommand(Canvas, stroke("new@1", 1)), keyHeader("new@1")));
    Connection poll(port);
    poll.send(postRequest("/", wire::appendCommand(Canvas, stroke("newer@2", 2, 0)),
                          keyHeader("newer@2")));
    for (int i = 0; i < 10000 && store.bindings_held < 2; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    const int held = store.bindings_held;
    Connection health(port);
    health.send(getRequest("/healthz"));
    const auto healthy = health.read(5s);
    store.hold_bindings = false;
    EXPECT_EQ(held, 2);
    ASSERT_TRUE(healthy);
    EXPECT_EQ(healthy->status, 200);
    const auto appended = append.read();
    ASSERT_TRUE(appended);
    EXPECT_EQ(appended->status, 200) << appended->body;
    const auto polled = poll.read();
    ASSERT_TRUE(polled);
    EXPECT_EQ(polled->status, 200) << polled->body;
    // Bound now: the names are checked from memory, and a stranger's key is refused.
    EXPECT_EQ(exchangeOnce(port, postRequest("/", wire::appendCommand(Canvas, stroke("new@1", 3)),
                                             keyHeader("new@1", 'x'))),
              403);
    server.stop();
    runner.join();
}

TEST_F(HttpServerTest, BusyPortAndUnusableDatabaseAreClearErrors) {
    auto server = startServer();
    const std::string out = dir.file("second.log");
    const int status = ServerProcess::runToEnd(
        {"--listen", "127.0.0.1:" + std::to_string(server->port()), "--db", dir.file("b.sqlite")},
        out);
    EXPECT_EQ(status, 1);
    ServerProcess reader(dir.file("x"), out);
    EXPECT_NE(reader.log().find("cannot listen on 127.0.0.1:"), std::string::npos) << reader.log();

    EXPECT_EQ(ServerProcess::runToEnd(
                  {"--listen", "127.0.0.1:0", "--db", dir.file("no/such/dir/db.sqlite")}, out),
              1);
    EXPECT_NE(reader.log().find("cannot open the database"), std::string::npos) << reader.log();

    // The running server's database: a second server on it would overwrite its journal.
    EXPECT_EQ(ServerProcess::runToEnd(
                  {"--listen", "127.0.0.1:0", "--db", dir.file("canvas.sqlite")}, out),
              1);
    EXPECT_NE(reader.log().find("another velmorastra-server uses the database"), std::string::npos)
        << reader.log();
    EXPECT_EQ(exchange(server->port(), getRequest("/healthz"))->status, 200);

    EXPECT_EQ(ServerProcess::runToEnd({"--bogus"}, out), 2);
    EXPECT_NE(reader.log().find("unknown option --bogus"), std::string::npos);
}

// The page names its files; a browser takes each with the type and bytes it was given, on
// the connection that brought the page.
TEST_F(HttpServerTest, TheBrowserPageAndTheFilesItNamesAreServedFromTheWebFolder) {
    const std::filesystem::path web = dir.path() / "web";
    std::filesystem::create_directory(web);
    const auto write = [&](const char* name, const std::string& bytes) {
        std::ofstream(web / name, std::ios::binary) << bytes;
    };
    std::string wasm = std::string("\0asm\x01\0\0\0", 8);
    // Large enough to take many writes; every byte value.
    for (int i = 0; wasm.size() < (3u << 20); ++i) {
        wasm += static_cast<char>((i * 131 + (i >> 9)) & 0xFF);
    }
    write("draw.html",
          "<title>{{CANVAS_ID}}</title>\n{{STYLE_URL}}\n{{SCRIPT_URL}}\n{{WASM_URL}}\n");
    write("draw.css", "body{}");
    write("velmorastra-web.js", "export {};");
    write("velmorastra-web.wasm", wasm);
    auto server = startServer({"--web-folder", web.string()});
    Connection connection(server->port());
    ASSERT_TRUE(connection.send(getRequest("/draw/a%3C%22%26@20100704123456789")));
    const auto page = connection.read();
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->headers.at("content-type"), "text/html; charset=utf-8");
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = page->body.find('\n', start)) != std::string::npos;
         start = end + 1) {
        lines.push_back(page->body.substr(start, end - start));
    }
    ASSERT_EQ(lines.size(), 4u) << page->body;
    EXPECT_EQ(lines[0], "<title>a&lt;&quot;&amp;@20100704123456789</title>");
    const struct {
        std::string url;
        std::string type;
        std::string bytes;
    } files[] = {
        {lines[1], "text/css; charset=utf-8", "body{}"},
        {lines[2], "text/javascript; charset=utf-8", "export {};"},
        {lines[3], "application/wasm", wasm},
    };
    for (const auto& file : files) {
        ASSERT_TRUE(connection.send(getRequest(file.url)));
        const auto reply = connection.read();
        ASSERT_TRUE(reply) << file.url;
        EXPECT_EQ(reply->status, 200) << file.url;
        EXPECT_EQ(reply->headers.at("content-type"), file.type);
        EXPECT_EQ(reply->headers.at("cache-control"), "public, max-age=31536000, immutable");
        EXPECT_TRUE(reply->body == file.bytes) << file.url << ": " << reply->body.size();
    }
    // An older build's name, a plain name and a bad canvas ID are answered on the same
    // connection, which goes on.
    std::string old_name = files[2].url;
    old_name[old_name.size() - 6] = old_name[old_name.size() - 6] == '0' ? '1' : '0';
    ASSERT_TRUE(connection.send(getRequest(old_name) + getRequest("/web/velmorastra-web.wasm") +
                                getRequest("/draw/a%20b") + getRequest("/healthz")));
    for (const int status : {404, 404, 400, 200}) {
        const auto reply = connection.read();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, status);
    }
    EXPECT_EQ(server->stop(), 0);
    // The access log counts the module's bytes, sent from memory.
    EXPECT_NE(server->log().find(" 200 " + std::to_string(wasm.size()) + " "), std::string::npos);

    // Without the files, or with one over the bound, the server runs without the page and says
    // why once.
    std::filesystem::resize_file(web / "velmorastra-web.wasm", (32u << 20) + 1);
    for (const std::string& folder : {std::string(), web.string(), dir.file("nowhere")}) {
        auto without = startServer({"--web-folder", folder});
        const auto missing = exchange(without->port(), getRequest("/draw/anna@1"));
        ASSERT_TRUE(missing);
        EXPECT_EQ(missing->status, 404) << folder;
        EXPECT_NE(missing->body.find("not installed"), std::string::npos);
        EXPECT_EQ(exchange(without->port(), getRequest(files[1].url))->status, 404);
        EXPECT_EQ(exchange(without->port(), getRequest("/healthz"))->status, 200);
        EXPECT_EQ(without->stop(), 0);
        const std::string log = without->log();
        EXPECT_EQ(log.find("no browser page") != std::string::npos, !folder.empty()) << log;
        if (folder == web.string()) {
            EXPECT_NE(log.find("velmorastra-web.wasm: larger than 32 MiB"), std::string::npos)
                << log;
        }
    }
}

TEST_F(HttpServerTest, HelpNamesEveryOption) {
    const std::string out = dir.file("help.txt");
    EXPECT_EQ(ServerProcess::runToEnd({"--help"}, out), 0);
    ServerProcess reader(dir.file("x"), out);
    const std::string help = reader.log();
    for (const char* option : {"--listen",
                               "--db",
                               "--public-url",
                               "--threads",
                               "--worker-threads",
                               "--idle-timeout",
                               "--request-timeout",
                               "--stream-keepalive",
                               "--max-streams",
                               "--max-streams-per-address",
                               "--max-renders",
                               "--render-cache-mb",
                               "--render-folder",
                               "--web-folder",
                               "--admin-token-file",
                               "--append-rate",
                               "--append-burst",
                               "--poll-rate",
                               "--poll-burst",
                               "--upload-rate",
                               "--upload-burst",
                               "--upload-kib-rate",
                               "--upload-mib-burst",
                               "--max-canvas-strokes",
                               "--max-canvas-mib",
                               "--max-connections-per-address",
                               "--reply-budget",
                               "--reply-budget-per-connection",
                               "--no-limits",
                               "--quiet",
                               "--help",
                               "127.0.0.1:8640",
                               ".local/share/velmorastra/server.sqlite",
                               "FILE-strokes"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
}

} // namespace
} // namespace velmo::server
