#include "dialogs/gyazo_image_view.h"

#include "platform/qt/qt_http_exchange.h"
#include "support/scripted_http.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace velmo::dialogs {
namespace {

std::string pngOf(int width, int height, QRgb color) {
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

TEST(GyazoImageView, ShowsThePictureOnlyOnceComplete) {
    testing::ScriptedHttp http;
    GyazoImageView view(http);
    view.resize(64, 96);
    view.loadImageInBackgroundFromURL("http://127.0.0.1:8640/images/a.png");
    ASSERT_EQ(http.async_requests.size(), 1u);
    const std::string png = pngOf(64, 96, qRgb(200, 10, 10));
    for (size_t at = 0; at < png.size(); at += 7) {
        http.deliver(0, png.substr(at, 7));
        EXPECT_TRUE(view.image().isNull());
    }
    http.finish(0);
    ASSERT_FALSE(view.image().isNull());
    EXPECT_EQ(view.image().size(), QSize(64, 96));
    EXPECT_EQ(view.grab().toImage().pixel(32, 48), qRgb(200, 10, 10));
    EXPECT_FALSE(view.loading());
}

TEST(GyazoImageView, ErrorPagesFailuresAndOverlongAnswersShowNothing) {
    testing::ScriptedHttp http;
    GyazoImageView error_page(http);
    error_page.loadImageInBackgroundFromURL("http://127.0.0.1:8640/images/none.png");
    http.answer(0, "<html><body>404 Not Found</body></html>");
    EXPECT_TRUE(error_page.image().isNull());

    GyazoImageView empty(http);
    empty.loadImageInBackgroundFromURL("http://127.0.0.1:8640/images/empty.png");
    http.answer(1, "");
    EXPECT_TRUE(empty.image().isNull());

    GyazoImageView failed(http);
    failed.loadImageInBackgroundFromURL("http://127.0.0.1:8640/images/a.png");
    http.deliver(2, pngOf(4, 4, qRgb(0, 0, 0)));
    http.fail(2);
    EXPECT_TRUE(failed.image().isNull());
    EXPECT_FALSE(failed.loading());

    GyazoImageView overlong(http);
    overlong.loadImageInBackgroundFromURL("http://127.0.0.1:8640/images/big.png");
    http.deliver(3, pngOf(4, 4, qRgb(0, 0, 0)));
    http.deliver(3, std::string(GyazoImageView::MaxImageBytes, 'x'));
    http.finish(3);
    EXPECT_TRUE(overlong.image().isNull());
}

TEST(GyazoImageView, AViewThatIsGoneGetsNoLateAnswer) {
    testing::ScriptedHttp http;
    auto view = std::make_unique<GyazoImageView>(http);
    view->loadImageInBackgroundFromURL("http://127.0.0.1:8640/images/a.png");
    view.reset();
    // Under the sanitizers a callback reaching the freed view would be reported.
    http.deliver(0, pngOf(4, 4, qRgb(0, 0, 0)));
    http.finish(0);
    http.fail(0);
    SUCCEED();
}

TEST(GyazoImageView, AbandonedLoadsAreCancelledAndEndedOnesAreTold) {
    testing::ScriptedHttp http;
    const auto cancelled = [&http](size_t i) {
        const auto& token = http.async_requests.at(i).callbacks.cancellation;
        return token != nullptr && token->cancelled();
    };
    int ended = 0;
    {
        GyazoImageView view(http);
        view.loading_ended = [&ended] { ++ended; };
        // A second load, a stop, and the view's end each abort the load under way.
        view.loadImageInBackgroundFromURL("http://127.0.0.1:8640/images/a.png");
        view.loadImageInBackgroundFromURL("http://127.0.0.1:8640/images/b.png");
        EXPECT_TRUE(cancelled(0));
        EXPECT_FALSE(cancelled(1));
        view.cancelLoading();
        EXPECT_TRUE(cancelled(1));
        EXPECT_FALSE(view.loading());
        http.answer(1, pngOf(5, 5, qRgb(1, 2, 3)));
        EXPECT_TRUE(view.image().isNull());
        EXPECT_EQ(ended, 0);

        // A load that ends, by an answer or a failure, is told and not cancelled.
        view.loadImageInBackgroundFromURL("http://127.0.0.1:8640/images/c.png");
        http.answer(2, pngOf(5, 5, qRgb(1, 2, 3)));
        EXPECT_EQ(ended, 1);
        view.loadImageInBackgroundFromURL("http://127.0.0.1:8640/images/d.png");
        http.fail(3);
        EXPECT_EQ(ended, 2);
        EXPECT_FALSE(cancelled(2));
        EXPECT_FALSE(cancelled(3));
        view.loadImageInBackgroundFromURL("http://127.0.0.1:8640/images/e.png");
    }
    EXPECT_TRUE(cancelled(4));
    EXPECT_EQ(ended, 2);
}

TEST(GyazoImageView, ASecondLoadAbandonsTheFirst) {
    testing::ScriptedHttp http;
    GyazoImageView view(http);
    view.loadImageInBackgroundFromURL("http://127.0.0.1:8640/images/a.png");
    view.loadImageInBackgroundFromURL("http://127.0.0.1:8640/images/b.png");
    http.answer(0, pngOf(3, 3, qRgb(1, 2, 3)));
    EXPECT_TRUE(view.image().isNull());
    http.answer(1, pngOf(5, 5, qRgb(1, 2, 3)));
    EXPECT_EQ(view.image().size(), QSize(5, 5));
}

// A one-shot HTTP server on the loopback address that answers any request with a PNG in
// small pieces, slowly, so the load really runs in the background.
class SlowPictureServer {
public:
    explicit SlowPictureServer(std::string body_) : body(std::move(body_)) {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket,
                                 [this, socket] { answer(socket); });
            }
        });
    }
    QString url() const {
        return QStringLiteral("http://127.0.0.1:%1/images/a.png").arg(server.serverPort());
    }

private:
    void answer(QTcpSocket* socket) {
        socket->readAll();
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
        socket->write(head.data(), static_cast<qint64>(head.size()));
        socket->flush();
        for (size_t at = 0; at < body.size(); at += 64) {
            QTest::qWait(2);
            const std::string piece = body.substr(at, 64);
            socket->write(piece.data(), static_cast<qint64>(piece.size()));
            socket->flush();
        }
        socket->disconnectFromHost();
    }

    QTcpServer server;
    std::string body;
};

TEST(GyazoImageView, LoadsFromALocalServerWithoutBlocking) {
    const std::string png = pngOf(64, 96, qRgb(10, 200, 30));
    SlowPictureServer server(png);
    platform::qt::QtHttpExchange http;
    GyazoImageView view(http);
    view.resize(64, 96);
    view.loadImageInBackgroundFromURL(server.url());
    EXPECT_TRUE(view.image().isNull()) << "the load returned before the answer";
    QElapsedTimer waited;
    waited.start();
    while (view.image().isNull() && waited.elapsed() < 5000) {
        QTest::qWait(10);
    }
    ASSERT_FALSE(view.image().isNull());
    EXPECT_EQ(view.image().pixel(10, 10), qRgb(10, 200, 30));
}

TEST(GyazoImageView, ViewGoneWhileTheRealExchangeLoads) {
    SlowPictureServer server(pngOf(64, 96, qRgb(10, 200, 30)));
    platform::qt::QtHttpExchange http;
    auto view = std::make_unique<GyazoImageView>(http);
    view->loadImageInBackgroundFromURL(server.url());
    QTest::qWait(5);
    view.reset();
    QTest::qWait(300);
    SUCCEED();
}

} // namespace
} // namespace velmo::dialogs
