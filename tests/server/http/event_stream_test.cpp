#include "canvas/mw_stroke.h"
#include "support/server_process.h"
#include "wire/command_parser.h"
#include "wire/command_text.h"
#include "wire/key_header.h"
#include "wire/server_events.h"
#include "wire/stroke_progress.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace velmo::server {
namespace {

using namespace std::chrono_literals;
using testing::Clock;
using testing::Connection;
using testing::postRequest;
using testing::ServerProcess;

constexpr const char* CanvasA = "anna@20100704123456789";
constexpr const char* CanvasB = "bob@20100704123456789";

canvas::MWStroke stroke(int64_t client_time, int points = 2) {
    canvas::MWStroke s;
    s.client_time = client_time;
    s.user_name = "anna@20100704130000001";
    s.pen_properties = {static_cast<int32_t>(0xFF000000u), 2999, 128};
    for (int i = 0; i < points; ++i) {
        s.points_x.push_back(1000 * i);
        s.points_y.push_back(2000 * i);
    }
    return s;
}

// One event stream as a client reads it: the head, then the chunked body decoded and read as
// events. Comments are counted, since the parser passes over them.
class StreamClient {
public:
    struct Options {
        const char* from = "127.0.0.1"; // any loopback address, to be another client
        int receive_buffer = 0;         // 0: the system's
        bool http10 = false;
        std::string headers = {}; // further header lines, each ending in CR LF
    };

    StreamClient(int port, const std::string& target) : StreamClient(port, target, Options{}) {}
    StreamClient(int port, const std::string& target, Options options) : http10_(options.http10) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (options.receive_buffer > 0) {
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &options.receive_buffer,
                       sizeof options.receive_buffer);
        }
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, options.from, &local.sin_addr);
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return;
        }
        const std::string request =
            "GET " + target + (http10_ ? " HTTP/1.0\r\n" : " HTTP/1.1\r\nHost: 127.0.0.1\r\n") +
            "Accept: text/event-stream\r\n" + options.headers + "\r\n";
        ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
    }
    ~StreamClient() { close(fd_); }
    void send(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    StreamClient(const StreamClient&) = delete;
    StreamClient& operator=(const StreamClient&) = delete;

    // The status and head; 0 when none came.
    int status(std::chrono::milliseconds timeout = 5s) {
        const auto deadline = Clock::now() + timeout;
        while (head_.empty()) {
            const size_t end = raw_.find("\r\n\r\n");
            if (end != std::string::npos) {
                head_ = raw_.substr(0, end + 4);
                raw_.erase(0, end + 4);
                break;
            }
            if (!fill(deadline)) {
                return 0;
            }
        }
        return head_.size() > 12 ? std::stoi(head_.substr(9, 3)) : 0;
    }
    bool headHas(const std::string& line) { return head_.find(line + "\r\n") != std::string::npos; }
    const std::string& head() const { return head_; }

    // The next event within `timeout`.
    std::optional<wire::ServerEvent> next(std::chrono::milliseconds timeout = 5s) {
        const auto deadline = Clock::now() + timeout;
        if (status(timeout) == 0) {
            return std::nullopt;
        }
        while (events_.empty()) {
            decode();
            if (!events_.empty()) {
                break;
            }
            if (!fill(deadline)) {
                return std::nullopt;
            }
        }
        auto event = events_.front();
        events_.erase(events_.begin());
        return event;
    }
    // Reads for `duration`; the events that came.
    std::vector<wire::ServerEvent> readFor(std::chrono::milliseconds duration) {
        const auto deadline = Clock::now() + duration;
        while (fill(deadline)) {
            decode();
        }
        decode();
        return std::exchange(events_, {});
    }
    int comments() const { return comments_; }
    bool closed() const { return closed_; }
    // True when the server ends the stream within `timeout`; what it sends before is read.
    bool closedWithin(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (!closed_ && Clock::now() < deadline) {
            fill(deadline);
        }
        return closed_;
    }

private:
    bool fill(Clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || closed_) {
            return false;
        }
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char chunk[8192];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        raw_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    // Takes what is complete of the body and parses it.
    void decode() {
        if (head_.empty()) {
            return;
        }
        std::string body;
        if (http10_) {
            body = std::exchange(raw_, {});
        } else {
            while (true) {
                const size_t eol = raw_.find("\r\n");
                if (eol == std::string::npos) {
                    break;
                }
                const size_t size = std::stoul(raw_.substr(0, eol), nullptr, 16);
                if (raw_.size() < eol + 2 + size + 2) {
                    break;
                }
                body.append(raw_, eol + 2, size);
                raw_.erase(0, eol + 2 + size + 2);
            }
        }
        for (size_t at = 0; (at = body.find(wire::KeepAliveComment, at)) != std::string::npos;
             at += wire::KeepAliveComment.size()) {
            comments_ += at == 0 || body[at - 1] == '\n';
        }
        parser_.feed(body, [&](const wire::ServerEvent& e) { events_.push_back(e); });
    }

    int fd_ = -1;
    bool http10_ = false;
    bool closed_ = false;
    std::string raw_;
    std::string head_;
    wire::ServerEventParser parser_;
    std::vector<wire::ServerEvent> events_;
    int comments_ = 0;
};

