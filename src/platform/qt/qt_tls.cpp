#include "platform/qt/qt_tls.h"

#include <QCoreApplication>
#include <QFile>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkReply>
#include <QSet>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>
#include <QStringList>

#include <memory>

namespace velmo::platform::qt {
namespace {

// A bound on what is remembered: a process that talks to many hosts repeats itself instead.
constexpr qsizetype MaxRemembered = 64;

void sayOnce(const QString& text) {
    static QMutex mutex;
    static QSet<QString> said;
    {
        const QMutexLocker lock(&mutex);
        if (said.contains(text)) {
            return;
        }
        if (said.size() >= MaxRemembered) {
            said.clear();
        }
        said.insert(text);
    }
    qWarning().noquote() << QCoreApplication::applicationName() + ": " + text;
}

} // namespace

std::optional<QString> trustCertificatesIn(const QString& pem_file) {
    if (!QSslSocket::supportsSsl()) {
        return QStringLiteral("this Qt has no TLS backend (Debian: libqt6network6 with OpenSSL)");
    }
    QFile file(pem_file);
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("cannot read %1").arg(pem_file);
    }
    const QList<QSslCertificate> certificates =
        QSslCertificate::fromData(file.readAll(), QSsl::Pem);
    if (certificates.isEmpty()) {
        return QStringLiteral("%1 holds no PEM certificate").arg(pem_file);
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(certificates);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return std::nullopt;
}

void reportTlsFailures(QNetworkReply* reply) {
    const QString host = reply->url().host();
    // The certificate's faults say more than the handshake's failure that follows them.
    auto judged = std::make_shared<bool>(false);
    QObject::connect(
        reply, &QNetworkReply::sslErrors, reply, [host, judged](const QList<QSslError>& errors) {
            *judged = true;
            QStringList reasons;
            for (const QSslError& error : errors) {
                reasons << error.errorString();
            }
            sayOnce(
                QStringLiteral("TLS certificate of %1 refused: %2").arg(host, reasons.join("; ")));
        });
    // A handshake can fail before any certificate is judged (no TLS backend, no common
    // protocol); then the reply's own text says why.
    QObject::connect(
        reply, &QNetworkReply::errorOccurred, reply,
        [reply, host, judged](QNetworkReply::NetworkError error) {
            if (error == QNetworkReply::SslHandshakeFailedError && !*judged) {
                sayOnce(QStringLiteral("TLS with %1 failed: %2").arg(host, reply->errorString()));
            }
        });
}

} // namespace velmo::platform::qt
