#include "platform/qt/qt_http_exchange.h"

#include "platform/qt/loopback_http_server.h"
#include "platform/qt/qt_wait.h"

#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

using velmo::platform::HttpCallbacks;
using velmo::platform::HttpRequest;
using velmo::platform::qt::QtHttpExchange;
using velmo::testing::LoopbackHttpServer;
using velmo::testing::spinFor;
using velmo::testing::spinUntil;

namespace {

struct Outcome {
    std::string body;
    int finished = 0;
    int failed = 0;
    velmo::platform::HttpStatus status;
    bool done() const { return finished + failed > 0; }
};

HttpCallbacks recordInto(const std::shared_ptr<Outcome>& outcome) {
    HttpCallbacks callbacks;
    callbacks.received = [outcome](std::string_view bytes) { outcome->body.append(bytes); };
    callbacks.finished = [outcome](const velmo::platform::HttpStatus& status) {
        ++outcome->finished;
        outcome->status = status;
    };
    callbacks.failed = [outcome] { ++outcome->failed; };
    return callbacks;
}

HttpRequest post(const std::string& url, std::string body, double timeout = 10.0) {
    HttpRequest request;
    request.url = url;
    request.body = std::move(body);
    request.timeout_seconds = timeout;
    return request;
}

// A loopback port that nothing listens on.
int closedPort() {
    auto server = std::make_unique<LoopbackHttpServer>();
    const int port = server->port();
    server.reset();
    return port;
}

} // namespace

TEST(QtHttpExchange, PostsTheBodyAndReportsTheAnswerLater) {
    LoopbackHttpServer server;
    server.setAnswer(200, "c@1: append: line one\nc@1: append: line two\n");
    QtHttpExchange http;
    auto outcome = std::make_shared<Outcome>();
    http.send(post(server.url(), "c@1: append: 1 2 3"), recordInto(outcome));
    EXPECT_FALSE(outcome->done()) << "no callback may come from inside send";

    ASSERT_TRUE(spinUntil([&] { return outcome->done(); }, 5000));
    EXPECT_EQ(outcome->finished, 1);
    EXPECT_EQ(outcome->failed, 0);
    EXPECT_EQ(outcome->body, "c@1: append: line one\nc@1: append: line two\n");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].head.rfind("POST / HTTP/1.1", 0), 0u) << requests[0].head;
    EXPECT_EQ(requests[0].body, "c@1: append: 1 2 3");
    spinFor(50);
    EXPECT_EQ(outcome->finished, 1) << "exactly one end";
}

TEST(QtHttpExchange, ReportsEveryStatusWithItsRetryAfterAndFollowsNoRedirect) {
    const struct {
        int status;
        std::string headers;
        std::optional<double> retry_after;
    } cases[] = {
        {200, "", std::nullopt},
        {400, "", std::nullopt},
        {429, "Retry-After: 7\r\n", 7.0},
        {503, "Retry-After: 0\r\n", 0.0},
        {503, "Retry-After: Fri, 31 Dec 1999 23:59:59 GMT\r\n", std::nullopt},
        {503, "Retry-After: -3\r\n", std::nullopt},
        {302, "Location: /elsewhere\r\n", std::nullopt},
        {307, "Location: /elsewhere\r\n", std::nullopt},
    };
    for (const auto& c : cases) {
        LoopbackHttpServer server;
        server.setAnswer(c.status, "the body", {}, c.headers);
        QtHttpExchange http;
        auto outcome = std::make_shared<Outcome>();
        http.send(post(server.url(), "x"), recordInto(outcome));
        ASSERT_TRUE(spinUntil([&] { return outcome->done(); }, 5000)) << c.status;
        EXPECT_EQ(outcome->finished, 1) << c.status;
        EXPECT_EQ(outcome->body, "the body") << c.status;
        EXPECT_EQ(outcome->status.code, c.status);
        EXPECT_EQ(outcome->status.retry_after, c.retry_after) << c.headers;

        const auto answer = http.sendSynchronously(post(server.url(), "y"));
        ASSERT_TRUE(answer.has_value()) << c.status;
        EXPECT_EQ(answer->status.code, c.status);
        EXPECT_EQ(answer->status.retry_after, c.retry_after) << c.headers;
        EXPECT_EQ(answer->body, "the body");
        // Only the two requests sent: a redirect is reported, never followed.
        EXPECT_EQ(server.requests().size(), 2u) << c.status;
    }
}

TEST(QtHttpExchange, ARefusedConnectionFails) {
    QtHttpExchange http;
    auto outcome = std::make_shared<Outcome>();
    http.send(post("http://127.0.0.1:" + std::to_string(closedPort()) + "/", "x"),
              recordInto(outcome));
    ASSERT_TRUE(spinUntil([&] { return outcome->done(); }, 5000));
    EXPECT_EQ(outcome->failed, 1);
    EXPECT_EQ(outcome->finished, 0);
}

TEST(QtHttpExchange, ASilentServerFailsAtTheTimeOut) {
    LoopbackHttpServer server;
    server.setSilent();
    QtHttpExchange http;
    auto outcome = std::make_shared<Outcome>();
    QElapsedTimer clock;
    clock.start();
    http.send(post(server.url(), "x", 0.3), recordInto(outcome));
    ASSERT_TRUE(spinUntil([&] { return outcome->done(); }, 5000));
    EXPECT_EQ(outcome->failed, 1);
    EXPECT_GE(clock.elapsed(), 250);
    EXPECT_LT(clock.elapsed(), 3000);
}