class EventStreamTest : public ::testing::Test {
protected:
    std::unique_ptr<ServerProcess> startServer(std::vector<std::string> extra = {}) {
        auto server = std::make_unique<ServerProcess>(dir.file("canvas.sqlite"),
                                                      dir.file("server.log"), std::move(extra));
        EXPECT_TRUE(server->start()) << server->log();
        return server;
    }

    static std::string path(const std::string& canvas_id) {
        return std::string(wire::EventsRoute) + canvas_id;
    }

    // Sends the command and reads its reply on `connection`; the status.
    static int command(Connection& connection, const std::string& body) {
        connection.send(postRequest("/", body));
        const auto reply = connection.read();
        return reply ? reply->status : 0;
    }

    testing::TempDir dir;
};

// The key header line of a user: each user ID here has a key of its own.
std::string keyLine(const std::string& user) {
    std::string key(16, 'k');
    for (size_t i = 0; i < user.size(); ++i) {
        key[i % key.size()] = static_cast<char>(key[i % key.size()] ^ user[i]);
    }
    return std::string(wire::KeyHeaderName) + ": " + wire::keyHeaderValue(user, key) + "\r\n";
}

wire::StrokeProgress progressOf(const std::string& user, int64_t stroke, uint32_t from,
                                int points) {
    wire::StrokeProgress p;
    p.user_name = user;
    p.stroke = stroke;
    p.from = from;
    p.at = 1291201234567 + from;
    p.pen = canvas::defaultPen(wire::ServerPixelScale);
    p.layer = 1;
    for (int i = 0; i < points; ++i) {
        p.points_x.push_back(static_cast<int32_t>(100 * (from + i)));
        p.points_y.push_back(-static_cast<int32_t>(from + i));
    }
    return p;
}

std::string presencePath(const std::string& canvas_id, const std::string& user) {
    return wire::presenceStreamURL("", canvas_id, user);
}

// A stream that names its user, with the user's key.
StreamClient::Options as(const std::string& user, const char* from = "127.0.0.1") {
    return {.from = from, .headers = keyLine(user)};
}

std::vector<std::string> dataOf(const std::vector<wire::ServerEvent>& events,
                                const std::string& type) {
    std::vector<std::string> out;
    for (const auto& e : events) {
        if (e.type == type) {
            out.push_back(e.data);
        }
    }
    return out;
}

constexpr const char* Anna = "anna@20100704130000001";
constexpr const char* Bob = "bob@20100704130000002";
constexpr const char* Cleo = "cleo@20100704130000003";

