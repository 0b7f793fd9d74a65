// The update checker against a loopback feed server: each answer ends in the
// right dialog, `canCheckForUpdates` follows the check, and nothing hangs.
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/updates/sparkle_controller.h"
#include "tests/support/test_support.h"
#include "app/updates/update_dialog.h"

using namespace clavio;
using namespace std::chrono_literals;

namespace {

QByteArray feed12() {
    QFile file(QStringLiteral(CLAVIO_TEST_DATA_DIR "/appcast/feed_1_2.xml"));
    if (!file.open(QIODevice::ReadOnly)) {
        qFatal("missing fixture feed_1_2.xml");
    }
    return file.readAll();
}

class FeedServer {
public:
    httplib::Server server;
    std::atomic<bool> release{false};
    std::atomic<int> requests{0};

    FeedServer() {
        server.Get("/feed.xml", [this](const httplib::Request&, httplib::Response& res) {
            ++requests;
            res.set_content(_feed.toStdString(), "application/rss+xml");
        });
        server.Get("/broken.xml", [this](const httplib::Request&, httplib::Response& res) {
            ++requests;
            res.set_content("<rss><channel><item>", "application/rss+xml");
        });
        server.Get("/slow.xml", [this](const httplib::Request&, httplib::Response& res) {
            ++requests;
            for (int i = 0; i < 2000 && !release.load(); ++i) {
                std::this_thread::sleep_for(5ms);
            }
            res.set_content(_feed.toStdString(), "application/rss+xml");
        });
        _port = server.bind_to_any_port("127.0.0.1");
        _thread = std::thread([this] { server.listen_after_bind(); });
        for (int i = 0; i < 500 && !server.is_running(); ++i) {
            std::this_thread::sleep_for(2ms);
        }
    }
    ~FeedServer() {
        release.store(true);
        server.stop();
        _thread.join();
    }
    std::string url(const char* path) const {
        return "http://127.0.0.1:" + std::to_string(_port) + path;
    }

private:
    const QByteArray _feed = feed12();
    int _port = 0;
    std::thread _thread;
};

SparkleController::Options options(std::string feed, std::string version = "1.1.0") {
    SparkleController::Options o;
    o.feedUrl = std::move(feed);
    o.currentVersion = std::move(version);
    o.timeout = 5000ms;
    return o;
}

UpdateDialog* shownDialog(const SparkleController& sparkle) {
    auto* dialog = qobject_cast<UpdateDialog*>(sparkle.dialog());
    return dialog && dialog->isVisible() ? dialog : nullptr;
}

} // namespace

class SparkleControllerTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY(qgetenv("QT_QPA_PLATFORM") == "offscreen"); }

    void aNewerReleaseIsOfferedWithItsLink() {
        FeedServer feed;
        QVERIFY(feed.server.is_running());
        SparkleController sparkle(options(feed.url("/feed.xml")));
        std::vector<std::string> opened;
        sparkle.setUrlOpener([&](std::string url) { opened.push_back(std::move(url)); });
        QVERIFY(sparkle.canCheckForUpdates());
        QCOMPARE(sparkle.property("canCheckForUpdates").toBool(), true);

        QSignalSpy can(&sparkle, &SparkleController::canCheckForUpdatesChanged);
        QSignalSpy finished(&sparkle, &SparkleController::checkFinished);
        sparkle.checkForUpdates();
        // Running: no second check can start.
        QVERIFY(!sparkle.canCheckForUpdates());
        sparkle.checkForUpdates();
        QVERIFY(finished.wait(10000));
        QCOMPARE(feed.requests.load(), 1);
        QVERIFY(sparkle.canCheckForUpdates());
        QCOMPARE(can.count(), 2);
        QCOMPARE(can.at(0).at(0).toBool(), false);
        QCOMPARE(can.at(1).at(0).toBool(), true);

        QCOMPARE(sparkle.lastResult()->outcome, UpdateCheckResult::Outcome::updateAvailable);
        UpdateDialog* dialog = shownDialog(sparkle);
        QVERIFY(dialog);
        QCOMPARE(dialog->headline(), QStringLiteral("Version 1.2 is available"));
        QVERIFY2(dialog->message().contains(QStringLiteral("1.1.0")),
                 qPrintable(dialog->message()));
        auto* message = dialog->findChild<QLabel*>(QStringLiteral("message"));
        QVERIFY(message->text().contains(QStringLiteral("https://example.org/releases/1.2")));
        Q_EMIT message->linkActivated(QStringLiteral("https://elsewhere.example/"));
        QCOMPARE(opened, std::vector<std::string>{"https://example.org/releases/1.2"});

        // A second check replaces the first answer rather than stacking dialogs.
        QPointer<UpdateDialog> first(dialog);
        sparkle.checkForUpdates();
        QVERIFY(finished.wait(10000));
        QCOMPARE(feed.requests.load(), 2);
        QVERIFY(first.isNull());
        QVERIFY(shownDialog(sparkle));
    }

    void feedTextIsShownAsTextNeverAsMarkup() {
        UpdateCheckResult result;
        result.outcome = UpdateCheckResult::Outcome::updateAvailable;
        result.currentVersion = "1.0";
        result.version = "<img src=x>2.0";
        result.link = "https://example.org/get?a=1&b=2";
        std::vector<std::string> opened;
        UpdateDialog dialog(result, [&](std::string url) { opened.push_back(std::move(url)); });
        QCOMPARE(dialog.headline(), QStringLiteral("Version <img src=x>2.0 is available"));
        QVERIFY2(dialog.message().contains(QStringLiteral("Get version <img src=x>2.0")),
                 qPrintable(dialog.message()));
        auto* message = dialog.findChild<QLabel*>(QStringLiteral("message"));
        Q_EMIT message->linkActivated(QString());
        QCOMPARE(opened, std::vector<std::string>{result.link});
    }

    void theSameReleaseIsUpToDate() {
        FeedServer feed;
        SparkleController sparkle(options(feed.url("/feed.xml"), "1.2"));
        QSignalSpy finished(&sparkle, &SparkleController::checkFinished);
        sparkle.checkForUpdates();
        QVERIFY(finished.wait(10000));
        QCOMPARE(sparkle.lastResult()->outcome, UpdateCheckResult::Outcome::upToDate);
        UpdateDialog* dialog = shownDialog(sparkle);
        QVERIFY(dialog);
        QCOMPARE(dialog->headline(), QStringLiteral("You're up to date!"));
        QCOMPARE(dialog->message(), QStringLiteral("Clavio 1.2 is the newest version available."));
    }

    void aMalformedFeedOrAMissingOneShowsTheError() {
        clavio::testing::LogCapture log;
        FeedServer feed;
        for (const char* path : {"/broken.xml", "/missing.xml"}) {
            SparkleController sparkle(options(feed.url(path)));
            QSignalSpy finished(&sparkle, &SparkleController::checkFinished);
            sparkle.checkForUpdates();
            QVERIFY(finished.wait(10000));
            QVERIFY(sparkle.canCheckForUpdates());
            QCOMPARE(sparkle.lastResult()->outcome, UpdateCheckResult::Outcome::failed);
            UpdateDialog* dialog = shownDialog(sparkle);
            QVERIFY(dialog);
            QCOMPARE(dialog->headline(), QStringLiteral("Update check failed"));
            QVERIFY(dialog->message() == QString::fromStdString(sparkle.lastResult()->error));
        }
        QVERIFY(log.contains("[Clavio] Update check failed: The update feed is malformed"));
        QVERIFY(log.contains("HTTP 404"));
    }

    void aSilentFeedFailsWithinTheTimeout() {
        // A refused connection is the fetch's own test; here the server
        // accepts and never answers.
        FeedServer feed;
        auto o = options(feed.url("/slow.xml"));
        o.timeout = 400ms;
        SparkleController sparkle(o);
        QSignalSpy finished(&sparkle, &SparkleController::checkFinished);
        QElapsedTimer timer;
        timer.start();
        sparkle.checkForUpdates();
        QVERIFY(finished.wait(10000));
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(sparkle.lastResult()->error.find("within 400 ms") != std::string::npos);
        QVERIFY(sparkle.canCheckForUpdates());
    }

    void withoutAFeedNothingCanBeChecked() {
        SparkleController sparkle(options(""));
        QVERIFY(!sparkle.canCheckForUpdates());
        QSignalSpy finished(&sparkle, &SparkleController::checkFinished);
        QSignalSpy can(&sparkle, &SparkleController::canCheckForUpdatesChanged);
        sparkle.checkForUpdates();
        QVERIFY(!finished.wait(300));
        QCOMPARE(can.count(), 0);
        QVERIFY(!sparkle.lastResult());
        QVERIFY(!sparkle.dialog());
    }

    void theFeedComesFromTheEnvironment() {
        {
            clavio::testing::ScopedEnv env("CLAVIO_UPDATE_FEED", "https://example.org/feed.xml");
            QCOMPARE(SparkleController::configuredFeed(),
                     std::string("https://example.org/feed.xml"));
            SparkleController sparkle;
            QVERIFY(sparkle.canCheckForUpdates());
        }
        {
            // Set but empty turns checks off even when the build has a default.
            clavio::testing::ScopedEnv env("CLAVIO_UPDATE_FEED", "");
            SparkleController sparkle;
            QVERIFY(!sparkle.canCheckForUpdates());
        }
        clavio::testing::ScopedEnv env("CLAVIO_UPDATE_FEED", std::nullopt);
        QCOMPARE(SparkleController::configuredFeed(), std::string(CLAVIO_DEFAULT_UPDATE_FEED));
    }

    void destroyingDuringACheckDoesNotWaitForTheServer() {
        FeedServer feed;
        auto o = options(feed.url("/slow.xml"));
        o.timeout = 30000ms;
        QElapsedTimer timer;
        {
            SparkleController sparkle(o);
            sparkle.checkForUpdates();
            QTRY_COMPARE(feed.requests.load(), 1);
            timer.start();
        }
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
        // The result posted by the cancelled worker went with the object.
        QCoreApplication::processEvents();
    }
};

QTEST_MAIN(SparkleControllerTest)
#include "test_sparkle_controller.moc"
