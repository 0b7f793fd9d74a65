// The tray panel against a real coordinator on fake devices: the access
// warning follows the coordinator's permission, the enable row toggles,
// saves, pings once and starts a stopped coordinator, the volume reaches the
// mixer and the file, a pack click saves and reloads, and the incompatible
// window opens once per process.
#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

#include <string>
#include <vector>

#include "app/widgets/app_style.h"
#include "engine/audio/audio_engine.h"
#include "engine/packs/sound_pack_manager.h"
#include "engine/settings/tocca_settings.h"
#include "tests/app/coordinator_fixture.h"
#include "app/views/incompatible_view.h"
#include "app/views/menu_bar_dropdown.h"
#include "app/widgets/panel_row.h"
#include "app/widgets/symbol_glyph.h"
#include "app/widgets/value_slider.h"
#include "app/shell/window_registry.h"

using namespace clavio;
using namespace clavio::testing;

namespace {

struct Recorder {
    std::vector<std::string> opened;
    int quits = 0;

    MenuBarDropdown::Hooks hooks() {
        MenuBarDropdown::Hooks h;
        h.openWindow = [this](const std::string& id) { opened.push_back(id); };
        h.quit = [this] { ++quits; };
        return h;
    }
};

template <class T> T* child(QWidget& parent, const char* name) {
    auto* found = parent.findChild<T*>(QLatin1String(name));
    if (!found) {
        qWarning("no child %s", name);
    }
    return found;
}

PanelRow* packRow(MenuBarDropdown& panel, const QString& packName) {
    for (PanelRow* row : panel.findChildren<PanelRow*>(QStringLiteral("packRow"))) {
        if (row->property("packName").toString() == packName) {
            return row;
        }
    }
    return nullptr;
}

Symbol markOf(PanelRow* row) {
    return row->findChild<SymbolGlyph*>()->symbol();
}

// The rows that are shown, top to bottom, by object name.
QStringList visibleRowsInOrder(MenuBarDropdown& panel) {
    QList<QWidget*> rows;
    for (const char* name : {"accessWarning", "enableRow", "volumeRow", "packSection", "footer"}) {
        if (QWidget* w = panel.findChild<QWidget*>(QLatin1String(name));
            w && w->isVisibleTo(&panel)) {
            rows << w;
        }
    }
    std::sort(rows.begin(), rows.end(), [](QWidget* a, QWidget* b) {
        return a->mapTo(a->window(), QPoint()).y() < b->mapTo(b->window(), QPoint()).y();
    });
    QStringList names;
    for (QWidget* w : rows) {
        names << w->objectName();
    }
    return names;
}

} // namespace

class MenuBarDropdownTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void warningRowShowsOnlyWhileAccessIsMissing() {
        FixtureOptions options;
        options.keyboardAccess = false;
        options.settingsFile = nlohmann::json{{"soundEnabled", false}};
        CoordinatorFixture f(options);
        Recorder recorder;
        MenuBarDropdown panel(f.bridge(), nullptr, recorder.hooks());
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));

        QVERIFY(!f.coordinator().hasAccessibilityPermission());
        QCOMPARE(visibleRowsInOrder(panel),
                 QStringList({"accessWarning", "enableRow", "volumeRow", "packSection", "footer"}));
        QCOMPARE(child<QLabel>(panel, "accessTitle")->text(),
                 QStringLiteral("Keyboard access required"));
        QCOMPARE(child<QLabel>(panel, "accessHint")->text(),
                 QStringLiteral("Click to open System Settings"));

        // The click asks the keyboard capture to request access; on Linux
        // that explains the input group.
        std::vector<std::string> requests;
        f.keySource().setAccessRequestHandler(
            [&](std::string_view text) { requests.emplace_back(text); });
        QTest::mouseClick(child<PanelRow>(panel, "accessWarning"), Qt::LeftButton);
        QCOMPARE(requests.size(), std::size_t(1));
        QVERIFY(requests[0].find("input") != std::string::npos);

        // Granted while the panel is open: the coordinator's permission
        // polling (every 2 s) publishes it and the row goes by itself.
        const int heightBefore = panel.height();
        f.grantKeyboardAccess();
        QTRY_VERIFY_WITH_TIMEOUT(f.coordinator().hasAccessibilityPermission(), 5000);
        QTRY_VERIFY(!child<PanelRow>(panel, "accessWarning")->isVisibleTo(&panel));
        QVERIFY(!child<QWidget>(panel, "warningDivider")->isVisibleTo(&panel));
        QCOMPARE(visibleRowsInOrder(panel).first(), QStringLiteral("enableRow"));
        QTRY_VERIFY(panel.height() < heightBefore); // the panel shrinks to its rows
        f.keySource().setAccessRequestHandler({});
    }

    void warningRowIsAbsentWithAccess() {
        CoordinatorFixture f;
        MenuBarDropdown panel(f.bridge(), nullptr, {});
        panel.show();
        QVERIFY(f.coordinator().hasAccessibilityPermission());
        QCOMPARE(visibleRowsInOrder(panel).first(), QStringLiteral("enableRow"));
    }

    void enableRowTogglesSavesPingsOnceAndStartsAStoppedCoordinator() {
        FixtureOptions options;
        options.pings = true;
        options.settingsFile = nlohmann::json{{"soundEnabled", false}};
        CoordinatorFixture f(options);
        MenuBarDropdown panel(f.bridge(), nullptr, {});
        panel.show();
        // Sound off at launch: only the permission polling runs.
        QTest::qWait(50);
        QVERIFY(!f.coordinator().isRunning());
        auto* label = child<QLabel>(panel, "enableLabel");
        auto* dot = child<SymbolGlyph>(panel, "enableDot");
        QCOMPARE(label->text(), QStringLiteral("Clavio Disabled"));
        QCOMPARE(dot->colour(), style::grey());

        auto* row = child<PanelRow>(panel, "enableRow");
        QTest::mouseClick(row, Qt::LeftButton);
        QVERIFY(f.coordinator().settings().soundEnabled());
        QCOMPARE(f.settingsOnDisk().value("soundEnabled", false), true);
        QVERIFY(f.coordinator().isRunning());
        QCOMPARE(label->text(), QStringLiteral("Clavio Enabled"));
        QCOMPARE(dot->colour(), style::green());
        QVERIFY(f.flushPings());
        auto toggles = f.pingServer()->events("sound_toggle");
        QCOMPARE(toggles.size(), std::size_t(1));
        QCOMPARE(toggles[0].value("enabled", false), true);

        // Off again: saved and pinged once more, the coordinator keeps running.
        QTest::mouseClick(row, Qt::LeftButton);
        QVERIFY(!f.coordinator().settings().soundEnabled());
        QCOMPARE(f.settingsOnDisk().value("soundEnabled", true), false);
        QVERIFY(f.coordinator().isRunning());
        QCOMPARE(label->text(), QStringLiteral("Clavio Disabled"));
        QVERIFY(f.flushPings());
        toggles = f.pingServer()->events("sound_toggle");
        QCOMPARE(toggles.size(), std::size_t(2));
        QCOMPARE(toggles[1].value("enabled", true), false);
        QCOMPARE(toggles[1].value("sound_on", true), false);

        // A change made elsewhere shows in the row as well.
        f.settings().setSoundEnabled(true);
        QTRY_COMPARE(label->text(), QStringLiteral("Clavio Enabled"));
    }

    void volumeSliderReachesMixerAndFileWhileDragging() {
        CoordinatorFixture f;
        MenuBarDropdown panel(f.bridge(), nullptr, {});
        panel.show();
        // start() sets the mixer from the settings; let it run first.
        QTRY_VERIFY(f.coordinator().isRunning());
        auto* slider = child<ValueSlider>(panel, "volumeSlider");
        QCOMPARE(slider->value(), ValueSlider::kSteps); // the default 1.0
        slider->setSliderDown(true);
        for (int position : {900, 750, 500}) {
            slider->setValue(position); // what a drag produces
            const float expected = position / 1000.0f;
            QCOMPARE(f.settings().masterVolume(), expected);
            QCOMPARE(f.coordinator().audioEngine().masterVolume(), expected);
            QCOMPARE(f.settingsOnDisk().value("masterVolume", -1.0f), expected);
        }
        slider->setSliderDown(false);

        // Shown, not rewritten: a value from elsewhere moves the knob only.
        f.settings().setMasterVolume(0.25f);
        QTRY_COMPARE(slider->value(), 250);
        QCOMPARE(f.coordinator().audioEngine().masterVolume(), 0.5f);
        QCOMPARE(f.settingsOnDisk().value("masterVolume", -1.0f), 0.5f);
    }

    void packClickSavesAndReloadsAndNamesPacks() {
        CoordinatorFixture f;
        f.addUserPack("midnight", R"({"name": "Midnight Blue", "author": "t", "license": "x",
                                      "groups": {"alpha": {"soft": ["alpha/soft_1.wav"]}}})");
        f.addUserPack("plain", "not a manifest");
        MenuBarDropdown panel(f.bridge(), nullptr, {});
        panel.show();
        QTRY_VERIFY(packRow(panel, "midnight") != nullptr);

        const std::vector<std::string> listed = panel.listedPacks();
        QCOMPARE(listed, f.coordinator().packManager().availablePacks());
        // Display names from the manifests; the folder name when there is none.
        QCOMPARE(packRow(panel, "midnight")->findChild<QLabel*>()->text(),
                 QStringLiteral("Midnight Blue"));
        QVERIFY(packRow(panel, "plain"));
        QCOMPARE(packRow(panel, "plain")->findChild<QLabel*>()->text(), QStringLiteral("plain"));
        QCOMPARE(markOf(packRow(panel, "Biscuit")), Symbol::checkmarkCircle);
        QCOMPARE(markOf(packRow(panel, "Bluebell")), Symbol::circle);

        QTest::mouseClick(packRow(panel, "Bluebell"), Qt::LeftButton);
        QCOMPARE(f.settings().selectedPackName(), std::string("Bluebell"));
        QCOMPARE(f.settingsOnDisk().value("selectedPackName", ""), std::string("Bluebell"));
        QVERIFY(f.coordinator().packManager().currentManifest());
        QCOMPARE(f.coordinator().packManager().currentManifest()->name, std::string("Bluebell"));
        QVERIFY(!f.coordinator().loadedSampleMap().empty());
        QCOMPARE(markOf(packRow(panel, "Bluebell")), Symbol::checkmarkCircle);
        QCOMPARE(markOf(packRow(panel, "Biscuit")), Symbol::circle);

        // The selected pack again: loaded afresh.
        QSignalSpy reloads(&f.bridge(), &CoordinatorBridge::packsChanged);
        const auto before = f.coordinator().loadedSampleMap();
        QTest::mouseClick(packRow(panel, "Bluebell"), Qt::LeftButton);
        QTRY_VERIFY(reloads.count() > 0); // currentManifest published again
        QCOMPARE(f.coordinator().loadedSampleMap().size(), before.size());
    }

    void incompatibleWindowOpensOncePerProcess() {
        FixtureOptions options;
        options.accelerometer = false;
        CoordinatorFixture f(options);
        QVERIFY(!f.coordinator().sensorAvailable());
        WindowRegistry windows;
        windows.declare("incompatible", [] { return new IncompatibleView; });
        MenuBarDropdown::Hooks hooks;
        int opens = 0;
        hooks.openWindow = [&](const std::string& id) {
            ++opens;
            windows.open(id);
        };
        MenuBarDropdown panel(f.bridge(), nullptr, hooks);
        panel.show();
        QCOMPARE(opens, 1);
        QWidget* window = windows.window("incompatible");
        QVERIFY(window && window->isVisible());
        QVERIFY(panel.compatibilityCheck().didCheckCompat());
        window->close();
        panel.hide();
        panel.show();
        panel.hide();
        panel.show();
        QCOMPARE(opens, 1);
        QVERIFY(!window->isVisible());
    }

    void withTheSensorNothingOpensAndTheCheckStaysArmed() {
        CoordinatorFixture f;
        QVERIFY(f.coordinator().sensorAvailable());
        Recorder recorder;
        MenuBarDropdown panel(f.bridge(), nullptr, recorder.hooks());
        panel.show();
        panel.hide();
        panel.show();
        QVERIFY(recorder.opened.empty());
        QVERIFY(!panel.compatibilityCheck().didCheckCompat());
    }

    void footerOpensSettingsQuitsAndGreysOutUpdates() {
        CoordinatorFixture f;
        Recorder recorder;
        MenuBarDropdown panel(f.bridge(), nullptr, recorder.hooks());
        panel.show();
        QVERIFY(QTest::qWaitForWindowActive(&panel));
        QTest::mouseClick(child<PanelRow>(panel, "settingsButton"), Qt::LeftButton);
        QCOMPARE(recorder.opened, std::vector<std::string>{"settings"});
        // Without an update feed there is nothing to check.
        QVERIFY(!child<PanelRow>(panel, "updatesButton")->isEnabled());
        QCOMPARE(child<QLabel>(panel, "quitHint")->text(), QStringLiteral("Ctrl+Q"));
        QTest::mouseClick(child<PanelRow>(panel, "quitButton"), Qt::LeftButton);
        QCOMPARE(recorder.quits, 1);
        QTest::keyClick(&panel, Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(recorder.quits, 2);
        QCOMPARE(panel.width(), MenuBarDropdown::kWidth);
    }
};

QTEST_MAIN(MenuBarDropdownTest)
#include "test_menu_bar_dropdown.moc"
