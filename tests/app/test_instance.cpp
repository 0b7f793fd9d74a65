// One Clavio per user, with real processes: a second start hands over to the
// first and ends with one line, the socket of a killed run does not block the
// next start, and a start in the background (at login) shows no window.
#include <QProcess>
#include <QtTest>

#include <unistd.h>

#include "app/shell/tray_controller.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;

namespace {

// `clavio ARGS --replay demo` offscreen and silent, with every folder in `home`.
void start(QProcess& app, const TempDir& home, QStringList args = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
        env.insert(QLatin1String(name), QString::fromStdString(home.path().string()));
    }
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("dummy"));
    env.remove(QStringLiteral("CLAVIO_PING_URL"));
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.start(QStringLiteral(CLAVIO_BUILD_DIR "/bin/clavio"),
              args << QStringLiteral("--replay") << QStringLiteral("demo"));
}

} // namespace

class InstanceTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void aSecondStartHandsOverToTheFirstEvenAfterAKilledRun() {
        TempDir home;
        const auto socket = home / ("clavio-" + std::to_string(::getuid()));
        QProcess killed;
        start(killed, home);
        QTRY_VERIFY_WITH_TIMEOUT(std::filesystem::exists(socket), 10000);
        killed.kill(); // SIGKILL: the socket file stays behind
        QVERIFY(killed.waitForFinished(5000) && std::filesystem::exists(socket));

        QProcess first;
        start(first, home, {QStringLiteral("--background")});
        QByteArray log;
        QTRY_VERIFY_WITH_TIMEOUT((log += first.readAll()).contains("packs="), 10000);
        QProcess second;
        start(second, home);
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(second.readAll(),
                 QByteArray("[Clavio] Clavio is already running: opening its panel\n"));
        QTRY_VERIFY((log += first.readAll()).contains("started again: opening its panel"));
        first.terminate();
        QVERIFY(first.waitForFinished(10000));
        QCOMPARE(first.exitCode(), 0);
        QVERIFY(!std::filesystem::exists(socket)); // nothing left for the next start
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