int progressStatus(Connection& connection, const std::string& canvas_id,
                   const wire::StrokeProgress& progress, const std::string& headers) {
    connection.send(postRequest("/", wire::progressCommand(canvas_id, progress), headers));
    const auto reply = connection.read();
    return reply ? reply->status : 0;
}

TEST_F(EventStreamTest, AProgressReachesEveryOtherStreamOfItsCanvasAndNotTheDrawersOwn) {
    auto server = startServer();
    const int port = server->port();
    StreamClient own(port, presencePath(CanvasA, Anna), as(Anna));
    StreamClient bob(port, presencePath(CanvasA, Bob), as(Bob));
    StreamClient anonymous(port, path(CanvasA));
    StreamClient other(port, path(CanvasB));
    for (StreamClient* client : {&own, &bob, &anonymous, &other}) {
        ASSERT_EQ(client->status(), 200) << server->log();
        ASSERT_EQ(client->next()->type, "ready");
    }
    own.readFor(200ms);
    bob.readFor(200ms);
    anonymous.readFor(10ms);

    Connection drawer(port);
    const auto progress = progressOf(Anna, 1291201234000, 0, 3);
    const auto sent = Clock::now();
    drawer.send(postRequest("/", wire::progressCommand(CanvasA, progress), keyLine(Anna)));
    const auto reply = drawer.read();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 204);
    EXPECT_TRUE(reply->body.empty());
    for (StreamClient* client : {&bob, &anonymous}) {
        const auto event = client->next(2s);
        ASSERT_TRUE(event);
        EXPECT_EQ(event->type, "progress");
        EXPECT_EQ(event->data, wire::progressText(progress));
        EXPECT_EQ(wire::parseProgress(event->data, wire::ServerPixelScale), progress);
    }
    EXPECT_LT(Clock::now() - sent, 500ms);
    // A cancel goes the same way, right after (not held back as stroke news is).
    auto cancel = progressOf(Anna, 1291201234000, 0, 0);
    cancel.cancel = true;
    cancel.points_x.clear();
    cancel.points_y.clear();
    ASSERT_EQ(progressStatus(drawer, CanvasA, cancel, keyLine(Anna)), 204);
    const auto cancelled = bob.next(2s);
    ASSERT_TRUE(cancelled);
    EXPECT_EQ(cancelled->type, "progress");
    const auto read = wire::parseProgress(cancelled->data, wire::ServerPixelScale);
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->cancel);
    EXPECT_EQ(read->stroke, 1291201234000);
    EXPECT_TRUE(dataOf(own.readFor(300ms), "progress").empty());
    EXPECT_TRUE(other.readFor(10ms).empty());
    // Nothing was stored.
    Connection reader(port);
    reader.send(postRequest("/", wire::getStrokesCommand(CanvasA)));
    EXPECT_EQ(reader.read()->body, "");
}

