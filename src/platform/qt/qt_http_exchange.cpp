#include "platform/qt/qt_http_exchange.h"

#include "platform/qt/qt_tls.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace velmo::platform::qt {
namespace {

bool fetchable(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == "http" || scheme == "https") && !url.host().isEmpty();
}

QUrl urlOf(const HttpRequest& request) {
    return QUrl::fromEncoded(QByteArray::fromStdString(request.url), QUrl::TolerantMode);
}

QNetworkRequest networkRequest(const HttpRequest& request) {
    QNetworkRequest out(urlOf(request));
    // A redirect would resend a command somewhere the user never chose; the core learns its
    // status and decides.
    out.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                     QNetworkRequest::ManualRedirectPolicy);
    bool has_type = false;
    for (const auto& [name, value] : request.headers) {
        const QByteArray key = QByteArray::fromStdString(name);
        // The manager counts the body itself; a second length header would contradict it.
        if (key.compare("content-length", Qt::CaseInsensitive) == 0) {
            continue;
        }
        has_type = has_type || key.compare("content-type", Qt::CaseInsensitive) == 0;
        out.setRawHeader(key, QByteArray::fromStdString(value));
    }
    if (!has_type && !request.body.empty()) {
        out.setHeader(QNetworkRequest::ContentTypeHeader, "text/plain; charset=utf-8");
    }
    return out;
}

int timeoutMilliseconds(const HttpRequest& request) {
    const double ms = request.timeout_seconds * 1000.0;
    if (!(ms > 1.0)) {
        return 1;
    }
    return static_cast<int>(std::min(ms, 3600.0 * 1000.0));
}

// Network-layer and protocol errors lose the answer; an HTTP error status still carries one.
bool answered(const QNetworkReply& reply) {
    if (!reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
        return false;
    }
    // Qt files a 400 status under protocol errors, but a broken response is a failure.
    const int error = reply.error();
    const bool network_or_proxy = error > 0 && error < 200;
    return !network_or_proxy && reply.error() != QNetworkReply::ProtocolFailure;
}

// Retry-After as a number of seconds; the HTTP-date form is not used by the servers we talk to
// and reads as absent.
std::optional<double> retryAfterOf(const QNetworkReply& reply) {
    const QByteArray value = reply.rawHeader("Retry-After").trimmed();
    bool ok = false;
    const qlonglong seconds = value.toLongLong(&ok);
    if (!ok || seconds < 0) {
        return std::nullopt;
    }
    return static_cast<double>(seconds);
}

HttpStatus statusOf(const QNetworkReply& reply) {
    HttpStatus status;
    status.code = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    status.retry_after = retryAfterOf(reply);
    return status;
}

QNetworkReply* start(QNetworkAccessManager& manager, const HttpRequest& request) {
    QNetworkReply* reply = manager.sendCustomRequest(networkRequest(request),
                                                     QByteArray::fromStdString(request.method),
                                                     QByteArray::fromStdString(request.body));
    reportTlsFailures(reply);
    return reply;
}

// Aborts `reply` when its time is up; the timer dies with the reply. Each arrival of bytes
// starts the time afresh.
void armTimeout(QNetworkReply* reply, const HttpRequest& request) {
    auto* timer = new QTimer(reply);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, reply, &QNetworkReply::abort);
    const int ms = timeoutMilliseconds(request);
    timer->start(ms);
    QObject::connect(reply, &QNetworkReply::downloadProgress, timer,
                     [timer, ms] { timer->start(ms); });
}

constexpr qint64 AnswerBufferBytes = 2 * 1024 * 1024;

} // namespace

QtHttpExchange::QtHttpExchange() : manager(std::make_unique<QNetworkAccessManager>()) {}

QtHttpExchange::~QtHttpExchange() {
    for (QNetworkReply* reply : manager->findChildren<QNetworkReply*>()) {
        QObject::disconnect(reply, nullptr, nullptr, nullptr);
        reply->abort();
    }
}

void QtHttpExchange::send(const HttpRequest& request, HttpCallbacks callbacks) {
    const auto cancelled = [token = callbacks.cancellation] { return token && token->cancelled(); };
    if (cancelled()) {
        return;
    }
    if (!fetchable(urlOf(request))) {
        // Reported later, from the event loop, as the interface promises.
        QTimer::singleShot(0, manager.get(), [cancelled, failed = std::move(callbacks.failed)] {
            if (failed && !cancelled()) {
                failed();
            }
        });
        return;
    }
    QNetworkReply* reply = start(*manager, request);
    // A long answer (a canvas's strokes) comes a few megabytes at a time: the window handles
    // each piece in one turn, and the network waits for it meanwhile.
    reply->setReadBufferSize(AnswerBufferBytes);
    armTimeout(reply, request);
    if (callbacks.cancellation) {
        // The reply is gone once it has finished; then there is nothing left to stop.
        callbacks.cancellation->on_cancel = [alive = QPointer<QNetworkReply>(reply)] {
            if (alive) {
                QObject::disconnect(alive, nullptr, nullptr, nullptr);
                alive->abort();
                alive->deleteLater();
            }
        };
    }
    auto shared = std::make_shared<HttpCallbacks>(std::move(callbacks));
    // The status is known once the first bytes of the body (or the end) are there.
    auto tellHead = [reply, shared] {
        if (shared->head) {
            const auto head = std::move(shared->head);
            shared->head = nullptr;
            head(statusOf(*reply));
        }
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, shared, tellHead] {
        if (shared->cancellation && shared->cancellation->cancelled()) {
            return;
        }
        tellHead();
        if (shared->cancellation && shared->cancellation->cancelled()) {
            return;
        }
        const QByteArray bytes = reply->readAll();
        if (shared->received && !bytes.isEmpty()) {
            shared->received(std::string_view(bytes.constData(), bytes.size()));
        }
    });
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, shared, tellHead] {
        reply->deleteLater();
        if (shared->cancellation) {
            if (shared->cancellation->cancelled()) {
                return;
            }
            shared->cancellation->on_cancel = nullptr;
        }
        if (!answered(*reply)) {
            if (shared->failed) {
                shared->failed();
            }
            return;
        }
        tellHead();
        if (shared->cancellation && shared->cancellation->cancelled()) {
            return;
        }
        const QByteArray rest = reply->readAll();
        if (shared->received && !rest.isEmpty()) {
            shared->received(std::string_view(rest.constData(), rest.size()));
        }
        if (shared->finished) {
            shared->finished(statusOf(*reply));
        }
    });
}

std::optional<HttpAnswer> QtHttpExchange::sendSynchronously(const HttpRequest& request) {
    if (!fetchable(urlOf(request))) {
        return std::nullopt;
    }
    std::optional<HttpAnswer> result;
    // The worker's own manager and event loop; this thread only waits for it to end, which
    // its time-out guarantees.
    std::unique_ptr<QThread> worker(QThread::create([&request, &result] {
        QNetworkAccessManager local_manager;
        QEventLoop loop;
        std::unique_ptr<QNetworkReply> reply(start(local_manager, request));
        armTimeout(reply.get(), request);
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        if (!reply->isFinished()) {
            loop.exec();
        }
        if (answered(*reply)) {
            result = HttpAnswer{statusOf(*reply), reply->readAll().toStdString()};
        }
    }));
    worker->start();
    worker->wait();
    return result;
}

} // namespace velmo::platform::qt
