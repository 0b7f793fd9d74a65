// The update feed (parsing, versions), the dialog, and the checker against a
// loopback feed server.
#include <QFile>
#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

#include "app/updates/appcast.h"
#include "app/updates/sparkle_controller.h"
#include "app/updates/update_dialog.h"
#include "tests/support/loopback_http_server.h"
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
           "sparkle\"><channel>" + items + "</channel></rss>";
}

UpdateDialog* shownDialog(const SparkleController& sparkle) {
    auto* dialog = qobject_cast<UpdateDialog*>(sparkle.dialog());
    return dialog && dialog->isVisible() ? dialog : nullptr;
}

} // namespace

class UpdatesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void versionsCompareAsDottedNumbers() {
        const std::tuple<const char*, const char*, int> ordered[] = {
            {"1.10", "1.9", 1}, {"1.2", "1.2.0", 0}, {"0.9.9", "1", -1}, {" 2.0 ", "2", 0},
            {"010", "9", 1}};
        for (const auto& [a, b, order] : ordered) {
            QVERIFY2(compareVersions(a, b) == std::optional<int>(order), a);
        }
        for (const char* bad : {"", "1..2", "1.2.", ".1", "1.2b3", "-1", "+1", "1.x",
                                "1.2.3.4.5.6.7.8.9", "1.9999999999", "v1.0"}) {
            QVERIFY2(!compareVersions(bad, "1.0"), bad);
        }
    }

    void feedsYieldTheNewestReleaseWithALinkSafeToOpen() {
        auto parsed = parseAppcast(fixture("releases.xml")); // newest in any order
        QCOMPARE(parsed.newest->version + " " + parsed.newest->displayVersion + " " +
                     parsed.newest->link,
                 std::string("1.10.0 1.10 https://example.org/releases/1.10"));
        // A link that is not a web address is passed over for the next one.
        parsed = parseAppcast(fixture("element_version.xml"));
        QCOMPARE(parsed.newest->version + " " + parsed.newest->link,
                 std::string("1.3.0 https://example.org/clavio-1.3.tar.gz"));
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

    // Feed text is shown as text, never as markup; a click opens the
    // release's own link whatever the label says.
    void dialogShowsFeedTextAsTextAndOpensTheReleaseLink() {
        const UpdateCheckResult result{Outcome::updateAvailable, "1.0", "<img src=x>2.0",
                                       "https://example.org/get?a=1&b=2", ""};
        std::vector<std::string> opened;
        UpdateDialog dialog(result, [&](std::string url) { opened.push_back(std::move(url)); });
        QCOMPARE(dialog.headline(), QStringLiteral("Version <img src=x>2.0 is available"));
        QVERIFY(dialog.message().contains(QStringLiteral("Get version <img src=x>2.0")));
        Q_EMIT dialog.findChild<QLabel*>(QStringLiteral("message"))
            ->linkActivated(QStringLiteral("https://elsewhere.example/"));
        QCOMPARE(opened, std::vector<std::string>{result.link});
    }

    void checksOfferANewerReleaseOneAtATimeAndNeverHang() {
        testing::LogCapture log;
        // The feed at /feed.xml; at /slow.xml only when the server stops hanging.
        testing::LoopbackHttpServer server([&](httplib::Server& routes) {
            routes.Get(R"(/(feed|slow)\.xml)", [&](const auto& request, auto& reply) {
                if (request.path == "/slow.xml") {
                    server.hold();
                }
                reply.set_content(fixture("feed_1_2.xml").toStdString(), "application/rss+xml");
            });
        });
        const auto options = [&](const char* path, std::chrono::milliseconds timeout) {
            return SparkleController::Options{server.baseUrl() + path, "1.1.0", timeout, true};
        };
        SparkleController sparkle(options("/feed.xml", 5000ms));
        QSignalSpy finished(&sparkle, &SparkleController::checkFinished);
        sparkle.checkForUpdates();
        QVERIFY(!sparkle.canCheckForUpdates()); // running: no second check starts
        sparkle.checkForUpdates();
        QVERIFY(finished.wait(10000) && sparkle.canCheckForUpdates());
        QCOMPARE(server.received().size(), std::size_t(1));
        QCOMPARE(shownDialog(sparkle)->headline(), QStringLiteral("Version 1.2 is available"));
        QVERIFY(shownDialog(sparkle)->message().contains(QStringLiteral("1.1.0")));

        server.setHanging(true);
        SparkleController silent(options("/slow.xml", 400ms));
        QSignalSpy failed(&silent, &SparkleController::checkFinished);
        QElapsedTimer timer;
        timer.start();
        silent.checkForUpdates();
        QVERIFY(failed.wait(10000) && timer.elapsed() < 3000 && silent.canCheckForUpdates());
        QCOMPARE(silent.lastResult()->outcome, Outcome::failed);
        QCOMPARE(shownDialog(silent)->headline(), QStringLiteral("Update check failed"));
        QVERIFY(log.contains("[Clavio] Update check failed:") && log.contains("within 400 ms"));

        // Destroyed during a check: gone at once, not when the server answers;
        // the cancelled worker's result goes with the object.
        auto quitting = std::make_unique<SparkleController>(options("/slow.xml", 30000ms));
        quitting->checkForUpdates();
        QVERIFY(server.waitForRequests(3, 5000ms));
        timer.restart();
        quitting.reset();
        QVERIFY(timer.elapsed() < 3000);
        QCoreApplication::processEvents();
    }

    void theFeedComesFromTheEnvironmentAndNoneMeansNoChecks() {
        testing::ScopedEnv env("CLAVIO_UPDATE_FEED", "https://example.org/feed.xml");
        QVERIFY(SparkleController().canCheckForUpdates());
        testing::ScopedEnv off("CLAVIO_UPDATE_FEED", ""); // set but empty: off
        SparkleController sparkle;
        QSignalSpy finished(&sparkle, &SparkleController::checkFinished);
        QVERIFY(!sparkle.canCheckForUpdates());
        sparkle.checkForUpdates();
        QVERIFY(!finished.wait(300) && !sparkle.dialog());
    }
};

QTEST_MAIN(UpdatesTest)
#include "test_updates.moc"
