#include "platform/qt/qt_event_stream.h"

#include "platform/qt/qt_wait.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using velmo::platform::qt::QtEventStream;
using velmo::testing::spinFor;
using velmo::testing::spinUntil;

namespace {

// The server's side of one stream, played by the test thread between spins of the event
// loop: it accepts the stream's connection, reads its request and sends what the test says.
class StreamServer {
public:
    StreamServer() {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 4);
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~StreamServer() {
        hangUp();
        close(listener);
    }

    std::string url(const std::string& path = "/events/a@1") const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }

    // Accepts the next connection and reads its request head; false if none comes in time.
    bool accept() {
        hangUp();
        if (!spinUntil(
                [&] {
                    return (client = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;
                },
                5000)) {
            return false;
        }
        request.clear();
        return spinUntil(
            [&] {
                char chunk[4096];
                const ssize_t n = recv(client, chunk, sizeof chunk, 0);
                if (n > 0) {
                    request.append(chunk, static_cast<size_t>(n));
                }
                return request.find("\r\n\r\n") != std::string::npos;
            },
            5000);
    }
    void send(const std::string& bytes) {
        ::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    // One chunk of a chunked body.
    void sendChunk(const std::string& data) {
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", data.size());
        send(size + data + "\r\n");
    }
    void sendHead(const std::string& type = "text/event-stream", int status = 200) {
        send("HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: " + type +
             "\r\nTransfer-Encoding: chunked\r\n\r\n");
    }
    // True once the client has closed its end.
    bool clientGone() {
        char byte;
        return recv(client, &byte, 1, 0) == 0;
    }
    void hangUp() {
        if (client >= 0) {
            close(client);
            client = -1;
        }
    }

    int listener = -1;
    int client = -1;
    int port = 0;
    std::string request;
};

struct Recorder {
    std::vector<std::pair<std::string, std::string>> events;
    int failures = 0;
    QtEventStream::EventHandler onEvent() {
        return [this](std::string_view type, std::string_view data) {
            events.emplace_back(type, data);
        };
    }
    QtEventStream::FailureHandler onFailure() {
        return [this] { ++failures; };
    }
};

using Events = std::vector<std::pair<std::string, std::string>>;

} // namespace

TEST(QtEventStream, ReadsEventsAsTheyArriveInPiecesOfAnySize) {
    StreamServer server;
    QtEventStream stream;
    Recorder recorder;
    stream.open(server.url(), recorder.onEvent(), recorder.onFailure());
    ASSERT_TRUE(server.accept());
    EXPECT_EQ(server.request.rfind("GET /events/a@1 HTTP/1.1\r\n", 0), 0u) << server.request;
    EXPECT_NE(server.request.find("Accept: text/event-stream\r\n"), std::string::npos);

    server.sendHead("text/event-stream; charset=utf-8");
    server.sendChunk("event: ready\ndata: 0\n\n:\n");
    ASSERT_TRUE(spinUntil([&] { return recorder.events.size() == 1; }, 5000));
    // An event cut in the middle of a line, its pieces a moment apart.
    server.sendChunk("event: app");
    spinFor(50);
    EXPECT_EQ(recorder.events.size(), 1u);
    server.sendChunk("end\r\ndata: 12");
    spinFor(50);
    server.sendChunk("3\r\n\r\nevent: delete\ndata: \n\n");
    ASSERT_TRUE(spinUntil([&] { return recorder.events.size() == 3; }, 5000));
    EXPECT_EQ(recorder.events, (Events{{"ready", "0"}, {"append", "123"}, {"delete", ""}}));
    EXPECT_EQ(recorder.failures, 0);

    // The server ends the stream: a failure, once, and nothing after it.
    server.send("0\r\n\r\n");
    server.hangUp();
    ASSERT_TRUE(spinUntil([&] { return recorder.failures == 1; }, 5000));
    spinFor(100);
    EXPECT_EQ(recorder.failures, 1);
    EXPECT_EQ(recorder.events.size(), 3u);
}

TEST(QtEventStream, SendsTheCallersHeadersWithTheRequest) {
    StreamServer server;
    QtEventStream stream;
    Recorder recorder;
    stream.open(server.url("/events/a@1?user=b%401"), {{"Velmorastra-Key", "b@1 secret"}},
                recorder.onEvent(), recorder.onFailure());
    ASSERT_TRUE(server.accept());
    EXPECT_EQ(server.request.rfind("GET /events/a@1?user=b%401 HTTP/1.1\r\n", 0), 0u)
        << server.request;
    EXPECT_NE(server.request.find("Velmorastra-Key: b@1 secret\r\n"), std::string::npos)
        << server.request;
    EXPECT_NE(server.request.find("Accept: text/event-stream\r\n"), std::string::npos);
}

TEST(QtEventStream, AnythingButAnEventStreamIsAFailure) {
    StreamServer server;
    QtEventStream stream;
    const struct {
        std::string head;
        std::string body;
    } answers[] = {
        {"HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n\r\n",
         "not found\n"},
        {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n\r\n", "data: x\n\n"},
        {"HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/\r\nContent-Length: 0\r\n\r\n", ""},
        {"HTTP/1.1 429 Too Many\r\nRetry-After: 60\r\nContent-Type: text/event-stream\r\n"
         "Content-Length: 9\r\n\r\n",
         "data: x\n\n"},
    };
    for (const auto& answer : answers) {
        Recorder recorder;
        stream.open(server.url(), recorder.onEvent(), recorder.onFailure());
        ASSERT_TRUE(server.accept());
        server.send(answer.head + answer.body);
        EXPECT_TRUE(spinUntil([&] { return recorder.failures == 1; }, 5000)) << answer.head;
        spinFor(50);
        EXPECT_EQ(recorder.failures, 1) << answer.head;
        EXPECT_TRUE(recorder.events.empty()) << answer.head;
    }

    // Nothing listening, or not an http URL: a failure too, never from inside open.
    for (const std::string& url : {std::string("http://127.0.0.1:1/events/a@1"),
                                   std::string("ftp://127.0.0.1/events/a@1"), std::string("")}) {
        Recorder recorder;
        stream.open(url, recorder.onEvent(), recorder.onFailure());
        EXPECT_EQ(recorder.failures, 0);
        EXPECT_TRUE(spinUntil([&] { return recorder.failures == 1; }, 5000)) << url;
    }
}

TEST(QtEventStream, ASilentStreamFailsButCommentsKeepItAlive) {
    StreamServer server;
    QtEventStream stream(0.4);
    Recorder recorder;
    stream.open(server.url(), recorder.onEvent(), recorder.onFailure());
    ASSERT_TRUE(server.accept());
    server.sendHead();
    for (int i = 0; i < 6; ++i) {
        spinFor(150);
        server.sendChunk(":\n");
    }
    EXPECT_EQ(recorder.failures, 0);
    EXPECT_TRUE(spinUntil([&] { return recorder.failures == 1; }, 3000));
    EXPECT_TRUE(spinUntil([&] { return server.clientGone(); }, 3000));
}

TEST(QtEventStream, ClosingOrReopeningEndsTheOldStreamWithoutAWord) {
    StreamServer server;
    Recorder first;
    Recorder second;
    {
        QtEventStream stream;
        stream.open(server.url("/events/one"), first.onEvent(), first.onFailure());
        ASSERT_TRUE(server.accept());
        server.sendHead();
        stream.open(server.url("/events/two"), second.onEvent(), second.onFailure());
        const int old_client = server.client;
        server.client = -1;
        ASSERT_TRUE(server.accept());
        EXPECT_NE(server.request.find("GET /events/two "), std::string::npos);
        server.sendHead();
        server.sendChunk("data: 2\n\n");
        ASSERT_TRUE(spinUntil([&] { return second.events.size() == 1; }, 5000));
        // The first connection was dropped, and its stream says nothing more.
        EXPECT_TRUE(spinUntil(
            [&] {
                char byte;
                return recv(old_client, &byte, 1, 0) == 0;
            },
            5000));
        close(old_client);

        stream.close();
        server.sendChunk("data: 3\n\n");
        EXPECT_TRUE(spinUntil([&] { return server.clientGone(); }, 5000));
        stream.close();
    }
    spinFor(50);
    EXPECT_EQ(first.events.size(), 0u);
    EXPECT_EQ(first.failures, 0);
    EXPECT_EQ(second.events, (Events{{"message", "2"}}));
    EXPECT_EQ(second.failures, 0);
}
