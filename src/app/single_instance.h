#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QString>

#include <functional>
#include <memory>

namespace velmo::app {

// One running client per settings file: a later start with the same file hands its link to
// the running one and ends. Clients with different settings files run side by side.
class SingleInstance {
public:
    // The rendezvous name for a settings file (an absolute path).
    static QString keyFor(const QString& settings_file);

    // Hands `message` to the running instance; false when none listens.
    static bool handOff(const QString& key, const QByteArray& message);

    // Listens for later starts; each message is passed to `on_message` on this thread.
    bool listen(const QString& key, std::function<void(const QByteArray&)> on_message);

private:
    std::unique_ptr<QLocalServer> server;
    std::function<void(const QByteArray&)> handler;
};

} // namespace velmo::app
