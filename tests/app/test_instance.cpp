// One Clavio per user, with real processes and sockets: a second start hands
// over to the first and ends with one line, a socket left by a crashed run
// does not block the next start, and a start in the background (at login)
// shows no window.
#include <QProcess>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "app/shell/tray_controller.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

// `clavio --replay demo ARGS` offscreen and silent, with every folder in `home`.
void prepare(QProcess& app, const TempDir& home, QStringList args = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString dir = QString::fromStdString(home.path().string());
    for (const char* name : {"XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
        env.insert(QLatin1String(name), dir);
    }
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("dummy"));
    env.remove(QStringLiteral("CLAVIO_PING_URL"));
    env.remove(QStringLiteral("CLAVIO_UPDATE_FEED"));
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.start(QStringLiteral(CLAVIO_BUILD_DIR "/bin/clavio"),
              args << QStringLiteral("--replay") << QStringLiteral("demo"));
}

// A socket file that nobody listens on, as a crashed run leaves it.
bool leaveStaleSocket(const QString& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, qPrintable(path), sizeof(address.sun_path) - 1);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return bound && QFileInfo::exists(path);
}

} // namespace

class InstanceTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void aSecondStartHandsOverToTheFirstEvenAfterACrashedRun() {
        TempDir home;
        const QString socket = QString::fromStdString(home.path().string()) +
                               QStringLiteral("/clavio-%1").arg(::getuid());
        QVERIFY(leaveStaleSocket(socket));

        QProcess first;
        prepare(first, home, {QStringLiteral("--background")});
        QByteArray log;
        QTRY_VERIFY_WITH_TIMEOUT((log += first.readAll()).contains("packs="), 10000);
        // Offscreen there is no tray, and in the background no panel opens.
        QVERIFY2(log.contains("the panel opens when Clavio is started again") &&
                     !log.contains("showing the panel as a window"),
                 log.constData());

        QProcess second;
        prepare(second, home);
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(second.readAll(),
                 QByteArray("[Clavio] Clavio is already running: opening its panel\n"));
        QTRY_VERIFY(
            (log += first.readAll()).contains("Clavio was started again: opening its panel"));

        first.terminate();
        QVERIFY(first.waitForFinished(10000));
        QCOMPARE(first.exitCode(), 0);
        QVERIFY(!QFileInfo::exists(socket)); // nothing left for the next start
    }

    void withoutATrayOnlyAForegroundStartShowsThePanel() {
        for (const auto mode :
             {TrayController::StartMode::background, TrayController::StartMode::foreground}) {
            QWidget panel;
            TrayController tray;
            tray.setPanelOpener([&] { panel.show(); });
            QVERIFY(!tray.start(mode)); // offscreen has no tray
            QApplication::processEvents();
            const auto shown = QApplication::topLevelWidgets();
            QCOMPARE(std::count_if(shown.begin(), shown.end(),
                                   [](QWidget* w) { return w->isVisible(); }),
                     mode == TrayController::StartMode::foreground ? 1 : 0);
        }
    }
};

QTEST_MAIN(InstanceTest)
#include "test_instance.moc"
