// One Clavio per user, with real processes and sockets: a second start hands
// over to the first and ends with one line, a socket left by a crashed run
// does not block the next start, an instance that accepts but never answers
// is not taken for a hand-over, and a start in the background (at login)
// shows no window.
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <future>

#include "app/shell/single_instance.h"
#include "app/shell/tray_controller.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

void prepare(QProcess& app, const TempDir& home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(home.path().string()));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString((home / "c").string()));
    env.insert(QStringLiteral("XDG_DATA_HOME"), QString::fromStdString((home / "d").string()));
    env.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("dummy"));
    env.remove(QStringLiteral("CLAVIO_PING_URL"));
    env.remove(QStringLiteral("CLAVIO_UPDATE_FEED"));
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.setProgram(QStringLiteral(CLAVIO_BUILD_DIR "/bin/clavio"));
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
        prepare(first, home);
        first.setArguments({QStringLiteral("--background"), QStringLiteral("--replay"),
                            QStringLiteral("demo")});
        first.start();
        QByteArray log;
        QTRY_VERIFY_WITH_TIMEOUT((log += first.readAll()).contains("packs="), 10000);
        // Offscreen there is no tray, and in the background no panel opens.
        QVERIFY2(log.contains("the panel opens when Clavio is started again") &&
                     !log.contains("showing the panel as a window"),
                 log.constData());

        QProcess second;
        prepare(second, home);
        second.setArguments({QStringLiteral("--replay"), QStringLiteral("demo")});
        second.start();
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(second.readAll(), QByteArray("[Clavio] Clavio is already running: opening its panel\n"));
        QTRY_VERIFY((log += first.readAll()).contains("Clavio was started again: opening its panel"));

        first.terminate();
        QVERIFY(first.waitForFinished(10000));
        QCOMPARE(first.exitCode(), 0);
        QVERIFY(!QFileInfo::exists(socket)); // nothing left for the next start
    }

    void anInstanceThatNeverAnswersIsNotAHandOver() {
        TempDir home;
        const QString path = QString::fromStdString((home / "clavio-test").string());
        QLocalServer mute;
        QVERIFY(mute.listen(path));
        SingleInstance instance(path);
        QCOMPARE(instance.claim(300), SingleInstance::Claim::failed);
        QVERIFY2(instance.error().find("did not answer") != std::string::npos,
                 instance.error().c_str());
    }

    void theInstanceAnswersOnlyItsOwnRequest() {
        TempDir home;
        const QString path = QString::fromStdString((home / "clavio-test").string());
        SingleInstance primary(path);
        QCOMPARE(primary.claim(), SingleInstance::Claim::primary);
        QSignalSpy opened(&primary, &SingleInstance::openPanelRequested);
        QLocalSocket stranger;
        stranger.connectToServer(path);
        QVERIFY(stranger.waitForConnected(1000));
        stranger.write("open-panel please\n");
        QTRY_COMPARE(stranger.state(), QLocalSocket::UnconnectedState);
        QCOMPARE(opened.count(), 0);

        // A second claim blocks for the answer, so it runs beside the event loop.
        auto second = std::async(std::launch::async, [&] { return SingleInstance(path).claim(); });
        QTRY_VERIFY(second.wait_for(std::chrono::seconds(0)) == std::future_status::ready);
        QCOMPARE(second.get(), SingleInstance::Claim::handedOver);
        QCOMPARE(opened.count(), 1);
    }

    void withoutATrayOnlyAForegroundStartShowsThePanel() {
        for (const auto mode : {TrayController::StartMode::background,
                                TrayController::StartMode::foreground}) {
            QWidget panel;
            TrayController tray;
            tray.setPanelOpener([&] { panel.show(); });
            QVERIFY(!tray.start(mode)); // offscreen has no tray
            QApplication::processEvents();
            const auto shown = QApplication::topLevelWidgets();
            QCOMPARE(std::count_if(shown.begin(), shown.end(), [](QWidget* w) { return w->isVisible(); }),
                     mode == TrayController::StartMode::foreground ? 1 : 0);
        }
    }
};

QTEST_MAIN(InstanceTest)
#include "test_instance.moc"
