#include "app/shell/single_instance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#include <unistd.h>

#include "engine/core/log.h"

namespace clavio {

namespace {

constexpr QByteArrayView kOpenPanel = "open-panel\n";
constexpr QByteArrayView kAnswer = "ok\n";
constexpr qint64 kLongestRequest = 64;

} // namespace

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent), _socketPath(std::move(socketPath)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultSocketPath() {
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QDir(folder).exists()) {
        folder = QDir::tempPath();
    }
    return QDir(folder).filePath(QStringLiteral("clavio-%1").arg(::getuid()));
}

SingleInstance::Claim SingleInstance::claim(int timeoutMs) {
    _error.clear();
    // A lock whose holder has died is taken over by QLockFile.
    QLockFile lock(_socketPath + QStringLiteral(".lock"));
    if (!lock.tryLock(timeoutMs)) {
        _error = "Could not lock " + (_socketPath + QStringLiteral(".lock")).toStdString() +
                 (lock.error() == QLockFile::LockFailedError
                      ? std::string(": another start of Clavio holds it")
                      : std::string(": the folder cannot be written"));
        return Claim::failed;
    }

    QLocalSocket socket;
    socket.connectToServer(_socketPath);
    if (socket.waitForConnected(timeoutMs)) {
        return handOver(socket, timeoutMs);
    }
    switch (socket.error()) {
    case QLocalSocket::ServerNotFoundError:
    case QLocalSocket::ConnectionRefusedError:
        // No socket, or one that nobody listens on any more.
        QLocalServer::removeServer(_socketPath);
        break;
    default:
        _error = "Could not reach " + _socketPath.toStdString() + ": " +
                 socket.errorString().toStdString();
        return Claim::failed;
    }

    auto server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(_socketPath)) {
        _error = "Could not listen on " + _socketPath.toStdString() + ": " +
                 server->errorString().toStdString();
        return Claim::failed;
    }
    connect(server.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = _server->nextPendingConnection()) {
            serve(client);
        }
    });
    _server = std::move(server);
    return Claim::primary;
}

SingleInstance::Claim SingleInstance::handOver(QLocalSocket& socket, int timeoutMs) {
    socket.write(kOpenPanel.data(), kOpenPanel.size());
    QByteArray answer;
    while (socket.waitForReadyRead(timeoutMs)) {
        answer += socket.readAll();
        if (answer.contains('\n')) {
            break;
        }
    }
    if (answer == kAnswer) {
        return Claim::handedOver;
    }
    _error = "Clavio is already running but did not answer on " + _socketPath.toStdString();
    return Claim::failed;
}

void SingleInstance::serve(QLocalSocket* socket) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > kLongestRequest) {
                socket->abort(); // not one of ours
            }
            return;
        }
        const QByteArray request = socket->readLine(kLongestRequest + 1);
        if (request == kOpenPanel) {
            logLine("[Clavio] Clavio was started again: opening its panel");
            Q_EMIT openPanelRequested();
            socket->write(kAnswer.data(), kAnswer.size());
            socket->flush();
        }
        socket->disconnectFromServer();
    });
}

} // namespace clavio
