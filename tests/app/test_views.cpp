// The tray panel and the settings window on a real coordinator: every control
// saves its setting at once and reaches the engine; each view shows the state.
#include <QLabel>
#include <QSignalSpy>
#include <QTabWidget>
#include <QtTest>

#include "app/views/about_tab.h"
#include "app/views/clavio_settings_view.h"
#include "app/views/menu_bar_dropdown.h"
#include "app/views/panel_host.h"
#include "app/views/readouts.h"
#include "app/views/sound_packs_row.h"
#include "app/widgets/panel_row.h"
#include "app/widgets/symbol_glyph.h"
#include "app/widgets/toggle_switch.h"
#include "app/widgets/value_slider.h"
#include "engine/audio/audio_engine.h"
#include "engine/packs/sound_pack_manager.h"
#include "platform/linux/desktop/xdg_login_item.h"
#include "tests/app/coordinator_fixture.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

template <class T = PanelRow> T* child(QWidget& parent, const char* name) {
    return parent.findChild<T*>(QLatin1String(name));
}

QString text(QWidget& parent, const char* name) {
    return child<QLabel>(parent, name)->text();
}

PanelRow* packRow(MenuBarDropdown& panel, const char* packName) {
    for (PanelRow* row : panel.findChildren<PanelRow*>(QStringLiteral("packRow"))) {
        if (row->property("packName").toString() == QLatin1String(packName)) {
            return row;
        }
    }
    return nullptr;
}

bool checked(MenuBarDropdown& panel, const char* pack) {
    return packRow(panel, pack)->findChild<SymbolGlyph*>()->symbol() == Symbol::checkmarkCircle;
}

// The login-item action the application uses: the XDG autostart entry.
struct LoginItem {
    platform::XdgLoginItem item{"/usr/bin/clavio"};
    int calls = 0;
    LoginItemAction action() {
        return [this](bool enabled) { return ++calls, platform::applyLoginItem(item, enabled); };
    }
};

} // namespace

class ViewsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void warningRowGoesWhenAccessIsGrantedAndEnableRowStartsAndSaves() {
        CoordinatorFixture f(
            {.keyboardAccess = false, .settingsFile = nlohmann::json{{"soundEnabled", false}}});
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

