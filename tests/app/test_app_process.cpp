// The `clavio` executable as a whole: started on a replayed session with
// pings going to a loopback server, it sends "launch", plays the session, and
// on SIGTERM sends "quit" and ends cleanly; a broken trace is refused with a
// one-line error before anything starts.
#include <QProcess>
#include <QProcessEnvironment>
#include <QtTest>

#include <filesystem>

#include "engine/settings/tocca_settings.h"
#include "tests/app/coordinator_fixture.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

QString clavioBinary() {
    return QString::fromStdString((fs::path(CLAVIO_BUILD_DIR) / "bin" / "clavio").string());
}

QProcessEnvironment childEnvironment(const TempDir& home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"),
               QString::fromStdString((home / "config").string()));
    env.insert(QStringLiteral("XDG_DATA_HOME"), QString::fromStdString((home / "data").string()));
    env.insert(QStringLiteral("HOME"), QString::fromStdString(home.path().string()));
    env.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("dummy"));
    env.remove(QStringLiteral("CLAVIO_UPDATE_FEED"));
    env.remove(QStringLiteral("CLAVIO_PING_URL"));
    return env;
}

} // namespace

class AppProcessTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void replayedSessionPingsLaunchAndQuitOnSigterm() {
        TempDir home;
        PingServer server;
        QProcess app;
        QProcessEnvironment env = childEnvironment(home);
        env.insert(QStringLiteral("CLAVIO_PING_URL"), QString::fromStdString(server.baseUrl()));
        app.setProcessEnvironment(env);
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.start(clavioBinary(), {QStringLiteral("--replay"), QStringLiteral("demo")});
        QVERIFY2(app.waitForStarted(5000), qPrintable(app.errorString()));

        QTRY_VERIFY_WITH_TIMEOUT(server.events("launch").size() == 1, 10000);
        // The replay has an accelerometer, so the coordinator starts and the
        // session is heard through the pipeline.
        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT((output += app.readAllStandardOutput()).contains("packs="), 10000);
        QCOMPARE(server.events("launch")[0].value("sensor", ""), std::string("yes"));

        app.terminate(); // SIGTERM
        QVERIFY(app.waitForFinished(10000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
        QCOMPARE(server.events("quit").size(), std::size_t(1));
        // Quitting writes nothing: with no change made there is no settings file.
        QVERIFY(!fs::exists(home / "config" / "Clavio" / "settings.json"));
    }

    void aBrokenTraceIsRefusedWithOneLine() {
        TempDir home;
        const fs::path trace = home / "broken.jsonl";
        writeFile(trace, "{\"format\":\"clavio-trace\",\"version\":1}\n{\"t\": \"soon\"}\n");
        QProcess app;
        app.setProcessEnvironment(childEnvironment(home));
        app.start(clavioBinary(),
                  {QStringLiteral("--replay"), QString::fromStdString(trace.string())});
        QVERIFY(app.waitForFinished(10000));
        QCOMPARE(app.exitCode(), 2);
        const QString error = QString::fromLocal8Bit(app.readAllStandardError()).trimmed();
        QVERIFY2(error.startsWith(QStringLiteral("clavio: ")), qPrintable(error));
        QVERIFY2(error.contains(QStringLiteral("line 2")), qPrintable(error));
        QVERIFY2(!error.contains(QLatin1Char('\n')), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(AppProcessTest)
#include "test_app_process.moc"
