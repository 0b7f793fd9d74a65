// The update feed: reading it, comparing versions, and the checker against a
// loopback feed server (each answer ends in the right dialog, the check can
// run once at a time, and nothing hangs).
#include <QFile>
#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

#include <httplib.h>

#include <atomic>
#include <thread>

#include "app/updates/appcast.h"
#include "app/updates/sparkle_controller.h"
#include "app/updates/update_dialog.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace std::chrono_literals;
using Outcome = UpdateCheckResult::Outcome;

namespace {

QByteArray fixture(const char* name) {
    QFile file(QStringLiteral(CLAVIO_TEST_DATA_DIR "/appcast/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray feed(const QByteArray& items) {
    return "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/"
           "sparkle\"><channel>" +
           items + "</channel></rss>";
}

// Serves feed_1_2.xml at /feed.xml, a truncated feed at /broken.xml and the
// feed after a long silence at /slow.xml.
struct FeedServer {
    httplib::Server server;
    std::atomic<int> requests{0};
    std::atomic<bool> release{false};
    std::thread thread;
    int port = server.bind_to_any_port("127.0.0.1");

    FeedServer() {
        server.Get(R"(/(feed|broken|slow)\.xml)", [this](const auto& req, auto& res) {
            ++requests;
            for (int i = 0; req.path == "/slow.xml" && i < 2000 && !release; ++i) {
                std::this_thread::sleep_for(5ms);
            }
            res.set_content(req.path == "/broken.xml" ? "<rss><channel><item>"
                                                      : fixture("feed_1_2.xml").toStdString(),
                            "application/rss+xml");
        });
        thread = std::thread([this] { server.listen_after_bind(); });
        for (int i = 0; i < 500 && !server.is_running(); ++i) {
            std::this_thread::sleep_for(2ms);
        }
    }
    ~FeedServer() {
        release = true;
        server.stop();
        thread.join();
    }
    SparkleController::Options options(const char* path, std::string version = "1.1.0") const {
        return {"http://127.0.0.1:" + std::to_string(port) + path, std::move(version), 5000ms,
                true};
    }
};

UpdateDialog* shownDialog(const SparkleController& sparkle) {
    auto* dialog = qobject_cast<UpdateDialog*>(sparkle.dialog());
    return dialog && dialog->isVisible() ? dialog : nullptr;
}

} // namespace

class UpdatesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void versionsCompareAsDottedNumbers() {
        QCOMPARE(compareVersions("1.10", "1.9"), std::optional<int>(1));
        QCOMPARE(compareVersions("1.2", "1.2.0"), std::optional<int>(0));
        QCOMPARE(compareVersions("0.9.9", "1"), std::optional<int>(-1));
        QCOMPARE(compareVersions(" 2.0 ", "2"), std::optional<int>(0));
        QCOMPARE(compareVersions("010", "9"), std::optional<int>(1));
        for (const char* bad : {"", "1..2", "1.2.", ".1", "1.2b3", "-1", "+1", "1.x",
                                "1.2.3.4.5.6.7.8.9", "1.9999999999", "v1.0"}) {
            QVERIFY2(!compareVersions(bad, "1.0"), bad);
        }
    }

    void feedsYieldTheNewestReleaseWithALinkSafeToOpen() {
        auto parsed = parseAppcast(fixture("releases.xml")); // newest in any order
        QCOMPARE(parsed.newest->version, std::string("1.10.0"));
        QCOMPARE(parsed.newest->displayVersion, std::string("1.10"));
        QCOMPARE(parsed.newest->link, std::string("https://example.org/releases/1.10"));
        // A link that is not a web address is passed over for the next one.
        parsed = parseAppcast(fixture("element_version.xml"));
        QCOMPARE(parsed.newest->version, std::string("1.3.0"));
        QCOMPARE(parsed.newest->link, std::string("https://example.org/clavio-1.3.tar.gz"));
        parsed = parseAppcast(
            feed("<item><enclosure url=\"ftp://example.org/a\" sparkle:version=\"4\"/></item>"));
        QCOMPARE(parsed.newest->link, std::string());

        QCOMPARE(evaluateFeed(fixture("feed_1_2.xml"), "1.3.0").outcome, Outcome::upToDate);
        const auto dev = evaluateFeed(fixture("feed_1_2.xml"), "dev");
        QCOMPARE(dev.outcome, Outcome::failed);
        QVERIFY(dev.error.find("\"dev\"") != std::string::npos);
    }

    void brokenFeedsAreErrorsThatSayWhy() {
        const std::pair<QByteArray, const char*> cases[] = {
            {feed("<item><enclosure sparkle:version=\"2.0\"></item>"), "malformed"},
            {"<html><body>Not found</body></html>", "not an RSS feed"},
            {"   \n", "empty"},
            {feed(""), "lists no releases"},
            {feed("<item><enclosure url=\"https://e.org/a\"/></item>"),
             "no release with a version"},
            {"<rss xmlns:s=\"x\"><s:bad></rss>", "malformed"},
            {"<rss><item><sparkle:version>1</sparkle:version></item></rss>", "malformed"},
            {"<rss>\n<channel>\n<item>\n</channel>", "line 4"},
        };
        for (const auto& [xml, expected] : cases) {
            const auto parsed = parseAppcast(xml);
            QVERIFY2(!parsed.newest && parsed.error.find(expected) != std::string::npos,
                     (xml.toStdString() + " -> " + parsed.error).c_str());
        }
    }

    void aNewerReleaseIsOfferedOnceAtATime() {
        FeedServer server;
        SparkleController sparkle(server.options("/feed.xml"));
        std::vector<std::string> opened;
        sparkle.setUrlOpener([&](std::string url) { opened.push_back(std::move(url)); });
        QSignalSpy can(&sparkle, &SparkleController::canCheckForUpdatesChanged);
        QSignalSpy finished(&sparkle, &SparkleController::checkFinished);
        sparkle.checkForUpdates();
        QVERIFY(!sparkle.canCheckForUpdates()); // running: no second check starts
        sparkle.checkForUpdates();
        QVERIFY(finished.wait(10000));
        QCOMPARE(server.requests.load(), 1);
        QVERIFY(sparkle.canCheckForUpdates());
        QCOMPARE(can.count(), 2);

        QPointer<UpdateDialog> dialog(shownDialog(sparkle));
        QCOMPARE(dialog->headline(), QStringLiteral("Version 1.2 is available"));
        QVERIFY(dialog->message().contains(QStringLiteral("1.1.0")));
        Q_EMIT dialog->findChild<QLabel*>(QStringLiteral("message"))
            ->linkActivated(QStringLiteral("https://elsewhere.example/"));
        QCOMPARE(opened, std::vector<std::string>{"https://example.org/releases/1.2"});
        // A second check replaces the first answer rather than stacking dialogs.
        sparkle.checkForUpdates();
        QVERIFY(finished.wait(10000));
        QVERIFY(dialog.isNull() && shownDialog(sparkle));
    }

    void feedTextIsShownAsTextNeverAsMarkup() {
        UpdateCheckResult result;
        result.outcome = Outcome::updateAvailable;
        result.currentVersion = "1.0";
        result.version = "<img src=x>2.0";
        result.link = "https://example.org/get?a=1&b=2";
        UpdateDialog dialog(result, {});
        QCOMPARE(dialog.headline(), QStringLiteral("Version <img src=x>2.0 is available"));
        QVERIFY(dialog.message().contains(QStringLiteral("Get version <img src=x>2.0")));
    }

    void aBrokenMissingOrSilentFeedShowsTheErrorInTimeAndNothingWaits() {
        testing::LogCapture log;
        FeedServer server;
        for (const char* path : {"/broken.xml", "/missing.xml", "/slow.xml"}) {
            auto options = server.options(path);
            options.timeout = 400ms;
            SparkleController sparkle(options);
            QSignalSpy finished(&sparkle, &SparkleController::checkFinished);
            QElapsedTimer timer;
            timer.start();
            sparkle.checkForUpdates();
            QVERIFY(finished.wait(10000));
            QVERIFY2(timer.elapsed() < 3000, path);
            QVERIFY(sparkle.canCheckForUpdates());
            QCOMPARE(sparkle.lastResult()->outcome, Outcome::failed);
            QCOMPARE(shownDialog(sparkle)->headline(), QStringLiteral("Update check failed"));
        }
        QVERIFY(log.contains("[Clavio] Update check failed: The update feed is malformed"));
        QVERIFY(log.contains("HTTP 404"));
        QVERIFY(log.contains("within 400 ms"));

        // Destroyed during a check: gone at once, not when the server answers;
        // the cancelled worker's result goes with the object.
        auto options = server.options("/slow.xml");
        options.timeout = 30000ms;
        auto sparkle = std::make_unique<SparkleController>(options);
        const int before = server.requests;
        sparkle->checkForUpdates();
        QTRY_COMPARE(server.requests.load(), before + 1);
        QElapsedTimer timer;
        timer.start();
        sparkle.reset();
        QVERIFY(timer.elapsed() < 3000);
        QCoreApplication::processEvents();
    }

    void theFeedComesFromTheEnvironmentAndNoneMeansNoChecks() {
        {
            testing::ScopedEnv env("CLAVIO_UPDATE_FEED", "https://example.org/feed.xml");
            QVERIFY(SparkleController().canCheckForUpdates());
        }
        testing::ScopedEnv env("CLAVIO_UPDATE_FEED", ""); // set but empty: off
        SparkleController sparkle;
        QVERIFY(!sparkle.canCheckForUpdates());
        QSignalSpy finished(&sparkle, &SparkleController::checkFinished);
        sparkle.checkForUpdates();
        QVERIFY(!finished.wait(300));
        QVERIFY(!sparkle.dialog());
    }
};

QTEST_MAIN(UpdatesTest)
#include "test_updates.moc"
