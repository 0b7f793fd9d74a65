// The application shell: the main queue on the Qt event loop, the
// incompatible screen, the window registry, the tray icon and its fallback
// without a system tray, and the installed icon files.
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QXmlStreamReader>
#include <QtTest>

#include <stdexcept>
#include <thread>

#include "app/services/qt_main_queue.h"
#include "app/shell/menu_bar_icon.h"
#include "app/shell/tray_controller.h"
#include "app/shell/window_registry.h"
#include "app/views/incompatible_view.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::LogCapture;
using namespace std::chrono_literals;

namespace {

int pixelsAbove(const QImage& image, int alpha) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            n += qAlpha(image.pixel(x, y)) > alpha;
        }
    }
    return n;
}

} // namespace

class ShellTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void postsFromAnyThreadRunOnTheGuiThreadInOrderAndSurviveAThrow() {
        LogCapture log;
        QtMainQueue queue;
        std::vector<int> order;
        std::atomic<int> offMain{0};
        queue.post([] { throw std::runtime_error("boom"); });
        std::thread worker([&] {
            offMain += queue.isMainThread() ? 0 : 1;
            for (int i = 0; i < 100; ++i) {
                queue.post(
                    [&, i] { offMain += queue.isMainThread() ? 0 : 100, order.push_back(i); });
            }
        });
        worker.join();
        QVERIFY(order.empty()); // nothing runs before the loop turns
        QTRY_COMPARE(order.size(), std::size_t(100));
        QVERIFY(std::is_sorted(order.begin(), order.end()));
        QCOMPARE(offMain.load(), 1); // the worker is off the main thread, no task is
        QVERIFY(log.contains("[Clavio] Main queue task failed: boom"));
    }

    void repeatingTimersTickFromOneIntervalOnUntilTheirHandleGoes() {
        QtMainQueue queue;
        QElapsedTimer clock;
        qint64 first = -1;
        int ticks = 0;
        clock.start();
        TimerHandle handle = queue.scheduleRepeating(50ms, [&] {
            first = first < 0 ? clock.elapsed() : first;
            ++ticks;
        });
        QTRY_VERIFY(ticks >= 2);
        QVERIFY2(first >= 45, qPrintable(QString::number(first))); // not at once
        handle.invalidate();
        const int stopped = ticks;
        QTest::qWait(120);
        QCOMPARE(ticks, stopped);
        QTRY_COMPARE(queue.findChildren<QTimer*>().size(), qsizetype(0)); // deleted

        int other = 0, selfEnding = 0;
        (void)queue.scheduleRepeating(5ms, [&] { ++other; }); // the handle goes at once
        TimerHandle own;
        own = queue.scheduleRepeating(5ms, [&] { ++selfEnding, own.invalidate(); });
        QTest::qWait(60);
        QCOMPARE(other, 0);
        QCOMPARE(selfEnding, 1); // a tick may end its own timer
        // Intervals that are not positive are refused; others round up.
        LogCapture log;
        QVERIFY(!queue.scheduleRepeating(0ns, [] {}).isValid());
        QVERIFY(!queue.scheduleRepeating(-5ms, [] {}).isValid());
        QCOMPARE(log.count("Repeating timer refused"), std::size_t(2));
        QCOMPARE(queue.activeTimerCount(), 0);
        QCOMPARE(QtMainQueue::timerMilliseconds(1500us), 2);
        QCOMPARE(QtMainQueue::timerMilliseconds(std::chrono::hours(24 * 365)),
                 std::numeric_limits<int>::max());
    }

    void incompatibleTextIsFullyVisibleAndItsButtonsWork() {
        IncompatibleView view(nullptr, "https://www.example.org/clavio");
        std::vector<std::string> opened;
        view.setUrlOpener([&](std::string url) { opened.push_back(std::move(url)); });
        view.show();
        QApplication::processEvents();
        // Each explanation label wraps at the full width and is as tall as
        // its wrapped text.
        for (const char* name : {"requirement", "reason"}) {
            auto* label = view.findChild<QLabel*>(QLatin1String(name));
            QVERIFY2(label->width() > IncompatibleView::kTextWidth - 20, name);
            const QRect needed = label->fontMetrics().boundingRect(
                QRect(0, 0, label->width(), 1000), Qt::AlignHCenter | Qt::TextWordWrap,
                label->text());
            QVERIFY2(label->height() >= needed.height(), name);
        }
        auto* link = view.findChild<QLabel*>(QStringLiteral("websiteLink"));
        QVERIFY(link->text().contains(QStringLiteral(">example.org<"))); // names the site
        QVERIFY(!link->openExternalLinks());
        Q_EMIT link->linkActivated(QStringLiteral("https://elsewhere.example/"));
        QCOMPARE(opened, std::vector<std::string>{"https://www.example.org/clavio"});
        QSignalSpy quit(&view, &IncompatibleView::quitRequested);
        QTest::mouseClick(view.findChild<QPushButton*>(QStringLiteral("quitButton")),
                          Qt::LeftButton);
        QCOMPARE(quit.count(), 1);
        // A site that is not a web address is never opened.
        IncompatibleView local(nullptr, "file:///etc/passwd");
        local.setUrlOpener([&](std::string url) { opened.push_back(std::move(url)); });
        Q_EMIT local.findChild<QLabel*>(QStringLiteral("websiteLink"))->linkActivated({});
        QCOMPARE(opened.size(), std::size_t(1));
    }

    void windowsAreMadeOnceAndBroughtBack() {
        LogCapture log;
        auto registry = std::make_unique<WindowRegistry>();
        int made = 0;
        registry->declare("settings", [&] {
            auto* w = new QWidget;
            w->setAttribute(Qt::WA_DeleteOnClose); // the registry keeps it anyway
            return ++made, w;
        });
        QWidget* first = registry->open("settings");
        first->close();
        QApplication::processEvents();
        QCOMPARE(registry->open("settings"), first);
        QVERIFY(first->isVisible());
        delete first; // behind the registry's back: made anew, not a dangling pointer
        QCOMPARE(registry->window("settings"), nullptr);
        QPointer<QWidget> again(registry->open("settings"));
        QVERIFY(again && again->isVisible());
        QCOMPARE(made, 2);
        QCOMPARE(registry->open("nonexistent"), nullptr);
        QVERIFY(log.contains("No window named \"nonexistent\""));
        registry.reset();
        QVERIFY(again.isNull()); // the registry deletes what it made
    }

    void trayIconIsFilledWhenOnOutlinedWhenOffAndSharpAtEverySize() {
        const QList<QSize> available = MenuBarIcon::icon(true).availableSizes();
        for (int size : MenuBarIcon::kSizes) {
            const QString what = QString::number(size);
            QVERIFY2(available.contains(QSize(size, size)), qPrintable(what));
            const QImage on = MenuBarIcon::render(true, size);
            const QImage off = MenuBarIcon::render(false, size);
            // Filled: most of the square. Outlined: clearly less, still visible.
            QVERIFY2(pixelsAbove(on, 127) > size * size / 2, qPrintable(what));
            QVERIFY2(pixelsAbove(off, 127) > size * size / 8, qPrintable(what));
            QCOMPARE(qAlpha(on.pixel(size / 2, size / 2)), 255); // inside the "c"
            QCOMPARE(qAlpha(off.pixel(size / 2, size / 2)), 0);
            QCOMPARE(qAlpha(on.pixel(0, 0)), 0); // rounded corners with a margin
            // The straight sides start with a fully opaque pixel: a blended
            // first pixel makes small tray icons look blurred.
            for (const QImage& icon : {on, off}) {
                int left = 0, top = 0;
                for (int i = 0; i < size && !(left && top); ++i) {
                    left = left ? left : qAlpha(icon.pixel(i, size / 2));
                    top = top ? top : qAlpha(icon.pixel(size / 2, i));
                }
                QVERIFY2(left == 255 && top == 255, qPrintable(what));
            }
        }
    }

    void withoutATrayThePanelOpensOnceAndTheIconFollowsTheSwitch() {
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable()); // offscreen has no tray
        LogCapture log;
        TrayController tray;
        int opened = 0;
        tray.setPanelOpener([&] { ++opened; });
        QVERIFY(!tray.start());
        QCOMPARE(opened, 1);
        QVERIFY(!tray.trayIcon()->isVisible());
        QVERIFY(log.contains("No system tray"));
        for (const bool on : {false, true}) {
            tray.setSoundEnabled(on);
            QCOMPARE(tray.trayIcon()->icon().pixmap(22, 22).toImage().convertToFormat(
                         QImage::Format_ARGB32_Premultiplied),
                     MenuBarIcon::render(on, 22));
        }
    }

    void installedIconFilesAreWholeAndTheSvgParses() {
        const QString dir = QStringLiteral(CLAVIO_BUILD_DIR "/share/icons/hicolor");
        for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
            const QImage png(dir + QStringLiteral("/%1x%1/apps/clavio.png").arg(size));
            QCOMPARE(png.size(), QSize(size, size));
            // A logo on a transparent ground: some pixels opaque, some clear.
            QVERIFY(pixelsAbove(png, 200) > size * size / 4 && pixelsAbove(png, 0) < size * size);
        }
        QFile file(dir + QStringLiteral("/scalable/apps/clavio.svg"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&file);
        int paths = 0;
        while (xml.readNext() != QXmlStreamReader::Invalid && !xml.atEnd()) {
            paths += xml.isStartElement() && xml.name() == QLatin1String("path") &&
                     !xml.attributes().value(QLatin1String("d")).isEmpty();
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(paths, 3);
    }
};

QTEST_MAIN(ShellTest)
#include "test_shell.moc"
