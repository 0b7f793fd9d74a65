// The coordinator's lifecycle on virtual time: launch order, start/stop,
// timers, permission polling, observable state and calibration.
#include <gtest/gtest.h>

#include <thread>

#include "engine/audio/audio_engine.h"
#include "engine/sensing/calibration.h"
#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/settings/settings_values.h"
#include "engine/sensing/spu_sensor.h"
#include "engine/runtime/virtual_time_scheduler.h"
#include "tests/support/coordinator_rig.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

constexpr float kRest = 1.0f;

SettingsValues toneSettings() {
    SettingsValues v;
    v.selectedPackName = "Tone";
    return v;
}

// Counts notifications per property.
struct Notifications {
    explicit Notifications(ToccaCoordinator& c) {
        c.subscribe([this](const CoordinatorProperty& p) { ++counts[p]; });
    }
    int operator[](CoordinatorProperty p) { return counts[p]; }
    std::map<CoordinatorProperty, int> counts;
};

} // namespace

TEST(CoordinatorLifecycle, StartsOnTheNextMainTurnAndPollingEndsOnceCaptureRuns) {
    CoordinatorRig rig;
    writeStandardPack(rig.userPacks() / "Tone");
    LogCapture log;
    auto& coordinator = rig.launch(toneSettings(), false);
    EXPECT_TRUE(coordinator.sensorAvailable());
    EXPECT_TRUE(coordinator.hasAccessibilityPermission());
    EXPECT_FALSE(coordinator.isRunning()) << "start() waits for the next turn";
    EXPECT_FALSE(coordinator.keyboard().isRunning());
    rig.scheduler.runUntil(rig.now());
    EXPECT_TRUE(coordinator.isRunning());
    EXPECT_TRUE(coordinator.keyboard().isRunning());
    EXPECT_TRUE(coordinator.audioEngine().isRunning());
    EXPECT_EQ(log.count("[Clavio] packs=32 audio=OK sensor=YES"), 1u);
    EXPECT_FLOAT_EQ(coordinator.audioEngine().masterVolume(), 1.0f);

    // The first poll finds the capture running and ends the polling: a
    // capture stopped afterwards stays stopped.
    rig.scheduler.advanceBy(2500ms);
    coordinator.keyboard().stop();
    rig.scheduler.advanceBy(6s);
    EXPECT_FALSE(coordinator.keyboard().isRunning());
    EXPECT_FALSE(log.contains("Keyboard capture started after permission grant"));
}

TEST(CoordinatorLifecycle, SoundOffAtLaunchOnlyPollsAndThePollStartsCaptureOnceAllowed) {
    RigOptions options;
    options.keyboardAccess = false;
    CoordinatorRig rig(options);
    writeStandardPack(rig.userPacks() / "Tone");
    LogCapture log;
    SettingsValues values = toneSettings();
    values.soundEnabled = false;
    auto& coordinator = rig.launch(values);
    rig.scheduler.advanceBy(5s);
    EXPECT_FALSE(coordinator.isRunning());
    EXPECT_FALSE(coordinator.keyboard().isRunning());
    EXPECT_FALSE(coordinator.hasAccessibilityPermission());
    EXPECT_FALSE(coordinator.audioEngine().isRunning());

    rig.keys->access = true;
    rig.scheduler.advanceBy(2s);
    EXPECT_TRUE(coordinator.keyboard().isRunning());
    EXPECT_TRUE(coordinator.hasAccessibilityPermission());
    EXPECT_FALSE(coordinator.isRunning()) << "the poll starts the capture, not start()";
    EXPECT_EQ(log.count("[Clavio] Keyboard capture started after permission grant"), 1u);

    coordinator.keyboard().stop();
    rig.scheduler.advanceBy(6s);
    EXPECT_FALSE(coordinator.keyboard().isRunning()) << "polling ended with the first success";
    EXPECT_EQ(log.count("[Clavio] Keyboard capture started after permission grant"), 1u);
}

TEST(CoordinatorLifecycle, WithoutAccelerometerNothingStartsAndTheLineIsLoggedOnce) {
    RigOptions options;
    options.accelerometer = false;
    CoordinatorRig rig(options);
    writeStandardPack(rig.userPacks() / "Tone");
    LogCapture log;
    auto& coordinator = rig.launch(toneSettings());
    rig.scheduler.advanceBy(10s);
    EXPECT_FALSE(coordinator.sensorAvailable());
    EXPECT_FALSE(coordinator.isRunning());
    EXPECT_FALSE(coordinator.keyboard().isRunning()) << "no permission polling either";
    EXPECT_EQ(log.count("[Clavio] Sensor not available. Mac incompatible."), 1u);
    EXPECT_FALSE(log.contains("[Clavio] packs="));
    EXPECT_EQ(rig.registry->opened(), 0);
}

