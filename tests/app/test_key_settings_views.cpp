// The shortcut recorder, the panel's shortcut and access rows, and the input
// group request through a pkexec found on PATH (a script that records its
// arguments stands in for the desktop's prompt).
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QtTest>

#include <fstream>

#include "app/services/input_group_join.h"
#include "app/views/clavio_settings_view.h"
#include "app/views/menu_bar_dropdown.h"
#include "tests/app/coordinator_fixture.h"

using namespace clavio;
using namespace clavio::testing;

namespace {

template <class T> T* child(QWidget& parent, const char* name) {
    return parent.findChild<T*>(QLatin1String(name));
}

// A PATH holding only a "pkexec" that writes its arguments to `args` and
// exits with `status`, plus the system folders (for sh).
struct FakePrompt {
    TempDir dir;
    std::optional<ScopedEnv> path;
    explicit FakePrompt(int status, bool present = true) {
        if (present) {
            const auto script = dir.path() / "pkexec";
            std::ofstream(script) << "#!/bin/sh\necho \"$@\" > '" << (dir.path() / "args").string()
                                  << "'\nexit " << status << "\n";
            std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        }
        path.emplace("PATH", dir.path().string() + ":/usr/bin:/bin");
    }
    std::string args() const { return readFile(dir.path() / "args"); }
};

} // namespace

class KeySettingsViewsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void recorderStoresAChordRefusesABareKeyClearsAndThePanelShowsIt() {
        CoordinatorFixture f;
        ClavioSettingsView view(f.bridge(), {}, {});
        MenuBarDropdown panel(f.bridge(), nullptr, {});
        auto* field = child<QPushButton>(view, "shortcutField");
        auto* shown = child<QLabel>(panel, "enableShortcut");
        QVERIFY(shown->isHidden()); // unset by default
        QTest::mouseClick(field, Qt::LeftButton);
        QTest::keyClick(field, Qt::Key_M, Qt::ControlModifier | Qt::AltModifier);
        QCOMPARE(f.settingsOnDisk().value("toggleShortcut", ""), std::string("Ctrl+Alt+M"));
        QCOMPARE(field->text(), QStringLiteral("Ctrl+Alt+M"));
        QTRY_COMPARE(shown->text(), QStringLiteral("Ctrl+Alt+M"));
        QVERIFY(!shown->isHidden());

        QTest::mouseClick(field, Qt::LeftButton);
        QTest::keyClick(field, Qt::Key_K);
        QVERIFY(child<QLabel>(view, "shortcutMessage")->isVisibleTo(&view));
        QCOMPARE(f.settingsOnDisk().value("toggleShortcut", ""), std::string("Ctrl+Alt+M"));
        QTest::keyClick(field, Qt::Key_Escape);
        QCOMPARE(field->text(), QStringLiteral("Ctrl+Alt+M"));

        QTest::mouseClick(child<QPushButton>(view, "shortcutClear"), Qt::LeftButton);
        QCOMPARE(f.settingsOnDisk().value("toggleShortcut", "x"), std::string());
        QTRY_VERIFY(shown->isHidden());
    }

    void joinRunsUsermodThroughPkexecAndReportsTheOutcome() {
        for (const auto& [status, ok] : {std::pair{0, true}, {126, false}}) {
            FakePrompt prompt(status);
            InputGroupJoin join;
            QSignalSpy done(&join, &InputGroupJoin::finished);
            QVERIFY(join.start());
            QVERIFY(done.wait(5000));
            QCOMPARE(done.at(0).at(0).toBool(), ok);
            // Appended to the input group (-a: the user's other groups stay).
            const QString args = QString::fromStdString(prompt.args()).trimmed();
            QVERIFY2(args.endsWith("usermod -aG input " + InputGroupJoin::userName()),
                     qPrintable(args));
            if (!ok) {
                QCOMPARE(done.at(0).at(1).toString(), QStringLiteral("cancelled"));
            }
        }
    }

    void withoutPkexecThePanelShowsTheCommandAndCopiesIt() {
        FakePrompt none(0, false);
        InputGroupJoin join;
        QVERIFY(!join.start());
        CoordinatorFixture f({.keyboardAccess = false});
        MenuBarDropdown panel(f.bridge(), nullptr, {});
        const QString command = InputGroupJoin::manualCommand(InputGroupJoin::userName());
        QCOMPARE(child<QLabel>(panel, "accessCommand")->text(), command);
        QVERIFY(child<QPushButton>(panel, "accessJoin") == nullptr);
        QTest::mouseClick(child<QPushButton>(panel, "accessCopy"), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), command);
        QVERIFY(child<QLabel>(panel, "accessStatus")->text().contains("log out"));
    }
};

QTEST_MAIN(KeySettingsViewsTest)
#include "test_key_settings_views.moc"