TEST_F(EventStreamTest, ProgressAndPresenceClaimsNeedTheUsersKey) {
    auto server = startServer();
    const int port = server->port();
    Connection drawer(port);
    const auto progress = progressOf(Anna, 5, 0, 2);
    EXPECT_EQ(progressStatus(drawer, CanvasA, progress, ""), 403);
    EXPECT_EQ(progressStatus(drawer, CanvasA, progress, keyLine(Bob)), 403);
    // The first key binds the name; another key is refused from then on.
    EXPECT_EQ(progressStatus(drawer, CanvasA, progress, keyLine(Anna)), 204);
    const std::string wrong = std::string(wire::KeyHeaderName) + ": " +
                              wire::keyHeaderValue(Anna, std::string(16, 'x')) + "\r\n";
    EXPECT_EQ(progressStatus(drawer, CanvasA, progress, wrong), 403);
    drawer.send(postRequest("/",
                            std::string(CanvasA) + ": progress: user_name:" + Anna +
                                " stroke:5 from:0 at:1 points:",
                            keyLine(Anna)));
    EXPECT_EQ(drawer.read()->status, 400);
    drawer.send(postRequest("/", std::string(CanvasA) + ": progress: garbage", keyLine(Anna)));
    EXPECT_EQ(drawer.read()->status, 400);

    StreamClient unkeyed(port, presencePath(CanvasA, Anna));
    EXPECT_EQ(unkeyed.status(), 403);
    StreamClient wrong_key(port, presencePath(CanvasA, Anna), {.headers = wrong});
    EXPECT_EQ(wrong_key.status(), 403);
    StreamClient other_users_key(port, presencePath(CanvasA, Anna), as(Bob));
    EXPECT_EQ(other_users_key.status(), 403);
    StreamClient bad(port, path(CanvasA) + "?user=a%20b", as("a b"));
    EXPECT_EQ(bad.status(), 400);
    StreamClient undecodable(port, path(CanvasA) + "?user=%zz");
    EXPECT_EQ(undecodable.status(), 400);
    StreamClient keyed(port, presencePath(CanvasA, Anna), as(Anna));
    EXPECT_EQ(keyed.status(), 200);
    // A name's first key, bound by a stream.
    StreamClient first(port, presencePath(CanvasA, Cleo), as(Cleo));
    EXPECT_EQ(first.status(), 200);
    EXPECT_EQ(progressStatus(drawer, CanvasA, progressOf(Cleo, 1, 0, 1), wrong), 403);
}

TEST_F(EventStreamTest, ProgressIsLimitedPerUserByCountAndBytes) {
    auto server = startServer({"--progress-rate", "5", "--progress-burst", "5"});
    const int port = server->port();
    Connection drawer(port);
    int accepted = 0, refused = 0;
    for (int i = 0; i < 12; ++i) {
        drawer.send(postRequest(
            "/", wire::progressCommand(CanvasA, progressOf(Anna, 5, static_cast<uint32_t>(i), 1)),
            keyLine(Anna)));
        const auto reply = drawer.read();
        ASSERT_TRUE(reply);
        if (reply->status == 429) {
            ++refused;
            EXPECT_EQ(reply->headers.at("retry-after"), "1");
        } else {
            EXPECT_EQ(reply->status, 204);
            ++accepted;
        }
    }
    EXPECT_GE(accepted, 5);
    EXPECT_LE(accepted, 7);
    EXPECT_GE(refused, 5);
    // Another user has a bucket of its own.
    EXPECT_EQ(progressStatus(drawer, CanvasA, progressOf(Bob, 5, 0, 1), keyLine(Bob)), 204);
    server->stop();

    auto bytes = startServer({"--progress-kib-rate", "1", "--progress-kib-burst", "4"});
    Connection heavy(bytes->port());
    int sent = 0;
    int status = 204;
    while (status == 204 && sent < 100) {
        status = progressStatus(heavy, CanvasA, progressOf(Anna, 5, 0, 150), keyLine(Anna));
        sent += status == 204;
    }
    EXPECT_EQ(status, 429);
    EXPECT_GE(sent, 1);
    EXPECT_LE(sent, 4);
}

