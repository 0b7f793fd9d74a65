// The tray panel against a real coordinator: the access warning follows the
// coordinator's permission, the enable row toggles, saves, pings and starts a
// stopped coordinator, the volume reaches the mixer and the file, a pack click
// saves and reloads, the incompatible window opens once per process and the
// footer opens settings and quits.
#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

#include "app/shell/window_registry.h"
#include "app/views/incompatible_view.h"
#include "app/views/menu_bar_dropdown.h"
#include "app/widgets/panel_row.h"
#include "app/widgets/symbol_glyph.h"
#include "app/widgets/value_slider.h"
#include "engine/audio/audio_engine.h"
#include "engine/packs/sound_pack_manager.h"
#include "tests/app/coordinator_fixture.h"

using namespace clavio;
using namespace clavio::testing;

namespace {

template <class T = PanelRow> T* child(QWidget& parent, const char* name) {
    return parent.findChild<T*>(QLatin1String(name));
}

PanelRow* packRow(MenuBarDropdown& panel, const QString& packName) {
    for (PanelRow* row : panel.findChildren<PanelRow*>(QStringLiteral("packRow"))) {
        if (row->property("packName").toString() == packName) {
            return row;
        }
    }
    return nullptr;
}

bool checked(MenuBarDropdown& panel, const char* pack) {
    return packRow(panel, QLatin1String(pack))->findChild<SymbolGlyph*>()->symbol() ==
           Symbol::checkmarkCircle;
}

FixtureOptions soundOff() {
    FixtureOptions o;
    o.settingsFile = nlohmann::json{{"soundEnabled", false}};
    return o;
}

} // namespace

class MenuBarDropdownTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void warningRowShowsOnlyWhileAccessIsMissing() {
        FixtureOptions options = soundOff();
        options.keyboardAccess = false;
        CoordinatorFixture f(options);
        MenuBarDropdown panel(f.bridge(), nullptr, {});
        panel.show();
        QVERIFY(child(panel, "accessWarning")->isVisibleTo(&panel));
        QTest::mouseClick(child(panel, "accessWarning"), Qt::LeftButton);
        QCOMPARE(f.keys->requests.load(), 1);

        // Granted while the panel is open: the permission polling (every 2 s)
        // publishes it and the row goes by itself; the panel shrinks.
        const int heightBefore = panel.height();
        f.keys->access = true;
        QTRY_VERIFY_WITH_TIMEOUT(!child(panel, "accessWarning")->isVisibleTo(&panel), 5000);
        QVERIFY(!child<QWidget>(panel, "warningDivider")->isVisibleTo(&panel));
        QTRY_VERIFY(panel.height() < heightBefore);
    }

    void enableRowTogglesSavesPingsAndStartsAStoppedCoordinator() {
        CoordinatorFixture f(soundOff());
        MenuBarDropdown panel(f.bridge(), nullptr, {});
        panel.show();
        QTest::qWait(50);
        QVERIFY(!f.coordinator().isRunning());
        auto* label = child<QLabel>(panel, "enableLabel");
        QCOMPARE(label->text(), QStringLiteral("Clavio Disabled"));

        for (const bool on : {true, false}) {
            QTest::mouseClick(child(panel, "enableRow"), Qt::LeftButton);
            QCOMPARE(f.settings().soundEnabled(), on);
            QCOMPARE(f.settingsOnDisk().value("soundEnabled", !on), on);
            QVERIFY(f.coordinator().isRunning()); // started once, kept running
            QCOMPARE(label->text(), on ? QStringLiteral("Clavio Enabled")
                                       : QStringLiteral("Clavio Disabled"));
            const auto toggles = f.pings.events("sound_toggle");
            QCOMPARE(toggles.size(), std::size_t(on ? 1 : 2));
            QCOMPARE(toggles.back().value("enabled", !on), on);
        }
        // A change made elsewhere shows in the row as well.
        f.settings().setSoundEnabled(true);
        QTRY_COMPARE(label->text(), QStringLiteral("Clavio Enabled"));
    }

    void volumeSliderReachesMixerAndFileWhileDragging() {
        CoordinatorFixture f;
        MenuBarDropdown panel(f.bridge(), nullptr, {});
        panel.show();
        QTRY_VERIFY(f.coordinator().isRunning()); // start() has set the mixer
        auto* slider = child<ValueSlider>(panel, "volumeSlider");
        QCOMPARE(slider->value(), ValueSlider::kSteps);
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
        QCOMPARE(panel.listedPacks(), f.coordinator().packManager().availablePacks());
        // Display names from the manifests; the folder name when there is none.
        QCOMPARE(packRow(panel, "midnight")->findChild<QLabel*>()->text(),
                 QStringLiteral("Midnight Blue"));
        QCOMPARE(packRow(panel, "plain")->findChild<QLabel*>()->text(), QStringLiteral("plain"));
        QVERIFY(checked(panel, "Biscuit") && !checked(panel, "Bluebell"));

        QTest::mouseClick(packRow(panel, "Bluebell"), Qt::LeftButton);
        QCOMPARE(f.settingsOnDisk().value("selectedPackName", ""), std::string("Bluebell"));
        QCOMPARE(f.coordinator().packManager().currentManifest()->name, std::string("Bluebell"));
        QVERIFY(!f.coordinator().loadedSampleMap().empty());
        QVERIFY(checked(panel, "Bluebell") && !checked(panel, "Biscuit"));

        // The selected pack again: loaded afresh.
        QSignalSpy reloads(&f.bridge(), &CoordinatorBridge::packsChanged);
        QTest::mouseClick(packRow(panel, "Bluebell"), Qt::LeftButton);
        QTRY_VERIFY(reloads.count() > 0);
    }

    void incompatibleWindowOpensOncePerProcess() {
        FixtureOptions options;
        options.accelerometer = false;
        CoordinatorFixture f(options);
        WindowRegistry windows;
        int made = 0;
        windows.declare("incompatible", [&] {
            ++made;
            return new IncompatibleView;
        });
        MenuBarDropdown::Hooks hooks;
        hooks.openWindow = [&](const std::string& id) { windows.open(id); };
        MenuBarDropdown panel(f.bridge(), nullptr, hooks);
        panel.show();
        QWidget* window = windows.window("incompatible");
        QVERIFY(window && window->isVisible());
        window->close(); // the user closes it; the application goes on
        for (int i = 0; i < 2; ++i) {
            panel.hide();
            panel.show();
        }
        QCOMPARE(made, 1);
        QVERIFY(!window->isVisible());
    }

    // With the sensor, reopening the panel opens nothing but what is clicked.
    void footerOpensSettingsAndQuits() {
        CoordinatorFixture f;
        std::vector<std::string> opened;
        int quits = 0;
        MenuBarDropdown panel(f.bridge(), nullptr,
                              {[&](const std::string& id) { opened.push_back(id); },
                               [&] { ++quits; }});
        panel.show();
        panel.hide();
        panel.show();
        QVERIFY(QTest::qWaitForWindowActive(&panel));
        QVERIFY(opened.empty());
        QTest::mouseClick(child(panel, "settingsButton"), Qt::LeftButton);
        QCOMPARE(opened, std::vector<std::string>{"settings"});
        QVERIFY(!child(panel, "updatesButton")->isEnabled()); // no update feed
        QTest::mouseClick(child(panel, "quitButton"), Qt::LeftButton);
        QTest::keyClick(&panel, Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(quits, 2);
    }
};

QTEST_MAIN(MenuBarDropdownTest)
#include "test_menu_bar_dropdown.moc"
