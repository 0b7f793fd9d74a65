// The incompatible screen, the once-per-process rule that opens it from the
// panel, and the window registry that opens windows by identifier.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include "app/services/compatibility_check.h"
#include "app/views/incompatible_view.h"
#include "tests/support/test_support.h"
#include "app/shell/window_registry.h"

using namespace clavio;

namespace {

QStringList labelTexts(const QWidget& w) {
    QStringList texts;
    for (const QLabel* label : w.findChildren<QLabel*>()) {
        texts << label->text();
    }
    return texts;
}

int incompatibleWindows() {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        n += qobject_cast<IncompatibleView*>(w) ? 1 : 0;
    }
    return n;
}

} // namespace

class IncompatibleViewTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void showsTheFixedTextsInAWindowOfFixedSize() {
        IncompatibleView view;
        QCOMPARE(view.windowTitle(), QStringLiteral("Incompatible"));
        QCOMPARE(view.minimumSize(), QSize(440, 340));
        QCOMPARE(view.maximumSize(), QSize(440, 340));
        const QStringList texts = labelTexts(view);
        QVERIFY(texts.contains(QStringLiteral("Incompatible Mac")));
        QVERIFY(texts.contains(
            QStringLiteral("Clavio requires a MacBook with Apple Silicon M2 Pro or later.")));
        QVERIFY(texts.contains(
            QStringLiteral("Your Mac does not have the required accelerometer sensor.")));
        auto* title = view.findChild<QLabel*>(QStringLiteral("title"));
        QVERIFY(title && title->font().bold());
        QCOMPARE(view.websiteUrl(), std::string(CLAVIO_WEBSITE_URL));

        // Laid out, every line of the explanation is fully visible: each
        // label is as tall as its text wrapped at the label's width.
        view.show();
        QApplication::processEvents();
        for (const char* name : {"requirement", "reason"}) {
            auto* label = view.findChild<QLabel*>(QLatin1String(name));
            QVERIFY(label);
            // Wrapped at the full 340, not at some narrower preferred width.
            QVERIFY2(label->width() <= IncompatibleView::kTextWidth, name);
            QVERIFY2(label->width() > IncompatibleView::kTextWidth - 20, name);
            const QRect needed =
                QFontMetrics(label->font())
                    .boundingRect(QRect(0, 0, label->width(), 1000),
                                  Qt::AlignHCenter | Qt::TextWordWrap, label->text());
            QVERIFY2(label->height() >= needed.height(), qPrintable(QStringLiteral("%1: %2 < %3")
                                                                        .arg(QLatin1String(name))
                                                                        .arg(label->height())
                                                                        .arg(needed.height())));
        }
    }

    void linkOpensTheWebsiteAndQuitAsksToQuit() {
        IncompatibleView view(nullptr, "https://www.example.org/clavio");
        std::vector<std::string> opened;
        view.setUrlOpener([&](std::string url) { opened.push_back(std::move(url)); });
        auto* link = view.findChild<QLabel*>(QStringLiteral("websiteLink"));
        QVERIFY(link);
        QVERIFY(link->text().contains(QStringLiteral("href=\"https://www.example.org/clavio\"")));
        QVERIFY(link->text().contains(QStringLiteral(">example.org<"))); // names the site
        QVERIFY(!link->openExternalLinks());
        Q_EMIT link->linkActivated(QStringLiteral("https://www.example.org/clavio"));
        QCOMPARE(opened, std::vector<std::string>{"https://www.example.org/clavio"});

        auto* quit = view.findChild<QPushButton*>(QStringLiteral("quitButton"));
        QVERIFY(quit);
        QCOMPARE(quit->text(), QStringLiteral("Quit Clavio"));
        QSignalSpy quitSpy(&view, &IncompatibleView::quitRequested);
        view.show();
        QTest::mouseClick(quit, Qt::LeftButton);
        QCOMPARE(quitSpy.count(), 1);

        // The button is drawn red: most of its face is a strong red.
        const QImage face = quit->grab().toImage();
        int red = 0;
        for (int y = 0; y < face.height(); ++y) {
            for (int x = 0; x < face.width(); ++x) {
                const QColor c = face.pixelColor(x, y);
                red += c.red() > 200 && c.green() < 110 && c.blue() < 110 ? 1 : 0;
            }
        }
        QVERIFY2(red > face.width() * face.height() / 2, qPrintable(QString::number(red)));
    }

    void aSiteThatIsNotAWebAddressIsNeverOpened() {
        IncompatibleView view(nullptr, "file:///etc/passwd");
        int opened = 0;
        view.setUrlOpener([&](std::string) { ++opened; });
        auto* link = view.findChild<QLabel*>(QStringLiteral("websiteLink"));
        Q_EMIT link->linkActivated(QStringLiteral("file:///etc/passwd"));
        QCOMPARE(opened, 0);
    }

    void compatibilityCheckOpensTheWindowOncePerProcess() {
        int opened = 0;
        CompatibilityCheck check([&] { ++opened; });
        // With the sensor the check stays armed.
        QVERIFY(!check.panelAppeared(true));
        QVERIFY(!check.didCheckCompat());
        QCOMPARE(opened, 0);
        QVERIFY(check.panelAppeared(false));
        QVERIFY(check.didCheckCompat());
        QVERIFY(!check.panelAppeared(false));
        QVERIFY(!check.panelAppeared(true));
        QCOMPARE(opened, 1);
    }

    void panelReopeningShowsOneIncompatibleWindowOnlyOnce() {
        WindowRegistry windows;
        int made = 0;
        windows.declare("incompatible", [&] {
            ++made;
            return new IncompatibleView;
        });
        CompatibilityCheck check([&] { windows.open("incompatible"); });
        QCOMPARE(incompatibleWindows(), 0);

        check.panelAppeared(false);
        QWidget* window = windows.window("incompatible");
        QVERIFY(window && window->isVisible());
        window->close(); // the user closes it; the application goes on
        QVERIFY(!window->isVisible());
        check.panelAppeared(false);
        check.panelAppeared(false);
        QVERIFY(!window->isVisible());
        QCOMPARE(made, 1);
        QCOMPARE(incompatibleWindows(), 1);
    }

    void windowsAreMadeOnceAndBroughtBack() {
        clavio::testing::LogCapture log;
        auto registry = std::make_unique<WindowRegistry>();
        int made = 0;
        registry->declare("settings", [&] {
            ++made;
            auto* w = new QWidget;
            w->setWindowTitle(QStringLiteral("Clavio Settings"));
            w->setAttribute(Qt::WA_DeleteOnClose); // the registry keeps it anyway
            return w;
        });
        QCOMPARE(registry->window("settings"), nullptr);
        QWidget* first = registry->open("settings");
        QVERIFY(first && first->isVisible());
        first->close();
        QApplication::processEvents();
        QWidget* second = registry->open("settings");
        QCOMPARE(second, first);
        QVERIFY(second->isVisible());
        QCOMPARE(made, 1);

        // Deleted behind the registry's back: made anew, not a dangling pointer.
        delete first;
        QCOMPARE(registry->window("settings"), nullptr);
        QWidget* third = registry->open("settings");
        QVERIFY(third && third->isVisible());
        QCOMPARE(made, 2);

        QCOMPARE(registry->open("nonexistent"), nullptr);
        QVERIFY(log.contains("No window named \"nonexistent\""));

        QPointer<QWidget> watch(third);
        registry.reset();
        QVERIFY(watch.isNull()); // the registry deletes what it made
    }
};

QTEST_MAIN(IncompatibleViewTest)
#include "test_incompatible_view.moc"