TEST_F(EventStreamTest, PresenceIsListedOnOpenAndJoinsAndLeavesAsStreamsComeAndGo) {
    auto server = startServer({"--max-present", "3"});
    const int port = server->port();
    auto anna = std::make_unique<StreamClient>(port, presencePath(CanvasA, Anna), as(Anna));
    ASSERT_EQ(anna->next()->type, "ready");
    EXPECT_EQ(dataOf(anna->readFor(300ms), "join"), std::vector<std::string>{Anna});

    auto bob = std::make_unique<StreamClient>(port, presencePath(CanvasA, Bob), as(Bob));
    ASSERT_EQ(bob->next()->type, "ready");
    EXPECT_EQ(dataOf(bob->readFor(300ms), "join"), (std::vector<std::string>{Anna, Bob}));
    EXPECT_EQ(dataOf(anna->readFor(300ms), "join"), std::vector<std::string>{Bob});

    // A second stream of a user: it is present once, and stays while either is open.
    auto bob2 = std::make_unique<StreamClient>(port, presencePath(CanvasA, Bob), as(Bob));
    ASSERT_EQ(bob2->next()->type, "ready");
    EXPECT_EQ(dataOf(bob2->readFor(300ms), "join"), (std::vector<std::string>{Anna, Bob}));
    StreamClient watcher(port, path(CanvasA));
    ASSERT_EQ(watcher.next()->type, "ready");
    EXPECT_EQ(dataOf(watcher.readFor(300ms), "join"), (std::vector<std::string>{Anna, Bob}));
    EXPECT_TRUE(anna->readFor(200ms).empty());
    bob.reset();
    EXPECT_TRUE(anna->readFor(300ms).empty());
    bob2.reset();
    EXPECT_EQ(dataOf(anna->readFor(500ms), "leave"), std::vector<std::string>{Bob});
    EXPECT_EQ(dataOf(watcher.readFor(300ms), "leave"), std::vector<std::string>{Bob});

    // Another canvas hears none of it.
    StreamClient elsewhere(port, presencePath(CanvasB, Cleo), as(Cleo));
    ASSERT_EQ(elsewhere.next()->type, "ready");
    EXPECT_EQ(dataOf(elsewhere.readFor(300ms), "join"), std::vector<std::string>{Cleo});
    EXPECT_TRUE(anna->readFor(200ms).empty());

    // At most three listed: a fourth user's stream is served, unlisted and unannounced.
    StreamClient cleo(port, presencePath(CanvasA, Cleo), as(Cleo));
    ASSERT_EQ(cleo.next()->type, "ready");
    StreamClient dan(port, presencePath(CanvasA, "dan@1"), as("dan@1"));
    ASSERT_EQ(dan.next()->type, "ready");
    StreamClient eve(port, presencePath(CanvasA, "eve@1"), as("eve@1"));
    ASSERT_EQ(eve.status(), 200);
    ASSERT_EQ(eve.next()->type, "ready");
    EXPECT_EQ(dataOf(eve.readFor(300ms), "join"), (std::vector<std::string>{Anna, Cleo, "dan@1"}));
    EXPECT_EQ(dataOf(anna->readFor(300ms), "join"), (std::vector<std::string>{Cleo, "dan@1"}));
    // It hears the canvas all the same.
    Connection drawer(port);
    ASSERT_EQ(progressStatus(drawer, CanvasA, progressOf(Anna, 9, 0, 2), keyLine(Anna)), 204);
    EXPECT_EQ(eve.next(2s)->type, "progress");
}

TEST_F(EventStreamTest, WithoutLiveDrawingProgressIs404AndUserIsIgnored) {
    auto server = startServer({"--no-live"});
    Connection drawer(server->port());
    drawer.send(
        postRequest("/", wire::progressCommand(CanvasA, progressOf(Anna, 1, 0, 1)), keyLine(Anna)));
    const auto reply = drawer.read();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 404);
    EXPECT_EQ(reply->body, "no live drawing here\n");
    StreamClient unkeyed(server->port(), presencePath(CanvasA, Anna));
    ASSERT_EQ(unkeyed.status(), 200);
    ASSERT_EQ(unkeyed.next()->type, "ready");
    EXPECT_TRUE(unkeyed.readFor(300ms).empty());
}

