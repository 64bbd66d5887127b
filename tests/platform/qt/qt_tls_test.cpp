#include "platform/qt/qt_tls.h"

#include "platform/qt/qt_http_exchange.h"
#include "platform/qt/qt_wait.h"
#include "support/temp_dir.h"

#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>

#include <gtest/gtest.h>

#include <memory>
#include <string>

using velmo::platform::HttpCallbacks;
using velmo::platform::HttpRequest;
using velmo::platform::qt::QtHttpExchange;
using velmo::platform::qt::trustCertificatesIn;
using velmo::testing::spinUntil;
using velmo::testing::TempDir;

namespace {

// Made at run time, so its dates are this machine's: a stored one would expire, or start in
// the future on a machine whose clock is behind.
bool makeCertificate(const TempDir& dir) {
    QProcess openssl;
    openssl.start("openssl",
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                   "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                   "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout",
                   QString::fromStdString(dir.file("key.pem")), "-out",
                   QString::fromStdString(dir.file("cert.pem"))});
    return openssl.waitForFinished(30000) && openssl.exitStatus() == QProcess::NormalExit &&
           openssl.exitCode() == 0;
}

QByteArray contentsOf(const std::string& file) {
    QFile in(QString::fromStdString(file));
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

// Answers each request on a TLS connection with "200 ok" and closes it; on this thread.
class LoopbackHttpsServer {
public:
    LoopbackHttpsServer(const QByteArray& certificate, const QByteArray& key,
                        const QHostAddress& address = QHostAddress::LocalHost) {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(QSslCertificate(certificate, QSsl::Pem));
        configuration.setPrivateKey(QSslKey(key, QSsl::Ec, QSsl::Pem));
        server.setSslConfiguration(configuration);
        QObject::connect(&server, &QTcpServer::pendingConnectionAvailable, &server, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    if (socket->readAll().contains("\r\n\r\n")) {
                        socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n"
                                      "Connection: close\r\n\r\nok");
                        socket->disconnectFromHost();
                    }
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        server.listen(address, 0);
    }
    std::string url() const {
        return "https://" + server.serverAddress().toString().toStdString() + ":" +
               std::to_string(server.serverPort()) + "/";
    }

private:
    QSslServer server;
};

struct Outcome {
    int code = 0;
    std::string body;
    int failed = 0;
    bool done() const { return code != 0 || failed != 0; }
};

std::shared_ptr<Outcome> fetch(QtHttpExchange& http, const std::string& url) {
    auto outcome = std::make_shared<Outcome>();
    HttpRequest request;
    request.url = url;
    request.body = "x";
    request.timeout_seconds = 10.0;
    HttpCallbacks callbacks;
    callbacks.received = [outcome](std::string_view bytes) { outcome->body.append(bytes); };
    callbacks.finished = [outcome](const velmo::platform::HttpStatus& status) {
        outcome->code = status.code;
    };
    callbacks.failed = [outcome] { ++outcome->failed; };
    http.send(request, callbacks);
    spinUntil([&] { return outcome->done(); }, 15000);
    return outcome;
}

QStringList warnings;
void recordWarning(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtWarningMsg) {
        warnings << text;
    }
}

} // namespace

TEST(QtTls, HttpsIsVerifiedAndATrustedFileAddsItsAuthorities) {
    ASSERT_TRUE(QSslSocket::supportsSsl()) << "Qt's TLS backend is missing";
    TempDir dir;
    ASSERT_TRUE(makeCertificate(dir)) << "openssl req failed";
    LoopbackHttpsServer server(contentsOf(dir.file("cert.pem")), contentsOf(dir.file("key.pem")));
    QtHttpExchange http;

    // A certificate no authority vouches for fails like a broken connection, and says why, once.
    const QtMessageHandler previous = qInstallMessageHandler(recordWarning);
    const auto untrusted = fetch(http, server.url());
    const auto again = fetch(http, server.url());
    EXPECT_EQ(untrusted->failed, 1);
    EXPECT_EQ(again->failed, 1);
    EXPECT_TRUE(untrusted->body.empty());
    ASSERT_EQ(warnings.filter("TLS certificate of 127.0.0.1 refused").size(), 1)
        << warnings.join('\n').toStdString();
    EXPECT_TRUE(warnings.join('\n').contains("self-signed")) << warnings.join('\n').toStdString();

    struct Bad {
        std::string file;
        const char* says;
    };
    QFile junk(QString::fromStdString(dir.file("junk.pem")));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("-----BEGIN CERTIFICATE-----\nnot base64 at all\n");
    junk.close();
    for (const Bad& bad : {Bad{dir.file("missing.pem"), "cannot read"},
                           Bad{dir.file("junk.pem"), "holds no PEM certificate"},
                           Bad{dir.file("key.pem"), "holds no PEM certificate"}}) {
        const auto error = trustCertificatesIn(QString::fromStdString(bad.file));
        ASSERT_TRUE(error.has_value()) << bad.file;
        EXPECT_TRUE(error->contains(bad.says)) << error->toStdString();
    }
    EXPECT_EQ(fetch(http, server.url())->failed, 1);

    // Trusted, the same server answers; the system's authorities are still there beside it.
    const qsizetype before = QSslConfiguration::defaultConfiguration().caCertificates().size();
    ASSERT_EQ(trustCertificatesIn(QString::fromStdString(dir.file("cert.pem"))), std::nullopt);
    EXPECT_EQ(QSslConfiguration::defaultConfiguration().caCertificates().size(), before + 1);
    // Trust comes before the exchanges are made: one made earlier keeps what it had.
    QtHttpExchange fresh;
    const auto trusted = fetch(fresh, server.url());
    EXPECT_EQ(trusted->failed, 0);
    EXPECT_EQ(trusted->code, 200);
    EXPECT_EQ(trusted->body, "ok");
    // The name checked is the URL's: the certificate names 127.0.0.1 and localhost only.
    LoopbackHttpsServer elsewhere(contentsOf(dir.file("cert.pem")), contentsOf(dir.file("key.pem")),
                                  QHostAddress("127.0.0.2"));
    EXPECT_EQ(fetch(fresh, elsewhere.url())->failed, 1);
    qInstallMessageHandler(previous);
    EXPECT_EQ(warnings.filter("TLS certificate of 127.0.0.2 refused: The host name").size(), 1)
        << warnings.join('\n').toStdString();
}
