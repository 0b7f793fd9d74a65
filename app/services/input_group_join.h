// Joining the input group, the membership that lets a user read the
// keyboards in /dev/input: runs `pkexec usermod -aG input <user>` so the
// desktop's own privilege prompt (polkit) asks for the password, or, when
// PATH has no pkexec, gives the command to run in a terminal. The new
// membership counts from the next login; the coordinator's permission poll
// notices it then.
//
// Threading: main thread (QProcess, signals on the main thread's loop).
#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace clavio {

class InputGroupJoin : public QObject {
    Q_OBJECT
public:
    explicit InputGroupJoin(QObject* parent = nullptr) : QObject(parent) {}

    // The user whose membership changes: $USER, else the account's name.
    static QString userName();
    // pkexec's path when PATH holds it, else empty.
    static QString promptProgram();
    // The arguments pkexec runs: usermod (by its path in /usr/sbin when
    // there, which a user's PATH often lacks), -aG input, the user.
    static QStringList promptArguments(const QString& user);
    // The line to type when there is no prompt program.
    static QString manualCommand(const QString& user);

    // Starts the prompt; false (and no signal) when there is no pkexec or a
    // request still runs.
    bool start();
    bool isRunning() const { return _process.state() != QProcess::NotRunning; }

Q_SIGNALS:
    // ok: the group was changed (a new login is needed); otherwise `detail`
    // says why not ("cancelled", or usermod's error line).
    void finished(bool ok, const QString& detail);

private:
    QProcess _process;
};

} // namespace clavio
