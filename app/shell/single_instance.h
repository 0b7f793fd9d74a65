// One Clavio per user. The first instance listens on a local socket,
// $XDG_RUNTIME_DIR/clavio-<uid>; a later start connects to it, asks it to
// open its panel, and ends before it builds anything (no audio, no capture).
// A socket left behind by a crashed run answers no connection: it is removed
// and the new start becomes the instance. A lock file beside the socket makes
// "connect, else listen" one step, so two starts at the same moment cannot
// both become the instance.
//
// Requests are single lines: "open-panel\n", answered "ok\n" once the
// instance has handled it. Anything else is closed unanswered.
//
// Threading: main thread; the server is served by the Qt event loop.
#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <string>

class QLocalServer;
class QLocalSocket;

namespace clavio {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Claim {
        primary,    // this process is the instance and listens
        handedOver, // a running instance took the request; end this process
        failed,     // neither: error() says why
    };

    explicit SingleInstance(QString socketPath = defaultSocketPath(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR/clavio-<uid>, or the temporary folder when the
    // session has no runtime folder.
    static QString defaultSocketPath();

    // Hands the start over to a running instance, or becomes the instance.
    // Waits at most `timeoutMs` for the lock and for the running instance's
    // answer.
    Claim claim(int timeoutMs = 3000);
    const std::string& error() const { return _error; }
    const QString& socketPath() const { return _socketPath; }

Q_SIGNALS:
    // A later start asked for the panel. The request is answered when the
    // connected slots have returned.
    void openPanelRequested();

private:
    Claim handOver(QLocalSocket& socket, int timeoutMs);
    void serve(QLocalSocket* socket);

    QString _socketPath;
    std::unique_ptr<QLocalServer> _server;
    std::string _error;
};

} // namespace clavio