TEST(CoordinatorLifecycle, StartTwiceKeepsOneSetOfTimersAndStopEndsThem) {
    CoordinatorRig rig;
    writeStandardPack(rig.userPacks() / "Tone");
    auto& coordinator = rig.launch(toneSettings());
    const int decodes = rig.rawDecoder.decodeCalls();
    {
        LogCapture log;
        coordinator.start();
        EXPECT_TRUE(log.lines().empty()) << "the second start() returns at once";
    }
    EXPECT_EQ(rig.rawDecoder.decodeCalls(), decodes);
    Notifications notes(coordinator);
    const auto ranBefore = rig.classifyQueue.ran();
    rig.run(1001ms, kRest); // ticks at 0.1 .. 1.0 s
    EXPECT_EQ(rig.classifyQueue.ran() - ranBefore, 10u) << "one baseline update per 0.1 s";
    EXPECT_EQ(notes[CoordinatorProperty::totalSamples], 20) << "one display tick per 0.05 s";

    // One key-down handler: one press.
    rig.keyDown(0);
    rig.run(40ms, kRest);
    EXPECT_EQ(rig.presses().size(), 1u);

    coordinator.stop();
    EXPECT_FALSE(coordinator.isRunning());
    EXPECT_FALSE(coordinator.keyboard().isRunning());
    EXPECT_FALSE(coordinator.audioEngine().isRunning());
    const auto ranStopped = rig.classifyQueue.ran();
    const int ticksStopped = notes[CoordinatorProperty::totalSamples];
    rig.scheduler.advanceBy(1s);
    EXPECT_EQ(rig.classifyQueue.ran(), ranStopped);
    EXPECT_EQ(notes[CoordinatorProperty::totalSamples], ticksStopped);
}

TEST(CoordinatorLifecycle, RestartReloadsThePackAndInstallsHandlersWithTheCurrentSearchWindow) {
    CoordinatorRig rig;
    writeStandardPack(rig.userPacks() / "Tone");
    auto& coordinator = rig.launch(toneSettings());
    const auto maps = coordinator.loadedSampleMap();
    const int decodes = rig.rawDecoder.decodeCalls();
    coordinator.stop();
    rig.settings().setSearchPostMs(50.0);
    coordinator.start();
    EXPECT_TRUE(coordinator.isRunning());
    EXPECT_TRUE(coordinator.keyboard().isRunning());
    EXPECT_TRUE(coordinator.audioEngine().isRunning());
    EXPECT_EQ(rig.rawDecoder.decodeCalls(), decodes * 2) << "the pack was loaded again";
    EXPECT_EQ(coordinator.loadedSampleMap(), maps);

    const std::uint64_t key = rig.now();
    rig.keyDown(0);
    rig.run(100ms, kRest);
    ASSERT_EQ(rig.presses().size(), 1u);
    EXPECT_EQ(rig.presses()[0].classifiedAt, key + 60 * kTicksPerMilli);
}

TEST(CoordinatorLifecycle, ObserversHearEachChangeBeforeItIsStored) {
    CoordinatorRig rig;
    writeStandardPack(rig.userPacks() / "Tone");
    auto& coordinator = rig.launch(toneSettings(), false);
    EXPECT_EQ(coordinator.lastTier(), VelocityTier::soft);
    EXPECT_FALSE(coordinator.lastKeyEvent());
    EXPECT_FALSE(coordinator.lastImpact());
    EXPECT_EQ(coordinator.sensorStatusValue(), SensorStatus::stopped);

    std::vector<std::pair<CoordinatorProperty, std::string>> seen;
    coordinator.subscribe([&](const CoordinatorProperty& p) {
        std::string value;
        switch (p) {
        case CoordinatorProperty::isRunning:
            value = coordinator.isRunning() ? "running" : "idle";
            break;
        case CoordinatorProperty::lastKeyEvent:
            value = coordinator.lastKeyEvent() ? "key" : "none";
            break;
        case CoordinatorProperty::lastImpact:
            value = coordinator.lastImpact() ? "impact" : "none";
            break;
        case CoordinatorProperty::lastTier:
            value = std::string(name(coordinator.lastTier()));
            break;
        default:
            return;
        }
        seen.emplace_back(p, value);
    });
    rig.scheduler.runUntil(rig.now());
    rig.run(300ms, kRest);
    rig.scheduleSample(rig.now() + 3 * kTicksPerMilli, kRest + 0.2f);
    rig.keyDown(0);
    rig.run(40ms, kRest);

    const std::vector<std::pair<CoordinatorProperty, std::string>> expected = {
        {CoordinatorProperty::isRunning, "idle"},
        {CoordinatorProperty::lastKeyEvent, "none"},
        {CoordinatorProperty::lastImpact, "none"},
        {CoordinatorProperty::lastTier, "soft"},
    };
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(coordinator.lastTier(), VelocityTier::slam);
    EXPECT_EQ(coordinator.lastKeyEvent()->keyCode, 0);
}

