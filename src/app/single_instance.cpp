#include "app/single_instance.h"

#include <QCryptographicHash>
#include <QLocalSocket>

#include <unistd.h>

namespace velmo::app {
namespace {

constexpr int ConnectMilliseconds = 500;
// A link is a canvas ID and a prefix; anything longer is not one.
constexpr qint64 MaxMessage = 64 * 1024;

} // namespace

QString SingleInstance::keyFor(const QString& settings_file) {
    const QByteArray hash =
        QCryptographicHash::hash(settings_file.toUtf8(), QCryptographicHash::Sha256).toHex();
    return QStringLiteral("velmorastra-%1-%2")
        .arg(::getuid())
        .arg(QString::fromLatin1(hash.left(24)));
}

bool SingleInstance::handOff(const QString& key, const QByteArray& message) {
    QLocalSocket socket;
    socket.connectToServer(key);
    if (!socket.waitForConnected(ConnectMilliseconds)) {
        return false;
    }
    socket.write(message);
    socket.flush();
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) {
        socket.waitForDisconnected(ConnectMilliseconds);
    }
    return true;
}

bool SingleInstance::listen(const QString& key, std::function<void(const QByteArray&)> on_message) {
    handler = std::move(on_message);
    server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(key)) {
        // Left behind by a client that crashed: nobody answered the hand-off.
        QLocalServer::removeServer(key);
        if (!server->listen(key)) {
            return false;
        }
    }
    QObject::connect(server.get(), &QLocalServer::newConnection, server.get(), [this] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket,
                             &QLocalSocket::deleteLater);
            QObject::connect(socket, &QLocalSocket::readChannelFinished, socket, [this, socket] {
                const QByteArray message = socket->readAll().left(MaxMessage);
                if (handler) {
                    handler(message);
                }
            });
        }
    });
    return true;
}

} // namespace velmo::app
