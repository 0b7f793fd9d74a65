#include "app/services/input_group_join.h"

#include <QFileInfo>
#include <QStandardPaths>

#include <pwd.h>
#include <unistd.h>

namespace clavio {

namespace {
// pkexec's exit status when the prompt was dismissed or refused.
constexpr int kPromptDismissed = 126;
constexpr int kNotAuthorised = 127;
} // namespace

// The account this process runs as, not $USER, which `su` without `-` or
// `sudo -E` leave naming another account.
QString InputGroupJoin::userName() {
    if (const passwd* entry = getpwuid(getuid())) {
        return QString::fromLocal8Bit(entry->pw_name);
    }
    return qEnvironmentVariable("USER");
}

QString InputGroupJoin::promptProgram() {
    return QStandardPaths::findExecutable(QStringLiteral("pkexec"));
}

QStringList InputGroupJoin::promptArguments(const QString& user) {
    const QString sbin = QStringLiteral("/usr/sbin/usermod");
    const QString usermod = QFileInfo(sbin).isExecutable() ? sbin : QStringLiteral("usermod");
    return {usermod, QStringLiteral("-aG"), QStringLiteral("input"), user};
}

QString InputGroupJoin::manualCommand(const QString& user) {
    return QStringLiteral("sudo usermod -aG input ") + user;
}

bool InputGroupJoin::start() {
    const QString program = promptProgram();
    if (program.isEmpty() || isRunning()) {
        return false;
    }
    _process.disconnect(this);
    _process.setProcessChannelMode(QProcess::MergedChannels);
    connect(&_process, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        if (status == QProcess::NormalExit && code == 0) {
            Q_EMIT finished(true, QString());
            return;
        }
        const QString output = QString::fromLocal8Bit(_process.readAll()).trimmed();
        const bool dismissed = code == kPromptDismissed || code == kNotAuthorised;
        Q_EMIT finished(false, dismissed || output.isEmpty() ? QStringLiteral("cancelled")
                                                             : output.section('\n', -1));
    });
    connect(&_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            Q_EMIT finished(false, QStringLiteral("pkexec could not be started"));
        }
    });
    _process.start(program, promptArguments(userName()));
    return true;
}

} // namespace clavio