TEST(CoordinatorLifecycle, DisplayTickPublishesSamplesMagnitudeAndPermission) {
    CoordinatorRig rig;
    writeStandardPack(rig.userPacks() / "Tone");
    auto& coordinator = rig.launch(toneSettings());
    rig.run(100ms, kRest); // reports at 0..99 ms
    rig.scheduleSample(rig.launchTicks() + 100 * kTicksPerMilli, 1.25f);
    rig.run(1ms, kRest); // the 100 ms tick sees the 1.25 g report
    EXPECT_EQ(coordinator.totalSamples(), 101u);
    EXPECT_EQ(coordinator.totalSamples(), coordinator.sensor().totalSamples());
    EXPECT_FLOAT_EQ(coordinator.recentMagnitude(), 1.25f);

    rig.keys->access = false;
    rig.run(50ms, kRest);
    EXPECT_FALSE(coordinator.hasAccessibilityPermission());
}

TEST(CoordinatorLifecycle, SensorStatusReachesTheObservablePropertyThroughTheMainQueue) {
    CoordinatorRig rig;
    writeStandardPack(rig.userPacks() / "Tone");
    auto& coordinator = rig.launch(toneSettings());
    // The sensor thread reports on real time; its post waits for a main turn.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (coordinator.sensorStatusValue() != SensorStatus::running &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
        rig.scheduler.runUntil(rig.now());
    }
    EXPECT_EQ(coordinator.sensorStatusValue(), SensorStatus::running);
    EXPECT_EQ(rig.registry->opened(), 1);
}

TEST(CoordinatorLifecycle, ApplyCalibrationChangesFourSettingsSavesOnceAndReachesTheClassifier) {
    CoordinatorRig rig;
    writeStandardPack(rig.userPacks() / "Tone");
    auto& coordinator = rig.launch(toneSettings());
    rig.run(500ms, kRest);
    auto strike = [&] {
        rig.scheduleSample(rig.now() + 3 * kTicksPerMilli, kRest + 0.06f);
        rig.keyDown(0);
        rig.run(60ms, kRest);
        return rig.presses().back().impact;
    };
    EXPECT_EQ(strike().tier, VelocityTier::medium);

    std::vector<SettingsKey> changed;
    rig.settings().subscribe([&](const SettingsKey& key) { changed.push_back(key); });
    const SettingsValues before = rig.settings().values();
    // A folder where the settings file goes makes every save fail with one
    // line, so the lines count the saves.
    std::filesystem::create_directories(ToccaSettings::fileURL());
    CalibrationResult result;
    result.sampleCount = 12;
    result.recommendedSoftThreshold = 0.1f;
    result.recommendedMediumThreshold = 0.2f;
    result.recommendedHardThreshold = 0.3f;
    result.recommendedHardCap = 0.023f;
    {
        LogCapture log;
        coordinator.applyCalibration(result);
        EXPECT_EQ(log.count("[Clavio] Failed to save settings"), 1u);
    }
    EXPECT_EQ(changed,
              (std::vector<SettingsKey>{SettingsKey::softThreshold, SettingsKey::mediumThreshold,
                                        SettingsKey::hardThreshold, SettingsKey::hardCap}));
    SettingsValues expected = before;
    expected.softThreshold = 0.1f;
    expected.mediumThreshold = 0.2f;
    expected.hardThreshold = 0.3f;
    expected.hardCap = 0.023f;
    EXPECT_EQ(rig.settings().values(), expected);

    // The same strike against the new cap is at full velocity.
    const ImpactResult after = strike();
    EXPECT_FLOAT_EQ(after.velocity, 1.0f);
    EXPECT_EQ(after.tier, VelocityTier::slam);

    // With the folder gone the save writes the new values.
    std::filesystem::remove_all(ToccaSettings::fileURL());
    coordinator.applyCalibration(result);
    const auto saved = decodeSettings(readFile(ToccaSettings::fileURL()));
    ASSERT_TRUE(saved.ok());
    EXPECT_EQ(saved.value(), expected);
}

TEST(CoordinatorLifecycle, CreateRefusesMissingQueuesWithOneLine) {
    LogCapture log;
    CoordinatorServices services;
    EXPECT_EQ(ToccaCoordinator::create(std::make_shared<ToccaSettings>(), services), nullptr);
    VirtualTimeScheduler scheduler;
    services.mainQueue = &scheduler;
    EXPECT_EQ(ToccaCoordinator::create(std::make_shared<ToccaSettings>(), services), nullptr);
    services.classifyQueue = &scheduler;
    EXPECT_EQ(ToccaCoordinator::create(nullptr, services), nullptr);
    EXPECT_EQ(log.count("[Clavio] Coordinator not created"), 3u);

    // Only the queues: no sensor, no keyboard, no decoder, no audio device.
    ScopedXdgHome home;
    const auto bare = ToccaCoordinator::create(std::make_shared<ToccaSettings>(), services);
    ASSERT_NE(bare, nullptr);
    EXPECT_FALSE(bare->sensorAvailable());
    EXPECT_FALSE(bare->hasAccessibilityPermission());
    bare->start();
    EXPECT_TRUE(bare->isRunning());
    EXPECT_TRUE(log.contains("[Clavio] packs=0 audio=OK sensor=NO"));
}