        QVERIFY(!f.coordinator().isRunning());
        QCOMPARE(text(panel, "enableLabel"), QStringLiteral("Clavio Disabled"));
        for (const bool on : {true, false}) {
            QTest::mouseClick(child(panel, "enableRow"), Qt::LeftButton);
            QCOMPARE(f.settingsOnDisk().value("soundEnabled", !on), on);
            QVERIFY(f.coordinator().isRunning()); // started once, kept running
            QCOMPARE(text(panel, "enableLabel"),
                     on ? QStringLiteral("Clavio Enabled") : QStringLiteral("Clavio Disabled"));
            const auto toggles = f.pings.events("sound_toggle");
            QCOMPARE(toggles.size(), std::size_t(on ? 1 : 2));
            QCOMPARE(toggles.back().value("enabled", !on), on);
        }
        f.settings().setSoundEnabled(true); // a change made elsewhere shows too
        QTRY_COMPARE(text(panel, "enableLabel"), QStringLiteral("Clavio Enabled"));
        // The display refresh runs only while the panel shows.
        const int shown = f.activeTimers();
        panel.hide();
        QCOMPARE(f.activeTimers(), shown - 1);
        panel.show();
        QCOMPARE(f.activeTimers(), shown);
    }

    void volumeSlidersReachMixerAndFileAndFollowEachOther() {
        CoordinatorFixture f;
        QTRY_VERIFY(f.coordinator().isRunning()); // start() has set the mixer
        MenuBarDropdown panel(f.bridge(), nullptr, {});
        ClavioSettingsView view(f.bridge(), {}, {});
        view.tabs()->setCurrentIndex(1);
        auto* panelSlider = child<ValueSlider>(panel, "volumeSlider");
        auto* viewSlider = child<ValueSlider>(view, "volumeSlider");
        QCOMPARE(panelSlider->value(), ValueSlider::kSteps);
        panelSlider->setSliderDown(true);
        for (auto [slider, position] :
             {std::pair{panelSlider, 900}, {panelSlider, 500}, {viewSlider, 600}}) {
            slider->setValue(position); // what a drag produces
            const float expected = position / 1000.0f;
            QCOMPARE(f.coordinator().audioEngine().masterVolume(), expected);
            QCOMPARE(f.settingsOnDisk().value("masterVolume", -1.0f), expected);
            QTRY_COMPARE((slider == panelSlider ? viewSlider : panelSlider)->value(), position);
        }
        QCOMPARE(text(view, "volumeReadout"), QStringLiteral("60%"));
        // Shown, not rewritten: a value from elsewhere moves the knobs only.
        f.settings().setMasterVolume(0.25f);
        QTRY_COMPARE(viewSlider->value(), 250);
        QCOMPARE(std::pair(f.coordinator().audioEngine().masterVolume(),
                           f.settingsOnDisk().value("masterVolume", -1.0f)),
                 std::pair(0.6f, 0.6f));
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
        QCOMPARE(packRow(panel, "midnight")->findChild<QLabel*>()->text() + "," +
                     packRow(panel, "plain")->findChild<QLabel*>()->text(),
                 QStringLiteral("Midnight Blue,plain"));
        QVERIFY(checked(panel, "Biscuit") && !checked(panel, "Bluebell"));

        QTest::mouseClick(packRow(panel, "Bluebell"), Qt::LeftButton);
        QCOMPARE(f.settingsOnDisk().value("selectedPackName", ""), std::string("Bluebell"));
        QCOMPARE(f.coordinator().packManager().currentManifest()->name, std::string("Bluebell"));
        QVERIFY(!f.coordinator().loadedSampleMap().empty()); // sounds loaded
        QVERIFY(checked(panel, "Bluebell") && !checked(panel, "Biscuit"));
        QSignalSpy reloads(&f.bridge(), &CoordinatorBridge::packsChanged);
        QTest::mouseClick(packRow(panel, "Bluebell"), Qt::LeftButton); // loaded afresh
        QTRY_VERIFY(reloads.count() > 0);
    }

    // Without the sensor the incompatible window opens once per panel, not on
    // every reopening; with it nothing opens but what is clicked.
    void panelOpensIncompatibleOnceThenSettingsAndQuitsOnClick() {
        for (const bool sensor : {false, true}) {
            CoordinatorFixture f({.accelerometer = sensor});
            std::vector<std::string> opened;
            int quits = 0;
            MenuBarDropdown panel(
                f.bridge(), nullptr,
                {[&](const std::string& id) { opened.push_back(id); }, [&] { ++quits; }});
            for (int i = 0; i < 3; ++i) {
                panel.hide();
                panel.show();
            }
            QCOMPARE(opened, std::vector<std::string>(sensor ? 0 : 1, "incompatible"));
            if (!sensor) {
                continue;
            }
            QVERIFY(QTest::qWaitForWindowActive(&panel));
            QTest::mouseClick(child(panel, "settingsButton"), Qt::LeftButton);
            QCOMPARE(opened, std::vector<std::string>{"settings"});
            QVERIFY(!child(panel, "updatesButton")->isEnabled()); // no update feed
            QTest::mouseClick(child(panel, "quitButton"), Qt::LeftButton);
            QTest::keyClick(&panel, Qt::Key_Q, Qt::ControlModifier);
            QCOMPARE(quits, 2);
        }
    }

    // The host's panel goes when it hides and a new one shows what changed
    // meanwhile; the incompatible window still opens once; a hide and show in
    // one turn (a change of window flags) keeps the panel.
    void panelHostReleasesHiddenPanelAndRebuildsItCurrent() {
        CoordinatorFixture f({.accelerometer = false});
        std::vector<std::string> opened;
        PanelHost host([&] {
            return std::make_unique<MenuBarDropdown>(
                f.bridge(), nullptr,
                MenuBarDropdown::Hooks{[&](const std::string& id) { opened.push_back(id); }, {}});
        });
        QVERIFY(host.current() == nullptr);
        for (const float volume : {0.25f, 0.75f}) {
            host.panel().show();
            QPointer<MenuBarDropdown> first = host.current();
            host.panel().hide();
            host.panel().show();
            QCoreApplication::processEvents();
            QVERIFY(first && host.current() == first && first->isVisible());
            host.hide();
            QTRY_VERIFY(!first);
            QVERIFY(host.current() == nullptr);
            f.settings().setMasterVolume(volume);
            QCOMPARE(child<ValueSlider>(host.panel(), "volumeSlider")->value(),
                     int(volume * ValueSlider::kSteps));
        }
        QCOMPARE(opened, std::vector<std::string>{"incompatible"});
    }

    void soundTabKeepsValuesBeyondItsSlidersAndSavesEachControl() {
        // Readouts truncate; the defaults' floats lie just below the round values.
        QCOMPARE(QStringList({percentReadout(0.999f), percentReadout(-0.004f), percentReadout(3e9f),
                              variationReadout(0.03f), variationReadout(0.029f)}),
                 QStringList({"99%", "0%", "300000000000%", "±3%", "±2%"})); // no "-0%"

        CoordinatorFixture f(
            {.settingsFile = nlohmann::json{{"pitchVariation", 0.3}, {"masterVolume", 1.7}}});
        const std::string before = readFile(f.settingsPath());
        std::vector<std::string> opened;
        auto opener = [&](std::string url) { opened.push_back(std::move(url)); };
        ClavioSettingsView view(f.bridge(), {}, opener);
        view.tabs()->setCurrentIndex(1);
        view.show();
        QCOMPARE(child<ValueSlider>(view, "pitchSlider")->value(), ValueSlider::kSteps);
        QCOMPARE(child<ValueSlider>(view, "gainSlider")->value(), 250); // the default 0.05
        QCOMPARE(text(view, "pitchReadout") + ' ' + text(view, "volumeReadout"),
                 QStringLiteral("±30% 170%"));
        QCOMPARE(readFile(f.settingsPath()), before); // showing them changed nothing

        // Moving one control saves its value and keeps the others.
        child<ValueSlider>(view, "gainSlider")->setValue(500);
        QCOMPARE(text(view, "gainReadout"), QStringLiteral("±10%"));
        QTest::mouseClick(child<ToggleSwitch>(view, "disableModifierSounds"), Qt::LeftButton);
        const nlohmann::json disk = f.settingsOnDisk();
        QCOMPARE(std::tuple(disk.value("gainVariation", -1.0f), disk.value("pitchVariation", -1.0f),
                            disk.value("masterVolume", -1.0f)),
                 std::tuple(0.1f, 0.3f, 1.7f));
        QCOMPARE(disk.value("disableModifierSounds", false), true);

        // About opens only web addresses.
        Q_EMIT child<QLabel>(view, "websiteLink")->linkActivated({});
        QCOMPARE(opened, std::vector<std::string>{CLAVIO_WEBSITE_URL});
        AboutTab about(opener, nullptr, "javascript:alert(1)");
        Q_EMIT child<QLabel>(about, "websiteLink")->linkActivated({});
        QCOMPARE(opened.size(), std::size_t(1));
    }

    void generalTabReRegistersTheLoginItemEachTimeItAppears() {
        CoordinatorFixture f({.settingsFile = nlohmann::json{{"launchAtLogin", true}}});
        LoginItem login;
        ClavioSettingsView view(f.bridge(), login.action(), {});
        auto* toggle = child<ToggleSwitch>(view, "launchAtLogin");
        fs::remove(f.settingsPath());
        view.show(); // the General tab appears
        QVERIFY(toggle->isChecked() && login.item.status() == platform::LoginItemStatus::enabled);
        QCOMPARE(f.settingsOnDisk().value("launchAtLogin", false), true);
        // Away and back, and the window reopened: registered again each time.
        fs::remove(login.item.entryPath());
        view.tabs()->setCurrentIndex(2);
        view.tabs()->setCurrentIndex(0);
        QVERIFY(fs::exists(login.item.entryPath()));
        view.hide();
        view.show();
        QCOMPARE(login.calls, 3);
        // Off from the switch: stored, saved, unregistered.
        QTest::mouseClick(toggle, Qt::LeftButton);
        QCOMPARE(f.settingsOnDisk().value("launchAtLogin", true), false);
        QVERIFY(!fs::exists(login.item.entryPath()) && login.calls == 4);

        // With login off, showing the tab calls nothing and writes nothing.
        CoordinatorFixture off;
        LoginItem unused;
        ClavioSettingsView other(off.bridge(), unused.action(), {});
        other.show();
        QVERIFY(unused.calls == 0 && !fs::exists(off.settingsPath()));
    }

    void soundPacksRowImportsAPackListsItAndOpensTheUserFolder() {
        CoordinatorFixture f;
        MenuBarDropdown panel(f.bridge(), nullptr, {});
        std::vector<std::string> opened;
        SoundPacksRow row(f.coordinator().packManager(),
                          [&](std::string address) { opened.push_back(std::move(address)); });
        const fs::path user = f.xdg.dataHome() / "Clavio" / "SoundPacks";
        row.openPacksFolder();
        QVERIFY(fs::is_directory(user));
        QCOMPARE(opened, std::vector<std::string>{"file://" + user.string()});

        TempDir source;
        fs::create_directories(source / "Typed");
        fs::copy_file(kBuiltInPacks / "Biscuit" / "alpha" / "hard_1.wav",
                      source / "Typed" / "1e-1.wav");
        QVERIFY(!row.importFrom(source / "absent"));
        QVERIFY(row.resultText().contains(QStringLiteral("no such folder")));
        QVERIFY(row.importFrom(source / "Typed"));
        QVERIFY(row.resultText().startsWith(QStringLiteral("Imported \"Typed\"")));
        QVERIFY(fs::exists(user / "Typed" / "pack.json"));
        QTRY_VERIFY(panel.listedPacks() == f.coordinator().packManager().availablePacks());
        const auto& listed = panel.listedPacks();
        QVERIFY(std::find(listed.begin(), listed.end(), "Typed") != listed.end());
        QVERIFY(!row.importFrom(source / "Typed")); // the name is taken now
        QVERIFY(row.resultText().contains(QStringLiteral("--force")));
    }
};

QTEST_MAIN(ViewsTest)
#include "test_views.moc"
