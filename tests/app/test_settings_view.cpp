// The settings window on a real coordinator: readouts truncate, values beyond
// a slider's end are shown and kept, every control saves at once, the General
// tab re-registers the login item through the XDG autostart entry whenever it
// appears, and About opens only web addresses.
#include <QLabel>
#include <QTabWidget>
#include <QtTest>

#include "app/views/about_tab.h"
#include "app/views/clavio_settings_view.h"
#include "app/views/menu_bar_dropdown.h"
#include "app/views/readouts.h"
#include "app/widgets/toggle_switch.h"
#include "app/widgets/value_slider.h"
#include "engine/audio/audio_engine.h"
#include "platform/linux/desktop/xdg_login_item.h"
#include "tests/app/coordinator_fixture.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

template <class T = ValueSlider> T* child(QWidget& parent, const char* name) {
    return parent.findChild<T*>(QLatin1String(name));
}

QString readout(QWidget& view, const char* name) {
    return child<QLabel>(view, name)->text();
}

FixtureOptions withFile(nlohmann::json file) {
    FixtureOptions o;
    o.settingsFile = std::move(file);
    return o;
}

// The login-item action the application uses: the XDG autostart entry.
struct LoginItem {
    platform::XdgLoginItem item{"/usr/bin/clavio"};
    int calls = 0;
    LoginItemAction action() {
        return [this](bool enabled) {
            ++calls;
            return platform::applyLoginItem(item, enabled);
        };
    }
};

} // namespace

class SettingsViewTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readoutsTruncateToWholePercentages() {
        QCOMPARE(percentReadout(0.999f), QStringLiteral("99%"));
        QCOMPARE(percentReadout(0.0999f), QStringLiteral("9%"));
        QCOMPARE(percentReadout(1.7f), QStringLiteral("170%"));
        QCOMPARE(percentReadout(-0.004f), QStringLiteral("0%")); // no "-0%"
        QCOMPARE(percentReadout(3e9f), QStringLiteral("300000000000%"));
        // The defaults, whose floats lie just below the round values.
        QCOMPARE(variationReadout(0.03f), QStringLiteral("±3%"));
        QCOMPARE(variationReadout(0.15f), QStringLiteral("±15%"));
        QCOMPARE(variationReadout(0.029f), QStringLiteral("±2%"));
    }

    void valuesBeyondTheSlidersAreShownAndKept() {
        CoordinatorFixture f(withFile({{"pitchVariation", 0.3}, {"masterVolume", 1.7}}));
        const std::string before = readFile(f.settingsPath());
        ClavioSettingsView view(f.bridge(), {}, {});
        view.tabs()->setCurrentIndex(1);
        view.show();
        QCOMPARE(child(view, "pitchSlider")->value(), ValueSlider::kSteps); // at the end
        QCOMPARE(child(view, "volumeSlider")->value(), ValueSlider::kSteps);
        QCOMPARE(child(view, "gainSlider")->value(), 250); // the default 0.05
        QCOMPARE(readout(view, "pitchReadout"), QStringLiteral("±30%"));
        QCOMPARE(readout(view, "volumeReadout"), QStringLiteral("170%"));
        QCOMPARE(readFile(f.settingsPath()), before); // showing them changed nothing

        // Moving one slider saves its value and keeps the others.
        child(view, "gainSlider")->setValue(500);
        const nlohmann::json disk = f.settingsOnDisk();
        QCOMPARE(disk.value("gainVariation", -1.0f), 0.1f);
        QCOMPARE(disk.value("pitchVariation", -1.0f), 0.3f);
        QCOMPARE(disk.value("masterVolume", -1.0f), 1.7f);
        QCOMPARE(readout(view, "gainReadout"), QStringLiteral("±10%"));
    }

    void soundControlsSaveAtOnceAndFollowThePanel() {
        CoordinatorFixture f;
        QTRY_VERIFY(f.coordinator().isRunning()); // start() has set the mixer
        ClavioSettingsView view(f.bridge(), {}, {});
        view.tabs()->setCurrentIndex(1);
        view.show();
        auto* volume = child(view, "volumeSlider");
        volume->setValue(600);
        QCOMPARE(f.coordinator().audioEngine().masterVolume(), 0.6f);
        QCOMPARE(f.settingsOnDisk().value("masterVolume", -1.0f), 0.6f);
        QCOMPARE(readout(view, "volumeReadout"), QStringLiteral("60%"));

        QTest::mouseClick(child<ToggleSwitch>(view, "disableModifierSounds"), Qt::LeftButton);
        QCOMPARE(f.settingsOnDisk().value("disableModifierSounds", false), true);
        child(view, "pitchSlider")->setValue(1000);
        QCOMPARE(f.settingsOnDisk().value("pitchVariation", -1.0f), 0.15f);

        // The panel's slider moves this one and its readout.
        MenuBarDropdown panel(f.bridge(), nullptr, {});
        child(panel, "volumeSlider")->setValue(250);
        QTRY_COMPARE(volume->value(), 250);
        QCOMPARE(readout(view, "volumeReadout"), QStringLiteral("25%"));
    }

    void generalTabReRegistersTheLoginItemEachTimeItAppears() {
        CoordinatorFixture f(withFile({{"launchAtLogin", true}}));
        LoginItem login;
        ClavioSettingsView view(f.bridge(), login.action(), {});
        auto* toggle = child<ToggleSwitch>(view, "launchAtLogin");
        QVERIFY(!fs::exists(login.item.entryPath()));
        fs::remove(f.settingsPath());

        view.show(); // the General tab appears
        QVERIFY(toggle->isChecked());
        QCOMPARE(login.item.status(), platform::LoginItemStatus::enabled);
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
        QVERIFY(!f.settings().launchAtLogin());
        QCOMPARE(f.settingsOnDisk().value("launchAtLogin", true), false);
        QVERIFY(!fs::exists(login.item.entryPath()));
        QCOMPARE(login.calls, 4);
    }

    void generalTabWithLoginOffCallsNothing() {
        CoordinatorFixture f;
        LoginItem login;
        ClavioSettingsView view(f.bridge(), login.action(), {});
        view.show();
        view.tabs()->setCurrentIndex(1);
        view.tabs()->setCurrentIndex(0);
        QCOMPARE(login.calls, 0);
        QVERIFY(!fs::exists(f.settingsPath()));
    }

    void aFailedRegistrationIsLoggedAndTheSwitchStaysOn() {
        CoordinatorFixture f;
        LoginItem login;
        // A file where the autostart folder belongs: the entry cannot be
        // written, whoever runs the test (root ignores permissions).
        writeFile(f.xdg.configHome() / "autostart", "not a folder");
        login.item = platform::XdgLoginItem("/usr/bin/clavio", f.xdg.configHome());
        ClavioSettingsView view(f.bridge(), login.action(), {});
        view.show();
        LogCapture log;
        auto* toggle = child<ToggleSwitch>(view, "launchAtLogin");
        QTest::mouseClick(toggle, Qt::LeftButton);
        QVERIFY(toggle->isChecked());
        QCOMPARE(f.settingsOnDisk().value("launchAtLogin", false), true);
        QCOMPARE(log.count("[Clavio] SMAppService error: "), std::size_t(1));
    }

    void aboutShowsTheVersionAndOpensOnlyWebAddresses() {
        CoordinatorFixture f;
        std::vector<std::string> opened;
        auto opener = [&](std::string url) { opened.push_back(std::move(url)); };
        ClavioSettingsView view(f.bridge(), {}, opener);
        QCOMPARE(readout(view, "version"), QStringLiteral("Version " CLAVIO_VERSION));
        QCOMPARE(AboutTab::versionText(""), QStringLiteral("Version ?"));
        Q_EMIT child<QLabel>(view, "websiteLink")->linkActivated(QStringLiteral("x"));
        QCOMPARE(opened, std::vector<std::string>{CLAVIO_WEBSITE_URL});
        AboutTab about(opener, nullptr, "javascript:alert(1)");
        Q_EMIT child<QLabel>(about, "websiteLink")->linkActivated({});
        QCOMPARE(opened.size(), std::size_t(1));
    }
};

QTEST_MAIN(SettingsViewTest)
#include "test_settings_view.moc"