TEST_F(EventStreamTest, AStalledStreamHoldsABoundedPartOfAFloodOfProgress) {
    auto server = startServer({"--request-timeout", "3", "--no-limits"});
    const int port = server->port();
    StreamClient stalled(port, path(CanvasA), {.receive_buffer = 1});
    ASSERT_EQ(stalled.status(), 200);
    StreamClient reader(port, path(CanvasA));
    ASSERT_EQ(reader.next()->type, "ready");
    Connection drawer(port);
    // Many strokes, many points: far more than a stream holds.
    const auto deadline = Clock::now() + 30s;
    const std::string logged = "\"GET /events/" + std::string(CanvasA) + "\" 200 ";
    int64_t stroke = 0;
    size_t progress_seen = 0;
    while (server->log().find(logged) == std::string::npos && Clock::now() < deadline) {
        std::string batch;
        for (int i = 0; i < 50; ++i) {
            batch += postRequest(
                "/", wire::progressCommand(CanvasA, progressOf(Anna, ++stroke % 200, 0, 150)),
                keyLine(Anna));
        }
        drawer.send(batch);
        for (int i = 0; i < 50; ++i) {
            const auto reply = drawer.read();
            ASSERT_TRUE(reply) << server->log();
            ASSERT_EQ(reply->status, 204);
        }
        progress_seen += dataOf(reader.readFor(1ms), "progress").size();
    }
    const size_t at = server->log().find(logged);
    ASSERT_NE(at, std::string::npos) << "the stalled stream was never dropped";
    EXPECT_LT(std::stoul(server->log().substr(at + logged.size())), 1'000'000u);
    EXPECT_TRUE(stalled.closedWithin(5s));
    EXPECT_GT(progress_seen + dataOf(reader.readFor(300ms), "progress").size(), 0u);
    EXPECT_FALSE(reader.closed());
}

TEST_F(EventStreamTest, AnAppendOrDeleteWakesEveryStreamOfItsCanvasAndNoOther) {
    auto server = startServer();
    const int port = server->port();
    StreamClient a1(port, path(CanvasA));
    StreamClient a2(port, path(CanvasA), {.http10 = true});
    StreamClient b(port, path(CanvasB));
    for (StreamClient* client : {&a1, &a2, &b}) {
        ASSERT_EQ(client->status(), 200) << server->log();
        EXPECT_TRUE(client->headHas("Content-Type: text/event-stream"));
        EXPECT_TRUE(client->headHas("Cache-Control: no-cache"));
        const auto ready = client->next();
        ASSERT_TRUE(ready);
        EXPECT_EQ(*ready, (wire::ServerEvent{"ready", "0", ""}));
    }
    EXPECT_TRUE(a1.headHas("Transfer-Encoding: chunked"));
    EXPECT_TRUE(a2.headHas("Connection: close"));

    Connection writer(port);
    const auto sent = Clock::now();
    ASSERT_EQ(command(writer, wire::appendCommand(CanvasA, stroke(1))), 200);
    for (StreamClient* client : {&a1, &a2}) {
        const auto event = client->next(2s);
        ASSERT_TRUE(event);
        EXPECT_EQ(event->type, "append");
        EXPECT_TRUE(wire::eventStamp(event->data)) << event->data;
    }
    // Well under the poll's five seconds, on any machine.
    EXPECT_LT(Clock::now() - sent, 2s);
    ASSERT_EQ(command(writer, wire::deleteCommand(CanvasA, stroke(1))), 200);
    EXPECT_EQ(a1.next(2s)->type, "delete");
    EXPECT_EQ(a2.next(2s)->type, "delete");
    // A poll or a delete that removes nothing is no news, and canvas B heard nothing at all.
    ASSERT_EQ(command(writer, wire::appendCommand(CanvasA, stroke(2, 0))), 200);
    ASSERT_EQ(command(writer, wire::deleteCommand(CanvasA, stroke(7))), 200);
    EXPECT_TRUE(a1.readFor(300ms).empty());
    EXPECT_TRUE(b.readFor(10ms).empty());

    // A stream opened later starts from the canvas's newest stamp.
    ASSERT_EQ(command(writer, wire::appendCommand(CanvasA, stroke(3))), 200);
    const auto stamp = a1.next(2s);
    ASSERT_TRUE(stamp);
    StreamClient late(port, path(CanvasA));
    EXPECT_EQ(late.next()->data, stamp->data);

    // Refused as the other routes refuse, and the connection serves on.
    Connection other(port);
    other.send(testing::getRequest("/events/a%2") +
               postRequest("/events/" + std::string(CanvasA), "") +
               testing::getRequest("/events/"));
    EXPECT_EQ(other.read()->status, 400);
    EXPECT_EQ(other.read()->status, 405);
    EXPECT_EQ(other.read()->status, 400);
    EXPECT_EQ(server->stop(), 0);
    EXPECT_NE(server->log().find("\"GET /events/" + std::string(CanvasA) + "\" 200 "),
              std::string::npos);
}

