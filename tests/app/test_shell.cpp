// The shell: main queue, incompatible screen, window registry, tray icon and
// its fallback without a system tray, and the installed icon files.
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QXmlStreamReader>
#include <QtTest>

#include <stdexcept>

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
    for (int i = 0; i < image.width() * image.height(); ++i) {
        n += qAlpha(image.pixel(i % image.width(), i / image.width())) > alpha;
    }
    return n;
}

} // namespace

class ShellTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // A throwing task is logged, not fatal; a timer stops when its handle is
    // invalidated (from inside its own tick too) or destroyed.
    void mainQueueSurvivesAThrowAndTimersLiveAsLongAsTheirHandle() {
        LogCapture log;
        QtMainQueue queue;
        queue.post([] { throw std::runtime_error("boom"); });
        QTRY_VERIFY(log.contains("[Clavio] Main queue task failed: boom"));

        int ticks = 0, other = 0, selfEnding = 0;
        TimerHandle handle = queue.scheduleRepeating(5ms, [&] { ++ticks; });
        (void)queue.scheduleRepeating(5ms, [&] { ++other; }); // the handle goes at once
        TimerHandle own;
        own = queue.scheduleRepeating(5ms, [&] { ++selfEnding, own.invalidate(); });
        QTRY_VERIFY(ticks >= 2);
        handle.invalidate();
        const int stopped = ticks;
        QTest::qWait(60);
        QCOMPARE(std::tuple(ticks, other, selfEnding), std::tuple(stopped, 0, 1));
        QTRY_COMPARE(queue.findChildren<QTimer*>().size(), qsizetype(0)); // deleted
        // Intervals that are not positive are refused; others round up.
        QVERIFY(!queue.scheduleRepeating(0ns, [] {}).isValid() &&
                !queue.scheduleRepeating(-5ms, [] {}).isValid());
        QCOMPARE(log.count("Repeating timer refused"), std::size_t(2));
        QCOMPARE(queue.activeTimerCount(), 0);
        QCOMPARE(QtMainQueue::timerMilliseconds(1500us), 2);
        QCOMPARE(QtMainQueue::timerMilliseconds(std::chrono::hours(24 * 365)),
                 std::numeric_limits<int>::max());
    }

    void incompatibleTextIsFullyVisibleAndItsButtonsWork() {
        std::vector<std::string> opened;
        const auto opener = [&](std::string url) { opened.push_back(std::move(url)); };
        IncompatibleView view(nullptr, "https://www.example.org/clavio");
        view.setUrlOpener(opener);
        view.show();
        QApplication::processEvents();
        // Each explanation label wraps at the full width and is as tall as its text.
        for (const char* name : {"requirement", "reason"}) {
            auto* label = view.findChild<QLabel*>(QLatin1String(name));
            QVERIFY2(label->width() > IncompatibleView::kTextWidth - 20, name);
            const QRect needed = label->fontMetrics().boundingRect(
                QRect(0, 0, label->width(), 1000), Qt::AlignHCenter | Qt::TextWordWrap,
                label->text());
            QVERIFY2(label->height() >= needed.height(), name);
        }
        auto* link = view.findChild<QLabel*>(QStringLiteral("websiteLink"));
        QVERIFY(link->text().contains(QStringLiteral(">example.org<")) &&
                !link->openExternalLinks());
        Q_EMIT link->linkActivated(QStringLiteral("https://elsewhere.example/"));
        QCOMPARE(opened, std::vector<std::string>{"https://www.example.org/clavio"});
        QSignalSpy quit(&view, &IncompatibleView::quitRequested);
        QTest::mouseClick(view.findChild<QPushButton*>(QStringLiteral("quitButton")),
                          Qt::LeftButton);
        QCOMPARE(quit.count(), 1);
        IncompatibleView local(nullptr, "file:///etc/passwd"); // not a web address: never opened
        local.setUrlOpener(opener);
        Q_EMIT local.findChild<QLabel*>(QStringLiteral("websiteLink"))->linkActivated({});
        QCOMPARE(opened.size(), std::size_t(1));
    }

    // A window is kept although it deletes itself on close; deleted with the registry.
    void windowsAreKeptAndDeletedWithTheRegistry() {
        LogCapture log;
        auto registry = std::make_unique<WindowRegistry>();
        registry->declare("settings", [] {
            auto* w = new QWidget;
            w->setAttribute(Qt::WA_DeleteOnClose);
            return w;
        });
        QPointer<QWidget> window(registry->open("settings"));
        window->close();
        QApplication::processEvents();
        QVERIFY(window && registry->open("settings") == window && window->isVisible());
        QVERIFY(!registry->open("nonexistent") && log.contains("No window named \"nonexistent\""));
        registry.reset();
        QVERIFY(window.isNull());
    }

    // No tray: the panel opens as a window; the icon (filled when on) follows the switch.
    void withoutATrayThePanelOpensOnceAndTheIconFollowsTheSwitch() {
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable()); // offscreen has no tray
        LogCapture log;
        TrayController tray;
        int opened = 0;
        tray.setPanelOpener([&] { ++opened; });
        QVERIFY(!tray.start() && opened == 1 && !tray.trayIcon()->isVisible());
        QVERIFY(log.contains("No system tray"));
        for (const bool on : {false, true}) {
            for (int size : MenuBarIcon::kSizes) {
                const QImage icon = MenuBarIcon::render(on, size);
                QVERIFY(MenuBarIcon::icon(on).availableSizes().contains(QSize(size, size)));
                QVERIFY2(pixelsAbove(icon, 127) > size * size / (on ? 2 : 8) &&
                             qAlpha(icon.pixel(size / 2, size / 2)) == (on ? 255 : 0),
                         qPrintable(QString::number(size)));
            }
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
        int paths = 0; // three shapes, each a path with its outline
        while (xml.readNext() != QXmlStreamReader::Invalid && !xml.atEnd()) {
            paths += xml.isStartElement() && xml.name() == QLatin1String("path") &&
                     !xml.attributes().value(QLatin1String("d")).isEmpty();
        }
        QVERIFY2(!xml.hasError() && paths == 3, qPrintable(xml.errorString()));
    }
};

QTEST_MAIN(ShellTest)
#include "test_shell.moc"
