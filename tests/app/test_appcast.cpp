// Reading the update feed and comparing versions.
#include <QFile>
#include <QtTest>

#include "app/updates/appcast.h"
#include "app/updates/sparkle_controller.h"

using namespace clavio;

namespace {
QByteArray fixture(const char* name) {
    QFile file(QStringLiteral(CLAVIO_TEST_DATA_DIR "/appcast/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly)) {
        qFatal("missing fixture %s", name);
    }
    return file.readAll();
}

// A feed around the given items.
QByteArray feed(const QByteArray& items) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">\n"
           "<channel><title>Clavio</title>\n" +
           items + "</channel></rss>\n";
}
} // namespace

class AppcastTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void versionsCompareAsDottedNumbers() {
        QCOMPARE(compareVersions("1.10", "1.9"), std::optional<int>(1));
        QCOMPARE(compareVersions("1.2", "1.2.0"), std::optional<int>(0));
        QCOMPARE(compareVersions("1.2.0.1", "1.2"), std::optional<int>(1));
        QCOMPARE(compareVersions("0.9.9", "1"), std::optional<int>(-1));
        QCOMPARE(compareVersions(" 2.0 ", "2"), std::optional<int>(0));
        QCOMPARE(compareVersions("010", "9"), std::optional<int>(1));
        for (const char* bad : {"", "1..2", "1.2.", ".1", "1.2b3", "-1", "+1", "1.x",
                                "1.2.3.4.5.6.7.8.9", "1.9999999999", "v1.0"}) {
            QVERIFY2(!parseVersion(bad), bad);
            QVERIFY2(!compareVersions(bad, "1.0"), bad);
        }
        QCOMPARE(parseVersion("1.2.3"), (std::optional<std::vector<unsigned>>({1, 2, 3})));
    }

    void picksTheNewestReleaseWhateverTheOrder() {
        const auto parsed = parseAppcast(fixture("releases.xml"));
        QVERIFY2(parsed.error.empty(), parsed.error.c_str());
        QVERIFY(parsed.newest);
        QCOMPARE(parsed.newest->version, std::string("1.10.0"));
        QCOMPARE(parsed.newest->displayVersion, std::string("1.10"));
        QCOMPARE(parsed.newest->link, std::string("https://example.org/releases/1.10"));
    }

    void versionFromElementsAndLinksThatAreSafeToOpen() {
        // A link that is not a web address is passed over for the next one.
        auto parsed = parseAppcast(fixture("element_version.xml"));
        QVERIFY2(parsed.error.empty(), parsed.error.c_str());
        QCOMPARE(parsed.newest->version, std::string("1.3.0"));
        QCOMPARE(parsed.newest->displayVersion, std::string("1.3.0"));
        QCOMPARE(parsed.newest->link, std::string("https://example.org/clavio-1.3.tar.gz"));

        parsed = parseAppcast(
            feed("<item><enclosure url=\"ftp://example.org/a\" sparkle:version=\"4\"/></item>"));
        QVERIFY(parsed.error.empty());
        QCOMPARE(parsed.newest->link, std::string());
    }

    void brokenFeedsAreErrorsThatSayWhy() {
        struct Case {
            QByteArray xml;
            const char* expected;
        };
        const Case cases[] = {
            {feed("<item><enclosure sparkle:version=\"2.0\"></item>"), "malformed"},
            {"<rss><channel><item>", "malformed"},
            {"<html><body>Not found</body></html>", "not an RSS feed"},
            {"", "empty"},
            {"   \n", "empty"},
            {feed(""), "lists no releases"},
            {feed("<item><enclosure url=\"https://e.org/a\"/></item>"),
             "no release with a version"},
            {"<rss xmlns:s=\"x\"><s:bad></rss>", "malformed"},
            {"<rss><item><sparkle:version>1</sparkle:version></item></rss>", "malformed"},
        };
        for (const auto& c : cases) {
            const auto parsed = parseAppcast(c.xml);
            QVERIFY2(!parsed.newest, c.xml.constData());
            QVERIFY2(parsed.error.find(c.expected) != std::string::npos,
                     (c.xml.toStdString() + " -> " + parsed.error).c_str());
        }
        const auto parsed = parseAppcast("<rss>\n<channel>\n<item>\n</channel>");
        QVERIFY2(parsed.error.find("line 4") != std::string::npos, parsed.error.c_str());
    }

    void evaluatingAFeedAgainstThisBuild() {
        const QByteArray f = fixture("feed_1_2.xml");
        auto r = evaluateFeed(f, "1.1.9");
        QCOMPARE(r.outcome, UpdateCheckResult::Outcome::updateAvailable);
        QCOMPARE(r.version, std::string("1.2"));
        QCOMPARE(r.link, std::string("https://example.org/releases/1.2"));
        r = evaluateFeed(f, "1.2");
        QCOMPARE(r.outcome, UpdateCheckResult::Outcome::upToDate);
        r = evaluateFeed(f, "1.3.0"); // a build newer than the feed is up to date
        QCOMPARE(r.outcome, UpdateCheckResult::Outcome::upToDate);
        r = evaluateFeed(f, "dev");
        QCOMPARE(r.outcome, UpdateCheckResult::Outcome::failed);
        QVERIFY(r.error.find("\"dev\"") != std::string::npos);
        r = evaluateFeed("<rss", "1.0");
        QCOMPARE(r.outcome, UpdateCheckResult::Outcome::failed);
    }
};

QTEST_MAIN(AppcastTest)
#include "test_appcast.moc"