TEST_F(EventStreamTest, ABurstOnOneCanvasIsPacedAndItsNewestStampArrives) {
    auto server = startServer();
    const int port = server->port();
    StreamClient watcher(port, path(CanvasA));
    ASSERT_TRUE(watcher.next());
    Connection writer(port);
    constexpr size_t Burst = 30;
    for (size_t i = 1; i <= Burst; ++i) {
        ASSERT_EQ(command(writer, wire::appendCommand(CanvasA, stroke(static_cast<int64_t>(i)))),
                  200);
    }
    const auto events = watcher.readFor(600ms);
    StreamClient late(port, path(CanvasA));
    const auto newest = late.next();
    ASSERT_TRUE(newest);
    ASSERT_FALSE(events.empty());
    EXPECT_LT(events.size(), Burst);
    EXPECT_EQ(events.back().data, newest->data);
}

TEST_F(EventStreamTest, StreamsAreBoundedPerAddressAndInAll) {
    auto server = startServer({"--max-streams-per-address", "2", "--max-streams", "3"});
    const int port = server->port();
    auto first = std::make_unique<StreamClient>(port, path(CanvasA));
    StreamClient second(port, path(CanvasB));
    ASSERT_EQ(first->status(), 200);
    ASSERT_EQ(second.status(), 200);
    StreamClient third(port, path(CanvasA));
    EXPECT_EQ(third.status(), 429);
    EXPECT_TRUE(third.headHas("Retry-After: 60"));

    StreamClient elsewhere(port, path(CanvasA), {.from = "127.0.0.2"});
    EXPECT_EQ(elsewhere.status(), 200);
    StreamClient full(port, path(CanvasA), {.from = "127.0.0.3"});
    EXPECT_EQ(full.status(), 503);

    // A stream whose client goes frees its place.
    first.reset();
    const auto deadline = Clock::now() + 5s;
    int status = 0;
    while (Clock::now() < deadline) {
        StreamClient again(port, path(CanvasA));
        status = again.status();
        if (status == 200) {
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(status, 200);
}

// A stream's request is already there when its connection is accepted: the readiness the
// poller reports for it may come after the request was read, and must not end the stream.
TEST_F(EventStreamTest, AStreamStaysOpenUntilItsClientClosesOrSendsBytes) {
    auto server = startServer({"--max-streams-per-address", "100"});
    for (int round = 0; round < 12; ++round) {
        std::vector<std::unique_ptr<StreamClient>> streams;
        for (int i = 0; i < 40; ++i) {
            streams.push_back(std::make_unique<StreamClient>(server->port(), path(CanvasA)));
        }
        for (auto& stream : streams) {
            ASSERT_TRUE(stream->next()) << "round " << round;
        }
        for (size_t i = 0; i < streams.size(); ++i) {
            streams[i]->readFor(i == 0 ? 50ms : 1ms);
            ASSERT_FALSE(streams[i]->closed()) << "round " << round << ", stream " << i;
        }
    }
    StreamClient talker(server->port(), path(CanvasA));
    ASSERT_TRUE(talker.next());
    talker.send("stray bytes\r\n");
    Connection writer(server->port());
    ASSERT_EQ(command(writer, wire::appendCommand(CanvasA, stroke(1))), 200);
    const auto event = talker.next(2s);
    ASSERT_TRUE(event) << "the stream was ended by its client's bytes";
    EXPECT_EQ(event->type, "append");
}

TEST_F(EventStreamTest, AnIdleStreamGetsCommentsAndOutlivesTheIdleTimeOut) {
    auto server = startServer({"--stream-keepalive", "0.2", "--idle-timeout", "0.3"});
    StreamClient stream(server->port(), path(CanvasA));
    ASSERT_TRUE(stream.next());
    Connection idle(server->port());
    const auto events = stream.readFor(1500ms);
    EXPECT_TRUE(events.empty());
    EXPECT_GE(stream.comments(), 4);
    EXPECT_LE(stream.comments(), 8);
    EXPECT_FALSE(stream.closed());
    EXPECT_TRUE(idle.closedWithin(100ms)) << "a keep-alive connection still closes when idle";
}

TEST_F(EventStreamTest, AClientThatNeverReadsIsDroppedAndCostsNoMoreThanOneEvent) {
    auto server = startServer({"--request-timeout", "2"});
    const int port = server->port();
    StreamClient stalled(port, path(CanvasA), {.receive_buffer = 1});
    ASSERT_EQ(stalled.status(), 200);
    StreamClient reader(port, path(CanvasA));
    ASSERT_EQ(reader.status(), 200);

    // Appends come much faster than the stalled client takes its events, until its stream
    // stops taking any: then it is dropped at the write time-out, logged with what it got.
    const std::string logged = "\"GET /events/" + std::string(CanvasA) + "\" 200 ";
    std::vector<std::unique_ptr<Connection>> writers;
    for (int i = 0; i < 4; ++i) {
        writers.push_back(std::make_unique<Connection>(port));
    }
    int64_t client_time = 0;
    const auto deadline = Clock::now() + 60s;
    while (server->log().find(logged) == std::string::npos && Clock::now() < deadline) {
        for (auto& writer : writers) {
            std::string batch;
            for (int i = 0; i < 50; ++i) {
                batch += postRequest("/", wire::appendCommand(CanvasA, stroke(++client_time)));
            }
            writer->send(batch);
        }
        for (auto& writer : writers) {
            for (int i = 0; i < 50; ++i) {
                ASSERT_TRUE(writer->read()) << server->log();
            }
        }
        reader.readFor(1ms);
    }
    const size_t at = server->log().find(logged);
    ASSERT_NE(at, std::string::npos) << "the stalled stream was never dropped";
    // It got only what fit into the socket's buffers before it stalled.
    const size_t sent = std::stoul(server->log().substr(at + logged.size()));
    EXPECT_LT(sent, 1'000'000u);
    std::printf("dropped after %zu bytes sent, %lld appends\n", sent,
                static_cast<long long>(client_time));
    EXPECT_TRUE(stalled.closedWithin(5s));
    // The reader goes on getting news.
    reader.readFor(300ms);
    Connection writer(port);
    ASSERT_EQ(command(writer, wire::appendCommand(CanvasA, stroke(++client_time))), 200);
    const auto event = reader.next(2s);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->type, "append");
    EXPECT_FALSE(reader.closed());
}

TEST_F(EventStreamTest, ShutdownClosesOpenStreamsAtOnce) {
    auto server = startServer();
    std::vector<std::unique_ptr<StreamClient>> streams;
    for (int i = 0; i < 20; ++i) {
        streams.push_back(std::make_unique<StreamClient>(server->port(), path(CanvasA)));
        ASSERT_TRUE(streams.back()->next());
    }
    const auto asked = Clock::now();
    EXPECT_EQ(server->stop(SIGTERM), 0);
    EXPECT_LT(Clock::now() - asked, 3s) << "streams are not requests in flight";
    for (auto& stream : streams) {
        EXPECT_TRUE(stream->closedWithin(1s));
    }
    EXPECT_NE(server->log().find("stopped"), std::string::npos);
}

} // namespace
} // namespace velmo::server
