// The settings window on a real coordinator: readouts truncate, values
// beyond a slider's end are kept, every control saves at once (the volume
// reaching the mixer too), the General tab re-registers the login item
// through the XDG autostart entry when it appears, and About shows the
// build's version and opens the web site.
#include <QApplication>
#include <QLabel>
#include <QTabWidget>
#include <QtTest>

#include <filesystem>

#include "app/views/about_tab.h"
#include "engine/audio/audio_engine.h"
#include "engine/settings/tocca_settings.h"
#include "platform/linux/desktop/xdg_login_item.h"
#include "app/views/clavio_settings_view.h"
#include "tests/app/coordinator_fixture.h"
#include "app/views/menu_bar_dropdown.h"
#include "app/views/readouts.h"
#include "app/widgets/toggle_switch.h"
#include "app/widgets/value_slider.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

QString readout(QWidget& view, const char* name) {
    auto* label = view.findChild<QLabel*>(QLatin1String(name));
    return label ? label->text() : QStringLiteral("<missing %1>").arg(QLatin1String(name));
}

template <class T> T* child(QWidget& parent, const char* name) {
    return parent.findChild<T*>(QLatin1String(name));
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
        QCOMPARE(percentReadout(1.0f), QStringLiteral("100%"));
        QCOMPARE(percentReadout(0.5f), QStringLiteral("50%"));
        QCOMPARE(percentReadout(0.0f), QStringLiteral("0%"));
        QCOMPARE(percentReadout(0.0999f), QStringLiteral("9%"));
        QCOMPARE(percentReadout(1.7f), QStringLiteral("170%"));
        QCOMPARE(percentReadout(-0.004f), QStringLiteral("0%")); // no "-0%"
        QCOMPARE(percentReadout(-0.5f), QStringLiteral("-50%"));
        QCOMPARE(percentReadout(3e9f), QStringLiteral("300000000000%"));
        // The defaults, whose floats lie just below the round values.
        QCOMPARE(variationReadout(0.03f), QStringLiteral("±3%"));
        QCOMPARE(variationReadout(0.05f), QStringLiteral("±5%"));
        QCOMPARE(variationReadout(0.15f), QStringLiteral("±15%"));
        QCOMPARE(variationReadout(0.2f), QStringLiteral("±20%"));
        QCOMPARE(variationReadout(0.029f), QStringLiteral("±2%"));
        // Every slider position reads back as its own whole percentage.
        ValueSlider pitch(0.15);
        for (int position = 0; position <= ValueSlider::kSteps; ++position) {
            const double exact = 0.15 * position / ValueSlider::kSteps * 100.0;
            const QString expected =
                QStringLiteral("±%1%").arg(static_cast<int>(std::floor(exact + 1e-9)));
            QCOMPARE(variationReadout(pitch.valueAt(position)), expected);
        }
    }

    void soundTabShowsTheStoredValues() {
        FixtureOptions options;
        options.settingsFile = nlohmann::json{{"masterVolume", 0.999}};
        CoordinatorFixture f(options);
        ClavioSettingsView view(f.bridge(), {}, {});
        view.tabs()->setCurrentIndex(1);
        view.show();
        QCOMPARE(readout(view, "volumeReadout"), QStringLiteral("99%"));
        QCOMPARE(readout(view, "pitchReadout"), QStringLiteral("±3%"));
        QCOMPARE(readout(view, "gainReadout"), QStringLiteral("±5%"));
        QCOMPARE(child<ValueSlider>(view, "pitchSlider")->value(), 200);
        QCOMPARE(child<ValueSlider>(view, "gainSlider")->value(), 250);
    }

    void valuesBeyondTheSlidersAreKept() {
        FixtureOptions options;
        options.settingsFile =
            nlohmann::json{{"pitchVariation", 0.3}, {"gainVariation", 0.45}, {"masterVolume", 1.7}};
        CoordinatorFixture f(options);
        const std::string before = readFile(f.settingsPath());
        ClavioSettingsView view(f.bridge(), {}, {});
        view.tabs()->setCurrentIndex(1);
        view.show();
        QApplication::processEvents();

        auto* pitch = child<ValueSlider>(view, "pitchSlider");
        auto* gain = child<ValueSlider>(view, "gainSlider");
        auto* volume = child<ValueSlider>(view, "volumeSlider");
        QCOMPARE(pitch->value(), ValueSlider::kSteps); // at the end
        QCOMPARE(gain->value(), ValueSlider::kSteps);
        QCOMPARE(volume->value(), ValueSlider::kSteps);
        QCOMPARE(readout(view, "pitchReadout"), QStringLiteral("±30%"));
        QCOMPARE(readout(view, "gainReadout"), QStringLiteral("±45%"));
        QCOMPARE(readout(view, "volumeReadout"), QStringLiteral("170%"));
        // Showing them changed nothing, in memory or on disk.
        QCOMPARE(f.settings().pitchVariation(), 0.3f);
        QCOMPARE(f.settings().gainVariation(), 0.45f);
        QCOMPARE(f.settings().masterVolume(), 1.7f);
        QCOMPARE(readFile(f.settingsPath()), before);

        // Moving one slider saves its value and keeps the others.
        gain->setValue(500);
        QCOMPARE(f.settings().gainVariation(), 0.1f);
        const nlohmann::json disk = f.settingsOnDisk();
        QCOMPARE(disk.value("gainVariation", -1.0f), 0.1f);
        QCOMPARE(disk.value("pitchVariation", -1.0f), 0.3f);
        QCOMPARE(disk.value("masterVolume", -1.0f), 1.7f);
        QCOMPARE(readout(view, "gainReadout"), QStringLiteral("±10%"));
        QCOMPARE(readout(view, "pitchReadout"), QStringLiteral("±30%"));
    }

    void soundControlsSaveAtOnceAndFollowThePanel() {
        CoordinatorFixture f;
        QTRY_VERIFY(f.coordinator().isRunning()); // start() has set the mixer
        ClavioSettingsView view(f.bridge(), {}, {});
        view.tabs()->setCurrentIndex(1);
        view.show();

        auto* volume = child<ValueSlider>(view, "volumeSlider");
        volume->setSliderDown(true);
        for (int position : {990, 800, 600, 500}) { // a drag from 1.0 to 0.5
            volume->setValue(position);
            const float v = position / 1000.0f;
            QCOMPARE(f.coordinator().audioEngine().masterVolume(), v);
            QCOMPARE(f.settingsOnDisk().value("masterVolume", -1.0f), v);
            QCOMPARE(readout(view, "volumeReadout"), QStringLiteral("%1%").arg(position / 10));
        }
        volume->setSliderDown(false);

        auto* modifiers = child<ToggleSwitch>(view, "disableModifierSounds");
        QTest::mouseClick(modifiers, Qt::LeftButton);
        QVERIFY(f.settings().disableModifierSounds());
        QCOMPARE(f.settingsOnDisk().value("disableModifierSounds", false), true);

        child<ValueSlider>(view, "pitchSlider")->setValue(1000);
        QCOMPARE(f.settings().pitchVariation(), 0.15f);
        QCOMPARE(f.settingsOnDisk().value("pitchVariation", -1.0f), 0.15f);

        // The panel's slider moves this one and its readout.
        MenuBarDropdown panel(f.bridge(), nullptr, {});
        child<ValueSlider>(panel, "volumeSlider")->setValue(250);
        QTRY_COMPARE(volume->value(), 250);
        QCOMPARE(readout(view, "volumeReadout"), QStringLiteral("25%"));
    }

    void generalTabReRegistersTheLoginItemEachTimeItAppears() {
        FixtureOptions options;
        options.settingsFile = nlohmann::json{{"launchAtLogin", true}};
        CoordinatorFixture f(options);
        LoginItem login;
        ClavioSettingsView view(f.bridge(), login.action(), {});
        auto* toggle = child<ToggleSwitch>(view, "launchAtLogin");
        QVERIFY(!toggle->isChecked()); // loginEnabled starts false
        QVERIFY(!fs::exists(login.item.entryPath()));
        fs::remove(f.settingsPath());

        view.show(); // the General tab appears
        QVERIFY(toggle->isChecked());
        QCOMPARE(login.calls, 1);
        QCOMPARE(login.item.status(), platform::LoginItemStatus::enabled);
        QCOMPARE(f.settingsOnDisk().value("launchAtLogin", false), true); // saved

        // Away and back: registered again (the entry was removed meanwhile).
        fs::remove(login.item.entryPath());
        view.tabs()->setCurrentIndex(2);
        view.tabs()->setCurrentIndex(0);
        QCOMPARE(login.calls, 2);
        QVERIFY(fs::exists(login.item.entryPath()));
        // The window closed and opened again is a new appearance too.
        view.hide();
        view.show();
        QCOMPARE(login.calls, 3);

        // Off from the switch: stored, saved, unregistered.
        QTest::mouseClick(toggle, Qt::LeftButton);
        QVERIFY(!toggle->isChecked());
        QVERIFY(!f.settings().launchAtLogin());
        QCOMPARE(f.settingsOnDisk().value("launchAtLogin", true), false);
        QVERIFY(!fs::exists(login.item.entryPath()));
        QCOMPARE(login.calls, 4);
    }

    void generalTabWithLoginOffCallsNothing() {
        CoordinatorFixture f; // launchAtLogin false, no settings file
        LoginItem login;
        ClavioSettingsView view(f.bridge(), login.action(), {});
        view.show();
        view.tabs()->setCurrentIndex(1);
        view.tabs()->setCurrentIndex(0);
        QCOMPARE(login.calls, 0);
        QVERIFY(!fs::exists(f.settingsPath()));
        QVERIFY(!child<ToggleSwitch>(view, "launchAtLogin")->isChecked());
    }

    void aFailedRegistrationIsLoggedAndTheSwitchStaysOn() {
        CoordinatorFixture f;
        LoginItem login;
        // A file where the autostart folder belongs: the entry cannot be
        // written, whoever runs the test (root ignores permissions).
        fs::create_directories(f.xdg().configHome());
        writeFile(f.xdg().configHome() / "autostart", "not a folder");
        login.item = platform::XdgLoginItem("/usr/bin/clavio", f.xdg().configHome());
        ClavioSettingsView view(f.bridge(), login.action(), {});
        view.show();
        LogCapture log;
        auto* toggle = child<ToggleSwitch>(view, "launchAtLogin");
        QTest::mouseClick(toggle, Qt::LeftButton);
        QVERIFY(toggle->isChecked());
        QVERIFY(f.settings().launchAtLogin());
        QCOMPARE(f.settingsOnDisk().value("launchAtLogin", false), true);
        QCOMPARE(log.count("[Clavio] SMAppService error: "), std::size_t(1));
    }

    void windowAndAboutTab() {
        CoordinatorFixture f;
        std::vector<std::string> opened;
        ClavioSettingsView view(f.bridge(), {},
                                [&](std::string url) { opened.push_back(std::move(url)); });
        QCOMPARE(view.windowTitle(), QStringLiteral("Clavio Settings"));
        QCOMPARE(view.minimumSize(), QSize(480, 380));
        QCOMPARE(view.maximumSize(), QSize(480, 380));
        QCOMPARE(view.tabs()->count(), 3);
        QCOMPARE(view.tabs()->tabText(0), QStringLiteral("General"));
        QCOMPARE(view.tabs()->tabText(1), QStringLiteral("Sound"));
        QCOMPARE(view.tabs()->tabText(2), QStringLiteral("About"));

        QCOMPARE(readout(view, "version"), QStringLiteral("Version " CLAVIO_VERSION));
        QCOMPARE(AboutTab::versionText(""), QStringLiteral("Version ?"));
        QCOMPARE(readout(view, "productName"), QStringLiteral("Clavio"));
        QCOMPARE(readout(view, "tagline"),
                 QStringLiteral("The first velocity-sensitive keyboard sound engine."));
        auto* link = child<QLabel>(view, "websiteLink");
        QVERIFY(link->text().contains(QStringLiteral(">Website<")));
        Q_EMIT link->linkActivated(QStringLiteral(CLAVIO_WEBSITE_URL));
        QCOMPARE(opened, std::vector<std::string>{CLAVIO_WEBSITE_URL});

        // A site address that is no web address is not handed on.
        AboutTab about([&](std::string url) { opened.push_back(std::move(url)); }, nullptr,
                       "javascript:alert(1)");
        Q_EMIT about.findChild<QLabel*>(QStringLiteral("websiteLink"))->linkActivated({});
        QCOMPARE(opened.size(), std::size_t(1));
    }
};

QTEST_MAIN(SettingsViewTest)
#include "test_settings_view.moc"