TEST(QtHttpExchange, FetchesOnlyHttpUrls) {
    QtHttpExchange http;
    for (const std::string url : {"file:///etc/hostname", "ftp://127.0.0.1/x", "not a url", ""}) {
        auto outcome = std::make_shared<Outcome>();
        http.send(post(url, "x"), recordInto(outcome));
        EXPECT_FALSE(outcome->done());
        ASSERT_TRUE(spinUntil([&] { return outcome->done(); }, 2000)) << url;
        EXPECT_EQ(outcome->failed, 1) << url;
        EXPECT_TRUE(outcome->body.empty()) << url;
        EXPECT_FALSE(http.sendSynchronously(post(url, "x")).has_value()) << url;
    }
}

TEST(QtHttpExchange, SendsTheCallersHeadersButCountsTheBodyItself) {
    LoopbackHttpServer server;
    server.setAnswer(200, "https://example.invalid/x.png");
    QtHttpExchange http;
    HttpRequest request = post(server.url("/upload.cgi"), "--b\r\ndata\r\n--b--\r\n");
    request.headers = {{"Content-Length", "999"},
                       {"Content-type", "multipart/form-data; boundary=b"}};
    const auto answer = http.sendSynchronously(request);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->body, "https://example.invalid/x.png");
    EXPECT_EQ(answer->status.code, 200);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].head.find("multipart/form-data; boundary=b"), std::string::npos);
    EXPECT_NE(requests[0].head.find("ontent-Length: 18"), std::string::npos) << requests[0].head;
    EXPECT_EQ(requests[0].head.find("999"), std::string::npos);
}

TEST(QtHttpExchange, ASynchronousExchangeBlocksWithoutRunningTimersOrEvents) {
    LoopbackHttpServer server;
    server.setAnswer(200, "all strokes", std::chrono::milliseconds(300));
    QtHttpExchange http;
    bool timer_fired = false;
    QTimer::singleShot(0, [&] { timer_fired = true; });
    bool posted_ran = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { posted_ran = true; }, Qt::QueuedConnection);

    QElapsedTimer clock;
    clock.start();
    const auto answer = http.sendSynchronously(post(server.url(), "c@1: get_strokes: "));
    EXPECT_GE(clock.elapsed(), 280) << "returned before the answer came";
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->body, "all strokes");
    EXPECT_FALSE(timer_fired) << "a timer ran inside the synchronous exchange";
    EXPECT_FALSE(posted_ran) << "a queued event ran inside the synchronous exchange";
    spinUntil([&] { return timer_fired && posted_ran; }, 2000);
    EXPECT_TRUE(timer_fired);
    EXPECT_TRUE(posted_ran);
}

TEST(QtHttpExchange, ASynchronousExchangeGivesNothingOnTimeOutOrRefusal) {
    LoopbackHttpServer server;
    server.setSilent();
    QtHttpExchange http;
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(http.sendSynchronously(post(server.url(), "x", 0.3)).has_value());
    EXPECT_GE(clock.elapsed(), 250);
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_FALSE(
        http.sendSynchronously(post("http://127.0.0.1:" + std::to_string(closedPort()) + "/", "x"))
            .has_value());
}

TEST(QtHttpExchange, RequestsInFlightAreDroppedWithTheExchange) {
    LoopbackHttpServer server;
    server.setAnswer(200, "late", std::chrono::milliseconds(200));
    auto outcome = std::make_shared<Outcome>();
    {
        QtHttpExchange http;
        http.send(post(server.url(), "x"), recordInto(outcome));
        spinFor(50);
    }
    spinFor(400);
    EXPECT_FALSE(outcome->done());
    EXPECT_TRUE(outcome->body.empty());
}

TEST(QtHttpExchange, ACancelledRequestIsAbortedAndReportsNothing) {
    LoopbackHttpServer server;
    server.setAnswer(200, "late", std::chrono::milliseconds(300));
    QtHttpExchange http;
    const auto token = std::make_shared<velmo::platform::HttpCancellation>();

    // Cancelled while it runs: aborted, so nothing comes, not even the failure an abort is.
    auto outcome = std::make_shared<Outcome>();
    HttpCallbacks callbacks = recordInto(outcome);
    callbacks.cancellation = token;
    http.send(post(server.url(), "x"), std::move(callbacks));
    spinFor(50);
    ASSERT_TRUE(static_cast<bool>(token->on_cancel)) << "the exchange can stop it";
    token->cancel();
    EXPECT_FALSE(token->on_cancel);
    spinFor(600);
    EXPECT_FALSE(outcome->done());
    EXPECT_TRUE(outcome->body.empty());
    token->cancel();

    // Cancelled before it started, and a URL that would fail: nothing either.
    for (const std::string& url : {server.url(), std::string("ftp://127.0.0.1/x")}) {
        auto never = std::make_shared<Outcome>();
        HttpCallbacks quiet = recordInto(never);
        quiet.cancellation = std::make_shared<velmo::platform::HttpCancellation>();
        if (url.rfind("ftp", 0) == 0) {
            http.send(post(url, "x"), quiet);
            quiet.cancellation->cancel();
        } else {
            quiet.cancellation->cancel();
            http.send(post(url, "x"), quiet);
        }
        spinFor(500);
        EXPECT_FALSE(never->done()) << url;
    }

    // A request that is not cancelled still gets its answer; its token is done with.
    auto answered = std::make_shared<Outcome>();
    HttpCallbacks kept = recordInto(answered);
    kept.cancellation = std::make_shared<velmo::platform::HttpCancellation>();
    const auto kept_token = kept.cancellation;
    http.send(post(server.url(), "x"), std::move(kept));
    ASSERT_TRUE(spinUntil([&] { return answered->done(); }, 5000));
    EXPECT_EQ(answered->finished, 1);
    EXPECT_EQ(answered->body, "late");
    EXPECT_FALSE(kept_token->on_cancel);
}
