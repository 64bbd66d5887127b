#include "platform/qt/qt_event_stream.h"

#include "platform/qt/qt_tls.h"

#include "wire/server_events.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <utility>
#include <vector>

namespace velmo::platform::qt {

struct QtEventStream::Stream {
    uint64_t serial = 0;
    QPointer<QNetworkReply> reply;
    // Restarted by every byte that comes; its time-out breaks the stream. It is also the
    // context of the reply's connections to this stream, so they go with it while Qt's own
    // stay. A child of the manager, freed later: the stream may end inside its time-out.
    QPointer<QTimer> silence;
    wire::ServerEventParser parser;
    bool head_checked = false;
    bool refused = false;
    EventHandler on_event;
    FailureHandler on_failure;

    ~Stream() {
        if (reply) {
            QObject::disconnect(reply, nullptr, silence, nullptr);
            if (!reply->isFinished()) {
                reply->abort();
            }
            reply->deleteLater();
        }
        if (silence) {
            QObject::disconnect(silence, nullptr, nullptr, nullptr);
            silence->stop();
            silence->deleteLater();
        }
    }
};

namespace {

// A 200 answer that says it is an event stream; anything else (an older server's 404, a
// refusal, a proxy's error page) is no stream.
bool isEventStream(const QNetworkReply& reply) {
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray type = reply.header(QNetworkRequest::ContentTypeHeader).toByteArray();
    return status == 200 && type.trimmed().toLower().startsWith("text/event-stream");
}

} // namespace

QtEventStream::QtEventStream(double silence_seconds_)
    : manager(std::make_unique<QNetworkAccessManager>()), silence_seconds(silence_seconds_) {}

QtEventStream::~QtEventStream() {
    close();
}

void QtEventStream::open(const std::string& url, const Headers& headers, EventHandler on_event,
                         FailureHandler on_failure) {
    close();
    auto next = std::make_unique<Stream>();
    const uint64_t serial = ++last_serial;
    next->serial = serial;
    next->on_event = std::move(on_event);
    next->on_failure = std::move(on_failure);
    next->silence = new QTimer(manager.get());
    next->silence->setSingleShot(true);
    next->silence->setInterval(
        static_cast<int>(std::clamp(silence_seconds * 1000.0, 1.0, 24.0 * 3600.0 * 1000.0)));
    QObject::connect(next->silence, &QTimer::timeout, next->silence,
                     [this, serial] { fail(serial); });
    stream = std::move(next);

    const QUrl target = QUrl::fromEncoded(QByteArray::fromStdString(url), QUrl::TolerantMode);
    const QString scheme = target.scheme().toLower();
    if (!target.isValid() || (scheme != "http" && scheme != "https") || target.host().isEmpty()) {
        // Reported later, from the event loop, as the interface promises.
        QTimer::singleShot(0, manager.get(), [this, serial] { fail(serial); });
        return;
    }
    QNetworkRequest request(target);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setRawHeader("Accept", "text/event-stream");
    request.setRawHeader("Cache-Control", "no-cache");
    for (const auto& [name, value] : headers) {
        request.setRawHeader(QByteArray::fromStdString(name), QByteArray::fromStdString(value));
    }
    QNetworkReply* reply = manager->get(request);
    stream->reply = reply;
    reportTlsFailures(reply);
    QObject::connect(reply, &QNetworkReply::readyRead, stream->silence,
                     [this, serial] { read(serial); });
    // However it ends, a stream that ends has failed: the caller opens another.
    QObject::connect(reply, &QNetworkReply::finished, stream->silence,
                     [this, serial] { fail(serial); });
    stream->silence->start();
}

void QtEventStream::close() {
    stream.reset();
}

void QtEventStream::read(uint64_t serial) {
    if (!stream || stream->serial != serial || !stream->reply) {
        return;
    }
    if (!stream->head_checked) {
        stream->head_checked = true;
        if (!isEventStream(*stream->reply)) {
            // An error status ends the reply by itself, and its end reports the failure: cut
            // short, Qt reports its error twice. Anything else is cut off now.
            const int status =
                stream->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (status < 400) {
                fail(serial);
                return;
            }
            stream->refused = true;
        }
    }
    if (stream->refused) {
        stream->reply->readAll();
        return;
    }
    stream->silence->start();
    const QByteArray bytes = stream->reply->readAll();
    std::vector<wire::ServerEvent> events;
    stream->parser.feed(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())),
                        [&](const wire::ServerEvent& event) { events.push_back(event); });
    for (const wire::ServerEvent& event : events) {
        // A handler may close or replace the stream; nothing more of this one is delivered.
        if (!stream || stream->serial != serial) {
            return;
        }
        const EventHandler handler = stream->on_event;
        if (handler) {
            handler(event.type, event.data);
        }
    }
}

void QtEventStream::fail(uint64_t serial) {
    if (!stream || stream->serial != serial) {
        return;
    }
    FailureHandler on_failure = std::move(stream->on_failure);
    // Gone before the handler runs: it may open the next stream at once.
    stream.reset();
    if (on_failure) {
        on_failure();
    }
}

} // namespace velmo::platform::qt
