// The `clavio` executable on a replayed session: pings "launch", ends cleanly
// on SIGTERM after pinging "quit"; a broken trace is refused in one line; the
// HTTP and zip libraries are mapped only once something needs them.
#include <QProcess>
#include <QtTest>

#include <nlohmann/json.hpp>

#include "tests/support/loopback_http_server.h"
#include "tests/support/test_support.h"

using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

// Starts the application replaying `trace`, with its folders in `home`,
// offscreen, silent; standard error merged into standard output.
void start(QProcess& app, const TempDir& home, const std::string& trace,
           const std::string& pingUrl = "") {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const std::pair<const char*, std::string> variables[] = {
        {"QT_QPA_PLATFORM", "offscreen"},
        {"XDG_CONFIG_HOME", (home / "config").string()},
        {"XDG_DATA_HOME", (home / "data").string()},
        {"HOME", home.path().string()},
        {"SDL_AUDIODRIVER", "dummy"},
        {"CLAVIO_PING_URL", pingUrl}};
    for (const auto& [name, value] : variables) {
        env.insert(QLatin1String(name), QString::fromStdString(value));
    }
    env.remove(QStringLiteral("CLAVIO_UPDATE_FEED"));
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.start(QStringLiteral(CLAVIO_BUILD_DIR "/bin/clavio"),
              {QStringLiteral("--replay"), QString::fromStdString(trace)});
}

std::size_t events(const LoopbackHttpServer& server, const std::string& name,
                   const char* sensor = nullptr) {
    const auto& requests = server.received();
    return std::count_if(requests.begin(), requests.end(), [&](const auto& request) {
        const auto body = nlohmann::json::parse(request.body, nullptr, false);
        return body.is_object() && body.value("event", "") == name &&
               (!sensor || body.value("sensor", "") == sensor);
    });
}

// Whether the running process has mapped a file whose name holds `library`.
bool maps(const QProcess& app, const std::string& library) {
    return readFile(fs::path("/proc") / std::to_string(app.processId()) / "maps").find(library) !=
           std::string::npos;
}

} // namespace

class AppProcessTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void replayedSessionPingsLaunchAndQuitOnSigterm() {
        TempDir home;
        LoopbackHttpServer server;
        QProcess app;
        start(app, home, "demo", server.baseUrl());
        QVERIFY2(app.waitForStarted(5000), qPrintable(app.errorString()));
        // The replay has an accelerometer, so the coordinator starts.
        QTRY_VERIFY_WITH_TIMEOUT(events(server, "launch", "yes") == 1, 10000);
        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT((output += app.readAllStandardOutput()).contains("packs="), 10000);
        QVERIFY(maps(app, "libcurl") && !maps(app, "libarchive"));

        app.terminate(); // SIGTERM
        QVERIFY(app.waitForFinished(10000));
        QVERIFY(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0);
        QCOMPARE(events(server, "quit"), std::size_t(1));
        // Quitting writes nothing: with no change made there is no settings file.
        QVERIFY(!fs::exists(home / "config" / "Clavio" / "settings.json"));
    }

    void withoutPingsNoHttpLibraryIsLoaded() {
        TempDir home;
        QProcess app;
        start(app, home, "demo");
        QVERIFY2(app.waitForStarted(5000), qPrintable(app.errorString()));
        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT((output += app.readAllStandardOutput()).contains("packs="), 10000);
        QVERIFY(!maps(app, "libcurl") && !maps(app, "libarchive") && maps(app, "libsndfile"));
        app.terminate();
        QVERIFY(app.waitForFinished(10000));
    }

    void aBrokenTraceIsRefusedWithOneLine() {
        TempDir home;
        writeFile(home / "broken.jsonl",
                  "{\"format\":\"clavio-trace\",\"version\":1}\n{\"t\": \"soon\"}\n");
        QProcess app;
        start(app, home, (home / "broken.jsonl").string());
        QVERIFY(app.waitForFinished(10000));
        const QString error = QString::fromLocal8Bit(app.readAllStandardOutput()).trimmed();
        QVERIFY2(app.exitCode() == 2 && error.startsWith(QStringLiteral("clavio: ")) &&
                     error.contains(QStringLiteral("line 2")) && !error.contains(QLatin1Char('\n')),
                 qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(AppProcessTest)
#include "test_app_process.moc"
