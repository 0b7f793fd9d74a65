// The tray icon's drawing and the tray's fallback without a system tray.
#include <QPainter>
#include <QSystemTrayIcon>
#include <QtTest>

#include "app/shell/menu_bar_icon.h"
#include "tests/support/test_support.h"
#include "app/shell/tray_controller.h"

using namespace clavio;

namespace {

// The icon composited over a solid background, as a panel would show it.
QImage over(const QImage& icon, QColor background) {
    QImage out(icon.size(), QImage::Format_ARGB32);
    out.fill(background);
    QPainter p(&out);
    p.drawImage(0, 0, icon);
    return out;
}

double luminance(QRgb c) {
    return (0.2126 * qRed(c) + 0.7152 * qGreen(c) + 0.0722 * qBlue(c)) / 255.0;
}

// Pixels that stand out from the background by a clearly visible step.
int visiblePixels(const QImage& icon, QColor background) {
    const QImage shown = over(icon, background);
    const double bg = luminance(background.rgb());
    int n = 0;
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x) {
            if (std::abs(luminance(shown.pixel(x, y)) - bg) > 0.3) {
                ++n;
            }
        }
    }
    return n;
}

int coveredPixels(const QImage& icon) {
    int n = 0;
    for (int y = 0; y < icon.height(); ++y) {
        for (int x = 0; x < icon.width(); ++x) {
            n += qAlpha(icon.pixel(x, y)) > 127 ? 1 : 0;
        }
    }
    return n;
}

// Alpha of the first non-transparent pixel met walking in from an edge.
int firstEdgeAlpha(const QImage& icon, bool horizontal) {
    const int mid = icon.width() / 2;
    for (int i = 0; i < icon.width(); ++i) {
        const int a = qAlpha(horizontal ? icon.pixel(i, mid) : icon.pixel(mid, i));
        if (a > 0) {
            return a;
        }
    }
    return 0;
}

} // namespace

class MenuBarIconTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void everySizeIsFilledWhenEnabledAndOutlinedWhenDisabled() {
        for (int size : {16, 22, 24, 32, 48}) {
            const QImage on = MenuBarIcon::render(true, size);
            const QImage off = MenuBarIcon::render(false, size);
            QCOMPARE(on.size(), QSize(size, size));
            QCOMPARE(off.size(), QSize(size, size));
            QVERIFY2(on != off, qPrintable(QString::number(size)));
            const int area = size * size;
            // Filled: most of the square is covered. Outlined: a frame and a
            // letter, clearly less, but still something to see.
            QVERIFY2(coveredPixels(on) > area / 2, qPrintable(QString::number(size)));
            QVERIFY2(coveredPixels(off) > area / 8, qPrintable(QString::number(size)));
            QVERIFY2(coveredPixels(on) > coveredPixels(off), qPrintable(QString::number(size)));
            // Inside the bowl of the "c": solid when filled, see-through
            // when outlined.
            QCOMPARE(qAlpha(on.pixel(size / 2, size / 2)), 255);
            QCOMPARE(qAlpha(off.pixel(size / 2, size / 2)), 0);
            // The corners stay transparent (rounded square with a margin).
            QCOMPARE(qAlpha(on.pixel(0, 0)), 0);
            QCOMPARE(qAlpha(off.pixel(size - 1, size - 1)), 0);
        }
    }

    void edgesSitOnThePixelGrid() {
        // The straight sides of the square start with a fully opaque pixel;
        // a blended first pixel is what makes small tray icons look blurred.
        for (int size : {16, 22, 24, 32, 48}) {
            for (bool enabled : {true, false}) {
                const QImage icon = MenuBarIcon::render(enabled, size);
                QVERIFY2(firstEdgeAlpha(icon, true) == 255,
                         qPrintable(QStringLiteral("left edge, size %1").arg(size)));
                QVERIFY2(firstEdgeAlpha(icon, false) == 255,
                         qPrintable(QStringLiteral("top edge, size %1").arg(size)));
            }
        }
    }

    void readableOnLightAndDarkPanels() {
        for (int size : {16, 22, 32, 48}) {
            for (bool enabled : {true, false}) {
                const QImage icon = MenuBarIcon::render(enabled, size);
                const int needed = size * size / 10;
                const QString what = QStringLiteral("size %1 %2").arg(size).arg(enabled);
                QVERIFY2(visiblePixels(icon, QColor(250, 250, 250)) > needed, qPrintable(what));
                QVERIFY2(visiblePixels(icon, QColor(30, 30, 30)) > needed, qPrintable(what));
            }
        }
        // Distinguishable from each other on either panel, not just different.
        for (QColor panel : {QColor(250, 250, 250), QColor(30, 30, 30)}) {
            const QImage on = over(MenuBarIcon::render(true, 22), panel);
            const QImage off = over(MenuBarIcon::render(false, 22), panel);
            int differing = 0;
            for (int y = 0; y < 22; ++y) {
                for (int x = 0; x < 22; ++x) {
                    differing +=
                        std::abs(luminance(on.pixel(x, y)) - luminance(off.pixel(x, y))) > 0.25 ? 1
                                                                                                : 0;
                }
            }
            QVERIFY(differing > 22 * 22 / 5);
        }
    }

    void iconCarriesEveryTraySize() {
        const QIcon icon = MenuBarIcon::icon(true);
        const QList<QSize> sizes = icon.availableSizes();
        for (int size : {16, 22, 24, 32, 48}) {
            QVERIFY2(sizes.contains(QSize(size, size)), qPrintable(QString::number(size)));
            // The pixmap for a size is the one drawn for it, not a rescale.
            QCOMPARE(icon.pixmap(size, size)
                         .toImage()
                         .convertToFormat(QImage::Format_ARGB32_Premultiplied),
                     MenuBarIcon::render(true, size));
        }
    }

    void withoutATrayThePanelOpensOnceAtStart() {
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable()); // offscreen has no tray
        clavio::testing::LogCapture log;
        TrayController tray;
        int opened = 0;
        tray.setPanelOpener([&] { ++opened; });
        QVERIFY(!tray.start());
        QCOMPARE(opened, 1);
        QVERIFY(!tray.usesTray());
        QVERIFY(!tray.trayIcon()->isVisible());
        QVERIFY(log.contains("No system tray"));
    }

    void trayIconFollowsTheSoundSwitch() {
        TrayController tray;
        QVERIFY(tray.soundEnabled());
        const auto image = [&] { return tray.trayIcon()->icon().pixmap(22, 22).toImage(); };
        const QImage on = image();
        tray.setSoundEnabled(false);
        QVERIFY(image() != on);
        QCOMPARE(image().convertToFormat(QImage::Format_ARGB32_Premultiplied),
                 MenuBarIcon::render(false, 22));
        tray.setSoundEnabled(true);
        QCOMPARE(image(), on);
    }
};

QTEST_MAIN(MenuBarIconTest)
#include "test_menu_bar_icon.moc"
