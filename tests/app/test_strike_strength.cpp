// Where a strike's strength comes from, as the user sees and sets it: the
// panel's line under the enabled row follows the coordinator, and the Sound
// tab's choice and Fixed strength slider are saved at once.
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <fstream>

#include "app/views/menu_bar_dropdown.h"
#include "app/views/sound_tab.h"
#include "app/widgets/toggle_switch.h"
#include "app/widgets/value_slider.h"
#include "engine/settings/tocca_settings.h"
#include "tests/app/coordinator_fixture.h"

using namespace clavio;
using namespace clavio::testing;

class StrikeStrengthTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void thePanelSaysWhereTheStrengthComesFromAndTheSoundTabSetsIt() {
        FixtureOptions options;
        options.accelerometer = false;
        CoordinatorFixture f(options);
        MenuBarDropdown panel(f.bridge(), nullptr, {});
        auto* line = panel.findChild<QLabel*>(QStringLiteral("strikeSource"));
        QTRY_COMPARE(line->text(), QStringLiteral("Fixed strength: no accelerometer"));

        CoordinatorFixture measured;
        MenuBarDropdown measuring(measured.bridge(), nullptr, {});
        line = measuring.findChild<QLabel*>(QStringLiteral("strikeSource"));
        QTRY_VERIFY2(line->text().startsWith(QStringLiteral("Measuring strikes with ")),
                     qPrintable(line->text()));
        // Chosen in Settings, the line changes without reopening the panel.
        SoundTab tab(measured.bridge());
        auto* choice = tab.findChild<QComboBox*>(QStringLiteral("strikeSource"));
        QCOMPARE(choice->currentText(), QStringLiteral("Automatic"));
        auto* microphone = tab.findChild<QWidget*>(QStringLiteral("microphoneSection"));
        QVERIFY(!microphone->isVisibleTo(&tab));
        // The microphone only when chosen, as a user picks it: the last choice.
        QTest::keyClick(choice, Qt::Key_End);
        QCOMPARE(choice->currentText(), QStringLiteral("Microphone"));
        QCOMPARE(measured.settingsOnDisk().value("velocitySource", ""), "microphone");
        QVERIFY(microphone->isVisibleTo(&tab));
        QVERIFY(tab.findChild<QLabel*>(QStringLiteral("microphonePrivacy"))
                    ->text()
                    .contains(QStringLiteral("never stored or sent")));
        // A stored device that is not listed stays chosen, marked; the
        // default is stored as "".
        auto* device = tab.findChild<QComboBox*>(QStringLiteral("microphoneDevice"));
        QCOMPARE(device->currentText(), QStringLiteral("System default"));
        measured.settings().setMicrophoneDevice("USB Webcam");
        QTRY_COMPARE(device->currentText(), QStringLiteral("USB Webcam (not connected)"));
        QTest::keyClick(device, Qt::Key_Home);
        QCOMPARE(measured.settingsOnDisk().value("microphoneDevice", "?"), "");
        QTest::keyClick(choice, Qt::Key_Up);
        QCOMPARE(choice->currentText(), QStringLiteral("Fixed"));
        QCOMPARE(measured.settingsOnDisk().value("velocitySource", ""), "fixed");
        QTRY_VERIFY(!microphone->isVisibleTo(&tab));
        QTRY_COMPARE(line->text(), QStringLiteral("Fixed strength: chosen in Settings"));

        auto* slider = tab.findChild<ValueSlider*>(QStringLiteral("fixedStrengthSlider"));
        slider->setValue(ValueSlider::kSteps / 4);
        QCOMPARE(measured.settingsOnDisk().value("fixedVelocity", -1.0f), 0.25f);
        QCOMPARE(tab.findChild<QLabel*>(QStringLiteral("fixedStrengthReadout"))->text(),
                 QStringLiteral("25%"));
        measured.settings().setFixedVelocity(0.8f); // from elsewhere: shown on the next turn
        QTRY_COMPARE(slider->value(), ValueSlider::kSteps * 4 / 5);
    }

    void theSoundTabTurnsOnPerKeyLevelsAndResetsThem() {
        const TempDir state;
        const auto file = state.path() / "key-levels.json";
        std::ofstream(file) << "{}";
        CoordinatorFixture f({.keyLevelsFile = file});
        SoundTab tab(f.bridge());
        auto* toggle = tab.findChild<ToggleSwitch*>(QStringLiteral("perKeyNormalization"));
        QVERIFY(!toggle->isChecked());
        QTest::mouseClick(toggle, Qt::LeftButton);
        QCOMPARE(f.settingsOnDisk().value("perKeyNormalization", false), true);
        QVERIFY(std::filesystem::exists(file)); // a refused file stays until reset
        QTest::mouseClick(tab.findChild<QPushButton*>(QStringLiteral("resetKeyLevels")),
                          Qt::LeftButton);
        QVERIFY(!std::filesystem::exists(file));
    }
};

QTEST_MAIN(StrikeStrengthTest)
#include "test_strike_strength.moc"
