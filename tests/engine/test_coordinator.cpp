// The coordinator: lifecycle, pack loading and the keystroke pipeline on
// virtual time (key events through the capture's event logic, reports
// through the report decoder into the coordinator's own ring, voices pulled
// from the mixer), and once on real threads.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <sstream>
#include <thread>

#include "engine/audio/audio_engine.h"
#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/ports/url_opener.h"
#include "engine/replay/replay_key_source.h"
#include "engine/replay/replay_sensor_registry.h"
#include "engine/replay/replay_timeline.h"
#include "engine/runtime/run_loop.h"
#include "engine/runtime/serial_deadline_queue.h"
#include "engine/sensing/accel_report.h"
#include "engine/sensing/calibration.h"
#include "engine/sensing/spu_sensor.h"
#include "engine/settings/macro_router.h"
#include "tests/support/coordinator_rig.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

constexpr float kRest = 1.0f;
using Map = std::map<std::string, std::vector<std::int32_t>>;

SettingsValues steady(const std::string& pack = "Tone") {
    SettingsValues v;
    v.selectedPackName = pack;
    v.pitchVariation = 0.0f;
    v.gainVariation = 0.0f;
    return v;
}

std::uint64_t ms(std::uint64_t m) { return m * kTicksPerMilli; }

// A rig with the "Tone" pack installed (and launched, rested for half a
// second so the baseline has settled, unless told not to).
struct Pipeline {
    explicit Pipeline(SettingsValues values = steady(), RigOptions options = {},
                      bool launched = true)
        : rig(options) {
        installPack("Tone", rig.userPacks() / "Tone");
        if (launched) {
            rig.launch(values);
            rig.run(500ms, kRest);
        }
    }
    // Strikes `code` now with a bump of `peak` g above rest 3 ms later.
    void strike(std::uint16_t code, float peak) {
        rig.scheduleSample(rig.now() + ms(3), kRest + peak);
        rig.keyDown(code);
    }
    CoordinatorRig rig;
};

class RecordingOpener final : public UrlOpener {
public:
    bool open(const std::string& address) override {
        opened.push_back(address);
        return true;
    }
    std::vector<std::string> opened;
};

} // namespace

// ---- lifecycle ----

TEST(CoordinatorLifecycle, StartsOnTheNextMainTurnAndPollingEndsOnceCaptureRuns) {
    Pipeline p(steady(), {}, false);
    LogCapture log;
    auto& coordinator = p.rig.launch(steady(), false);
    EXPECT_TRUE(coordinator.sensorAvailable());
    EXPECT_FALSE(coordinator.isRunning()) << "start() waits for the next turn";
    p.rig.scheduler.runUntil(p.rig.now());
    EXPECT_TRUE(coordinator.isRunning());
    EXPECT_TRUE(coordinator.keyboard().isRunning());
    EXPECT_TRUE(coordinator.audioEngine().isRunning());
    EXPECT_EQ(log.count("[Clavio] packs=32 audio=OK sensor=YES"), 1u);
    // The first poll finds the capture running and ends the polling: a
    // capture stopped afterwards stays stopped.
    p.rig.scheduler.advanceBy(2500ms);
    coordinator.keyboard().stop();
    p.rig.scheduler.advanceBy(6s);
    EXPECT_FALSE(coordinator.keyboard().isRunning());
    // The sensor thread reports on real time; its post waits for a main turn.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (coordinator.sensorStatusValue() != SensorStatus::running &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
        p.rig.scheduler.runUntil(p.rig.now());
    }
    EXPECT_EQ(coordinator.sensorStatusValue(), SensorStatus::running);
}

TEST(CoordinatorLifecycle, SoundOffAtLaunchOnlyPollsAndThePollStartsCaptureOnceAllowed) {
    RigOptions options;
    options.keyboardAccess = false;
    Pipeline p(steady(), options, false);
    LogCapture log;
    SettingsValues values = steady();
    values.soundEnabled = false;
    auto& coordinator = p.rig.launch(values);
    p.rig.scheduler.advanceBy(5s);
    EXPECT_FALSE(coordinator.keyboard().isRunning());
    EXPECT_FALSE(coordinator.hasAccessibilityPermission());
    EXPECT_FALSE(coordinator.audioEngine().isRunning());
    p.rig.keys->access = true;
    p.rig.scheduler.advanceBy(2s);
    EXPECT_TRUE(coordinator.keyboard().isRunning());
    EXPECT_TRUE(coordinator.hasAccessibilityPermission());
    EXPECT_FALSE(coordinator.isRunning()) << "the poll starts the capture, not start()";
    coordinator.keyboard().stop();
    p.rig.scheduler.advanceBy(6s);
    EXPECT_FALSE(coordinator.keyboard().isRunning()) << "polling ended with the first success";
    EXPECT_EQ(log.count("[Clavio] Keyboard capture started after permission grant"), 1u);
}

TEST(CoordinatorLifecycle, StartTwiceKeepsOneSetOfTimersStopEndsThemAndRestartReloads) {
    Pipeline p(steady());
    auto& coordinator = p.rig.coordinator();
    const int decodes = p.rig.rawDecoder.decodeCalls();
    const Map maps = coordinator.loadedSampleMap();
    coordinator.start(); // already running: returns at once
    EXPECT_EQ(p.rig.rawDecoder.decodeCalls(), decodes);
    std::map<CoordinatorProperty, int> notes;
    coordinator.subscribe([&](const CoordinatorProperty& property) { ++notes[property]; });
    const auto ranBefore = p.rig.classifyQueue.ran();
    p.rig.run(1000ms, kRest);
    EXPECT_EQ(p.rig.classifyQueue.ran() - ranBefore, 10u) << "one baseline update per 0.1 s";
    EXPECT_EQ(notes[CoordinatorProperty::totalSamples], 20) << "one display tick per 0.05 s";
    coordinator.stop();
    EXPECT_FALSE(coordinator.keyboard().isRunning());
    EXPECT_FALSE(coordinator.audioEngine().isRunning());
    const auto ranStopped = p.rig.classifyQueue.ran();
    p.rig.run(1000ms);
    EXPECT_EQ(p.rig.classifyQueue.ran(), ranStopped);
    // A restart loads the pack again, to the same indices, and installs the
    // key handler with the current search window.
    p.rig.settings().setSearchPostMs(50.0);
    coordinator.start();
    EXPECT_EQ(p.rig.rawDecoder.decodeCalls(), decodes * 2);
    EXPECT_EQ(coordinator.loadedSampleMap(), maps);
    const std::uint64_t key = p.rig.now();
    p.rig.keyDown(0);
    p.rig.run(100ms, kRest);
    ASSERT_EQ(p.rig.presses().size(), 1u) << "one key-down handler: one press";
    EXPECT_EQ(p.rig.presses()[0].classifiedAt, key + ms(60));
}

TEST(CoordinatorLifecycle, ObserversHearEachChangeBeforeItIsStoredAndTheDisplayTickPublishes) {
    Pipeline p(steady(), {}, false);
    auto& coordinator = p.rig.launch(steady(), false);
    std::vector<std::pair<CoordinatorProperty, std::string>> seen;
    coordinator.subscribe([&](const CoordinatorProperty& property) {
        switch (property) {
        case CoordinatorProperty::isRunning:
            return seen.emplace_back(property, coordinator.isRunning() ? "running" : "idle"), void();
        case CoordinatorProperty::lastKeyEvent:
            return seen.emplace_back(property, coordinator.lastKeyEvent() ? "key" : "none"), void();
        case CoordinatorProperty::lastTier:
            return seen.emplace_back(property, std::string(name(coordinator.lastTier()))), void();
        default:
            return;
        }
    });
    p.rig.scheduler.runUntil(p.rig.now());
    p.rig.run(300ms, kRest);
    p.rig.scheduleSample(p.rig.now() + ms(3), kRest + 0.2f);
    p.rig.keyDown(0);
    p.rig.run(40ms, kRest);
    EXPECT_EQ(seen, (std::vector<std::pair<CoordinatorProperty, std::string>>{
                        {CoordinatorProperty::isRunning, "idle"},
                        {CoordinatorProperty::lastKeyEvent, "none"},
                        {CoordinatorProperty::lastTier, "soft"}}));
    EXPECT_EQ(coordinator.lastTier(), VelocityTier::slam);
    // The display tick at 400 ms sees the report written just before it.
    p.rig.scheduleSample(p.rig.launchTicks() + ms(400), 1.25f);
    p.rig.run(61ms, kRest);
    EXPECT_EQ(coordinator.totalSamples(), coordinator.sensor().totalSamples());
    EXPECT_FLOAT_EQ(coordinator.recentMagnitude(), 1.25f);
    p.rig.keys->access = false;
    p.rig.run(50ms, kRest);
    EXPECT_FALSE(coordinator.hasAccessibilityPermission());
}

TEST(CoordinatorLifecycle, ApplyCalibrationChangesFourSettingsSavesOnceAndReachesTheClassifier) {
    Pipeline p;
    auto strike = [&] {
        p.strike(0, 0.06f);
        p.rig.run(60ms, kRest);
        return p.rig.presses().back().impact;
    };
    EXPECT_EQ(strike().tier, VelocityTier::medium);
    std::vector<SettingsKey> changed;
    p.rig.settings().subscribe([&](const SettingsKey& key) { changed.push_back(key); });
    SettingsValues expected = p.rig.settings().values();
    // A folder where the settings file goes makes every save fail with one
    // line, so the lines count the saves.
    std::filesystem::create_directories(ToccaSettings::fileURL());
    CalibrationResult result;
    result.sampleCount = 12;
    result.recommendedSoftThreshold = expected.softThreshold = 0.1f;
    result.recommendedMediumThreshold = expected.mediumThreshold = 0.2f;
    result.recommendedHardThreshold = expected.hardThreshold = 0.3f;
    result.recommendedHardCap = expected.hardCap = 0.023f;
    {
        LogCapture log;
        p.rig.coordinator().applyCalibration(result);
        EXPECT_EQ(log.count("[Clavio] Failed to save settings"), 1u);
    }
    EXPECT_EQ(changed, (std::vector<SettingsKey>{SettingsKey::softThreshold,
                                                 SettingsKey::mediumThreshold,
                                                 SettingsKey::hardThreshold, SettingsKey::hardCap}));
    EXPECT_EQ(p.rig.settings().values(), expected);
    const ImpactResult after = strike(); // the same strike against the new cap
    EXPECT_FLOAT_EQ(after.velocity, 1.0f);
    EXPECT_EQ(after.tier, VelocityTier::slam);
    std::filesystem::remove_all(ToccaSettings::fileURL());
    p.rig.coordinator().applyCalibration(result);
    EXPECT_EQ(decodeSettings(readFile(ToccaSettings::fileURL())).value(), expected);
}

TEST(CoordinatorLifecycle, CreateRefusesMissingServicesWithOneLine) {
    LogCapture log;
    ScopedXdgHome home;
    VirtualTimeScheduler scheduler;
    OfflineAudioOutput output;
    RawAudioDecoder decoder;
    CoordinatorParts parts;
    EXPECT_EQ(makeCoordinator(std::make_shared<ToccaSettings>(), parts, {}), nullptr);
    parts.mainQueue = &scheduler;
    parts.classifyQueue = &scheduler;
    EXPECT_EQ(makeCoordinator(std::make_shared<ToccaSettings>(), parts, {}), nullptr);
    parts.sensors = std::make_shared<OfflineSensorRegistry>(false);
    auto keys = std::make_shared<GatedKeySource>();
    keys->access = false;
    parts.keys = keys;
    parts.decoder = &decoder;
    EXPECT_EQ(makeCoordinator(std::make_shared<ToccaSettings>(), parts, {}), nullptr);
    parts.output = &output;
    EXPECT_EQ(makeCoordinator(nullptr, parts, {}), nullptr);
    EXPECT_EQ(log.count("[Clavio] Coordinator not created"), 4u);
    // Every service, none of them offering anything: no sensor, no keyboard access.
    const auto bare = makeCoordinator(std::make_shared<ToccaSettings>(), parts, {});
    ASSERT_NE(bare, nullptr);
    EXPECT_FALSE(bare->sensorAvailable());
    EXPECT_FALSE(bare->hasAccessibilityPermission());
    bare->start();
    EXPECT_TRUE(bare->isRunning());
    EXPECT_TRUE(log.contains("[Clavio] packs=0 audio=OK sensor=NO"));
}

// ---- packs ----

TEST(CoordinatorPacks, IndicesFollowGroupThenTierThenReleaseAndReloadsKeepThem) {
    Pipeline p;
    auto& coordinator = p.rig.coordinator();
    // Alpha's four tiers, its release, then space's one file; other groups
    // borrow alpha's files (the manifest's fallback) at alpha's indices.
    const Map press = coordinator.loadedSampleMap();
    EXPECT_EQ(press.size(), 32u);
    for (int t = 0; t < 4; ++t) {
        const std::string tier(name(VelocityTier(t + 1)));
        EXPECT_EQ(press.at("alpha_" + tier), std::vector<std::int32_t>{t});
        EXPECT_EQ(press.at("delete_" + tier), std::vector<std::int32_t>{t});
        EXPECT_EQ(press.at("space_" + tier), std::vector<std::int32_t>{5});
    }
    const Map release = coordinator.loadedReleaseSampleMap();
    EXPECT_EQ(release.at("alpha"), std::vector<std::int32_t>{4});
    EXPECT_EQ(release.at("space"), std::vector<std::int32_t>{4});
    EXPECT_EQ(release.at("enter"), std::vector<std::int32_t>{6});
    EXPECT_EQ(p.rig.rawDecoder.decodeCalls(), 7) << "shared files decode once";
    for (int i = 0; i < 2; ++i) {
        coordinator.reloadPack();
        EXPECT_EQ(coordinator.loadedSampleMap(), press);
        EXPECT_EQ(coordinator.loadedReleaseSampleMap(), release);
        EXPECT_EQ(coordinator.audioEngine().loadedSampleCount(), 7u);
    }
}

TEST(CoordinatorPacks, MissingUndecodableAndEscapingFilesAreLeftOut) {
    CoordinatorRig rig;
    const auto folder = rig.userPacks() / "Gaps";
    installPack("Gaps", folder);
    writeFile(folder / "bad.raw", "not audio at all");
    writeRawAudio(rig.home->root() / "outside.raw", 48000, 1, std::vector<float>(480, 0.5f));
    std::filesystem::create_symlink(rig.home->root() / "outside.raw", folder / "escape.raw");
    LogCapture log;
    auto& coordinator = rig.launch(steady("Gaps"));
    const Map maps = coordinator.loadedSampleMap();
    EXPECT_EQ(maps.at("space_hard"), (std::vector<std::int32_t>{1}));
    EXPECT_FALSE(maps.count("space_slam")) << "a key whose files all failed is absent";
    EXPECT_FALSE(maps.count("enter_soft")) << "a link out of the pack is never decoded";
    EXPECT_FALSE(log.contains("Could not load sound pack"));
    rig.keyUp(0); // no release samples: releases are silent
    ASSERT_EQ(rig.releases().size(), 1u);
    EXPECT_EQ(rig.releases()[0].sampleIndex, -1);
    EXPECT_EQ(coordinator.audioEngine().busyVoiceCount(), 0u);
}

TEST(CoordinatorPacks, UnloadablePackLeavesEveryKeySilentWithTheLine) {
    Pipeline p(steady(), {}, false);
    LogCapture log;
    auto& coordinator = p.rig.launch(steady("Nope"));
    EXPECT_EQ(log.count("[Clavio] Could not load sound pack 'Nope'"), 1u);
    EXPECT_EQ(log.count("[Clavio] packs=0 audio=OK sensor=YES"), 1u);
    p.rig.keyDown(0);
    p.rig.run(40ms, kRest);
    const auto presses = p.rig.presses();
    ASSERT_EQ(presses.size(), 1u);
    for (const auto& layer : presses[0].layers) {
        EXPECT_EQ(layer.sampleIndex, -1);
    }
    EXPECT_EQ(p.rig.firstSoundingFrame(), -1);
    // A good pack, then a bad one: the good one's samples are gone too.
    coordinator.switchPack("Tone");
    EXPECT_EQ(coordinator.audioEngine().loadedSampleCount(), 7u);
    coordinator.switchPack("../Tone");
    EXPECT_EQ(log.count("[Clavio] Could not load sound pack '../Tone'"), 1u);
    EXPECT_TRUE(coordinator.loadedSampleMap().empty());
    EXPECT_EQ(coordinator.audioEngine().loadedSampleCount(), 0u);
    EXPECT_EQ(p.rig.settings().selectedPackName(), "../Tone") << "the name stays selected";
}

TEST(CoordinatorPacks, SwitchWhileVoicesSoundSilencesThemBeforeTheirSamplesGo) {
    Pipeline p;
    installPack("Long", p.rig.userPacks() / "Long");
    auto& coordinator = p.rig.coordinator();
    for (std::uint16_t code = 0; code < 8; ++code) {
        p.strike(code, 0.02f * code);
        p.rig.run(2ms, kRest);
        p.rig.keyUp(code);
    }
    p.rig.run(40ms, kRest);
    ASSERT_GE(coordinator.audioEngine().busyVoiceCount(), 10u);
    // Every voice reads a sample of "Tone"; the switch frees all of them.
    // Pulling on afterwards reads freed memory unless the voices were
    // silenced first (AddressSanitizer).
    coordinator.switchPack("Long");
    EXPECT_EQ(coordinator.audioEngine().busyVoiceCount(), 0u);
    const std::size_t after = p.rig.audio().size() / 2;
    p.rig.run(20ms, kRest);
    EXPECT_EQ(p.rig.firstSoundingFrame(after), -1);
    p.rig.keyDown(0);
    p.rig.run(40ms, kRest);
    const auto last = p.rig.presses().back();
    ASSERT_FALSE(last.layers.empty());
    EXPECT_EQ(last.layers[0].sampleIndex, 0);
    const long onset = p.rig.firstSoundingFrame(after);
    ASSERT_GE(onset, 0);
    EXPECT_NEAR(p.rig.audio()[std::size_t(onset) * 2], 0.5f * last.layers[0].gain, 1e-5f);
}

// ---- the keystroke pipeline ----

TEST(CoordinatorPipeline, PressIsClassifiedSearchPostPlusTenMsAfterItsKeyAndItsVoiceStartsThen) {
    SettingsValues values = steady();
    values.searchPostMs = 20.9; // truncated: 20 + 10 ms
    Pipeline p(values);
    const std::uint64_t key = p.rig.now();
    p.strike(0, 0.06f);
    p.rig.run(29ms, kRest);
    EXPECT_TRUE(p.rig.presses().empty()) << "classified before its deadline";
    p.rig.run(6ms, kRest);
    ASSERT_EQ(p.rig.presses().size(), 1u);
    const auto press = p.rig.presses()[0];
    EXPECT_EQ(press.keyEvent.timestamp, key);
    EXPECT_EQ(press.classifiedAt, key + ms(30));
    EXPECT_EQ(press.impact.tier, VelocityTier::medium);
    // The voice starts at the first frame of the classification's millisecond
    // and its level is the reported decisions applied to the files.
    const std::size_t onset = (key + ms(30) - p.rig.launchTicks()) / kTicksPerMilli * 48;
    EXPECT_EQ(p.rig.firstSoundingFrame(), long(onset));
    const auto levels = packLevels("Tone");
    const std::string files[] = {"a_soft.raw", "a_medium.raw", "a_hard.raw", "a_slam.raw"};
    float expected = 0.0f;
    for (const auto& layer : press.layers) {
        ASSERT_GE(layer.sampleIndex, 0);
        expected += levels.at(files[layer.sampleIndex]) * layer.gain;
    }
    EXPECT_NEAR(p.rig.audio()[onset * 2], expected, 1e-5f);
    EXPECT_NEAR(p.rig.audio()[onset * 2 + 1], expected, 1e-5f);
}

TEST(CoordinatorPipeline, HarderStrikesReachHigherTiersLouderAndHigher) {
    Pipeline p;
    // No bump: the peak stays inside the deadzone. A silent press still
    // sounds its soft layer and counts as "silent".
    for (float peak : {0.0f, 0.02f, 0.06f, 0.1f, 0.2f}) {
        p.strike(11, peak);
        p.rig.run(60ms, kRest);
    }
    const auto presses = p.rig.presses();
    ASSERT_EQ(presses.size(), 5u);
    EXPECT_EQ(p.rig.coordinator().sessionTierCounts(),
              (std::map<std::string, std::int64_t>{
                  {"silent", 1}, {"soft", 1}, {"medium", 1}, {"hard", 1}, {"slam", 1}}));
    float lastScale = 0.0f;
    float lastPitch = 0.0f;
    for (std::size_t i = 0; i < presses.size(); ++i) {
        EXPECT_EQ(rawValue(presses[i].impact.tier), int(i));
        ASSERT_FALSE(presses[i].layers.empty());
        // Every layer of a press shares one velocity scale and one pitch,
        // both rising with the velocity and staying in their bounds.
        const auto& first = presses[i].layers[0];
        const float scale = first.gain / first.layerGain;
        for (const auto& layer : presses[i].layers) {
            EXPECT_FLOAT_EQ(layer.gain / layer.layerGain, scale);
            EXPECT_FLOAT_EQ(layer.pitchShift, first.pitchShift);
            EXPECT_EQ(layer.sampleIndex, std::max(rawValue(layer.tier) - 1, 0));
        }
        EXPECT_GE(scale, 0.5f);
        EXPECT_LE(scale, 1.0f);
        EXPECT_GT(scale, lastScale);
        const float pitch = first.pitchShift - ToccaCoordinator::pitchForKey(11);
        EXPECT_GE(pitch, 0.96f - 1e-6f);
        EXPECT_LE(pitch, 1.04f + 1e-6f);
        EXPECT_GT(pitch, lastPitch);
        lastScale = scale;
        lastPitch = pitch;
    }
}

TEST(CoordinatorPipeline, HeldKeySoundsOnceAndItsReleaseOnce) {
    Pipeline p;
    p.strike(11, 0.06f);
    p.rig.run(40ms, kRest);
    for (int i = 0; i < 5; ++i) {
        p.rig.keyDown(11, true);
        p.rig.run(40ms, kRest);
    }
    const std::size_t beforeRelease = p.rig.audio().size() / 2;
    p.rig.keyUp(11);
    p.rig.run(5ms, kRest);
    EXPECT_EQ(p.rig.presses().size(), 1u);
    EXPECT_EQ(p.rig.coordinator().sessionKeystrokes(), 1);
    EXPECT_EQ(p.rig.coordinator().calibration().count(), 1);
    ASSERT_EQ(p.rig.releases().size(), 1u);
    const auto release = p.rig.releases()[0];
    EXPECT_EQ(release.sampleIndex, 4);
    EXPECT_FLOAT_EQ(release.pitchShift, 1.0f + ToccaCoordinator::pitchForKey(11));
    // The release starts at once, on the key-up.
    EXPECT_NEAR(p.rig.audio()[beforeRelease * 2], release.gain * packLevels("Tone").at("rel_a.raw"),
                1e-6f);
}

TEST(CoordinatorPipeline, DisabledModifierSoundsSilenceModifiersOnlyAndAreNotCounted) {
    SettingsValues values = steady();
    values.disableModifierSounds = true;
    Pipeline p(values);
    p.rig.flagsChanged(56, kFlagShift); // left shift down
    p.rig.run(40ms, kRest);
    p.rig.flagsChanged(56, 0); // and up
    p.rig.run(40ms, kRest);
    EXPECT_TRUE(p.rig.presses().empty());
    EXPECT_EQ(p.rig.coordinator().sessionKeystrokes(), 0);
    ASSERT_EQ(p.rig.releases().size(), 1u);
    EXPECT_EQ(p.rig.releases()[0].sampleIndex, -1);
    EXPECT_EQ(p.rig.firstSoundingFrame(), -1);
    p.strike(0, 0.06f);
    p.rig.run(40ms, kRest);
    p.rig.keyUp(0);
    EXPECT_EQ(p.rig.presses().size(), 1u);
    EXPECT_EQ(p.rig.releases().back().sampleIndex, 4);
    // Turned off, modifiers sound like any key (their group falls back to alpha).
    p.rig.settings().setDisableModifierSounds(false);
    p.rig.flagsChanged(56, kFlagShift);
    p.rig.run(40ms, kRest);
    p.rig.flagsChanged(56, 0);
    ASSERT_EQ(p.rig.presses().size(), 2u);
    EXPECT_EQ(p.rig.presses().back().keyEvent.keyGroup, KeyGroup::modifier);
    EXPECT_GE(p.rig.presses().back().layers.at(0).sampleIndex, 0);
    EXPECT_EQ(p.rig.releases().back().sampleIndex, 4);
}

TEST(CoordinatorPipeline, SoundOffStillClassifiesCountsAndRecordsButPlaysAndPublishesNothing) {
    RecordingOpener opener;
    RigOptions options;
    options.urlOpener = &opener;
    Pipeline p(steady(), options);
    auto& coordinator = p.rig.coordinator();
    coordinator.macroRouter().setEnabled(true);
    for (VelocityTier tier : kAllVelocityTiers) {
        coordinator.macroRouter().setMapping(0, tier, MacroAction::openURL("https://example.org/"));
    }
    p.rig.settings().setSoundEnabled(false);
    p.strike(0, 0.06f);
    p.rig.run(60ms, kRest);
    p.rig.keyUp(0);
    p.rig.run(10ms, kRest);
    EXPECT_EQ(coordinator.sessionKeystrokes(), 1);
    EXPECT_EQ(coordinator.sessionTierCounts().at("medium"), 1);
    EXPECT_EQ(coordinator.calibration().count(), 1);
    ASSERT_EQ(p.rig.presses().size(), 1u);
    EXPECT_FALSE(p.rig.presses()[0].sounded);
    EXPECT_TRUE(p.rig.presses()[0].layers.empty());
    EXPECT_EQ(p.rig.releases().at(0).sampleIndex, -1);
    EXPECT_EQ(p.rig.firstSoundingFrame(), -1);
    EXPECT_FALSE(coordinator.lastKeyEvent());
    EXPECT_TRUE(opener.opened.empty()) << "no macro without sound";
    // Sound back on: the same press sounds, runs its macro and is published.
    p.rig.settings().setSoundEnabled(true);
    p.strike(0, 0.06f);
    p.rig.run(60ms, kRest);
    EXPECT_NE(p.rig.firstSoundingFrame(), -1);
    EXPECT_EQ(opener.opened.size(), 1u);
    ASSERT_TRUE(coordinator.lastKeyEvent());
    EXPECT_EQ(coordinator.lastTier(), VelocityTier::medium);
    EXPECT_EQ(*coordinator.lastImpact(), p.rig.presses().back().impact);
}

TEST(CoordinatorPipeline, WithoutSensorItStartsAndEveryPressIsMediumAtHalfVelocity) {
    RigOptions options;
    options.accelerometer = false;
    Pipeline p(steady(), options, false);
    LogCapture log;
    auto& coordinator = p.rig.launch(steady());
    p.rig.run(10000ms);
    EXPECT_TRUE(coordinator.isRunning());
    EXPECT_TRUE(coordinator.keyboard().isRunning()) << "capture runs without a sensor";
    EXPECT_EQ(log.count("[Clavio] No readable accelerometer: every key plays at a fixed strength of 50%"), 1u);
    EXPECT_EQ(log.count("[Clavio] packs="), 1u);
    coordinator.start();
    EXPECT_TRUE(log.contains("[Clavio] packs=32 audio=OK sensor=NO"));
    const std::uint64_t key = p.rig.now();
    p.rig.keyDown(3);
    p.rig.run(40ms);
    ASSERT_EQ(p.rig.presses().size(), 1u);
    const auto press = p.rig.presses().at(0);
    EXPECT_EQ(press.impact,
              (ImpactResult{0.0f, 0.0f, 0.0f, 0.5f, VelocityTier::medium, key, 0}));
    ASSERT_FALSE(press.layers.empty());
    EXPECT_EQ(coordinator.calibration().count(), 0) << "a fixed strength is no measurement";
}

TEST(CoordinatorPipeline, PackWithOnlyAlphaSoftSoundsEveryGroupAndLayer) {
    // Every other group names a missing file and alpha's upper tiers are
    // empty, so only "alpha_soft" loads and the pipeline's own fallback has
    // to serve every other sample key.
    CoordinatorRig rig;
    installPack("Lone", rig.userPacks() / "Lone");
    rig.launch(steady("Lone"));
    ASSERT_EQ(rig.coordinator().loadedSampleMap(), (Map{{"alpha_soft", {0}}}));
    rig.run(500ms, kRest);
    // One key of each group, at rising strengths so every tier is met.
    const std::uint16_t codes[] = {0, 56, 49, 36, 51, 123, 122, 200};
    const float peaks[] = {0.02f, 0.06f, 0.1f, 0.2f, 0.02f, 0.06f, 0.1f, 0.2f};
    for (int i = 0; i < 8; ++i) {
        rig.scheduleSample(rig.now() + ms(3), kRest + peaks[i]);
        codes[i] == 56 ? rig.flagsChanged(56, kFlagShift) : rig.keyDown(codes[i]);
        rig.run(60ms, kRest);
        if (codes[i] == 56) {
            rig.flagsChanged(56, 0);
        }
    }
    ASSERT_EQ(rig.presses().size(), 8u);
    std::set<KeyGroup> groups;
    std::set<VelocityTier> tiers;
    for (const auto& press : rig.presses()) {
        groups.insert(press.keyEvent.keyGroup);
        for (const auto& layer : press.layers) {
            tiers.insert(layer.tier);
            EXPECT_EQ(layer.sampleIndex, 0) << name(press.keyEvent.keyGroup);
        }
    }
    EXPECT_EQ(groups.size(), 8u);
    EXPECT_EQ(tiers.size(), 4u);
}

TEST(CoordinatorPipeline, TwoCrossfadedLayersDrawTheirOwnSampleAndJitterWithinTheVariation) {
    RigOptions options;
    options.accelerometer = false;
    CoordinatorRig rig(options);
    installPack("Many", rig.userPacks() / "Many");
    SettingsValues values;
    values.selectedPackName = "Many";
    values.mediumThreshold = 0.5f; // the placeholder velocity sits on the threshold
    values.hardThreshold = 0.8f;
    values.gainVariation = 0.05f;
    values.pitchVariation = 0.03f;
    rig.launch(values);
    rig.coordinator().start();
    for (int i = 0; i < 40; ++i) {
        rig.keyDown(0);
        rig.run(40ms);
        rig.keyUp(0);
    }
    std::set<std::int32_t> soft, medium;
    std::set<float> gains;
    const float basePitch = ToccaCoordinator::pitchForKey(0) + 1.0f; // velocity 0.5
    for (const auto& press : rig.presses()) {
        ASSERT_EQ(press.layers.size(), 2u);
        soft.insert(press.layers[0].sampleIndex);
        medium.insert(press.layers[1].sampleIndex);
        EXPECT_NE(press.layers[0].pitchShift, press.layers[1].pitchShift)
            << "each layer draws its own pitch jitter";
        for (const auto& layer : press.layers) {
            EXPECT_LE(std::fabs(layer.gain - 0.75f * layer.layerGain), 0.05f + 1e-6f);
            EXPECT_LE(std::fabs(layer.pitchShift - basePitch), 0.03f + 1e-6f);
            gains.insert(layer.gain);
        }
    }
    EXPECT_EQ(soft, (std::set<std::int32_t>{0, 1, 2, 3}));
    EXPECT_EQ(medium, (std::set<std::int32_t>{4, 5, 6, 7}));
    EXPECT_GT(gains.size(), 40u);
}

TEST(CoordinatorPipeline, RefusesUnusableSearchWindowAndVariationsWithOneLineEach) {
    LogCapture log;
    SettingsValues values = steady();
    values.searchPostMs = std::nan("");
    values.pitchVariation = -0.5f;
    values.gainVariation = INFINITY;
    Pipeline p(values);
    EXPECT_EQ(log.count("[Clavio] searchPostMs nan refused"), 1u);
    const std::uint64_t key = p.rig.now();
    p.strike(0, 0.06f);
    p.rig.run(60ms, kRest);
    EXPECT_EQ(log.count("[Clavio] pitchVariation -0.5 refused"), 1u);
    EXPECT_EQ(log.count("[Clavio] gainVariation inf refused"), 1u);
    const auto presses = p.rig.presses();
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].classifiedAt, key + ms(30)) << "the default 20 ms + 10 ms";
    for (const auto& layer : presses[0].layers) {
        EXPECT_TRUE(std::isfinite(layer.gain));
        EXPECT_TRUE(std::isfinite(layer.pitchShift));
    }
    p.rig.coordinator().stop();
    p.rig.settings().setSearchPostMs(-4.0);
    p.rig.coordinator().start();
    EXPECT_EQ(log.count("[Clavio] searchPostMs -4 refused"), 1u);
}

// ---- real threads ----

namespace {

// A trace of resting reports every millisecond and a press and release of
// one of eight keys every 3 ms, for `seconds`.
std::shared_ptr<ReplayTimeline> typingTimeline(double seconds) {
    std::ostringstream text;
    TraceWriter writer(text);
    std::uint8_t report[kAccelReportLength];
    encodeAccelReport(0.0, 0.0, 1.0, report);
    for (std::uint64_t t = 0; t < std::uint64_t(seconds * 1000); ++t) {
        writer.write(TraceRecord::makeAccel(t * kTicksPerMilli, report, sizeof report));
        if (t % 3 == 1) {
            const auto code = std::uint16_t((t / 3) % 8);
            writer.write(TraceRecord::makeKey(t * kTicksPerMilli, {TraceKeyKind::down, code, 0, false}));
            writer.write(TraceRecord::makeKey(t * kTicksPerMilli + 1, {TraceKeyKind::up, code, 0, false}));
        }
    }
    std::optional<TraceError> error;
    return ReplayTimeline::fromText(text.str(), "typing", error);
}

} // namespace

// A RunLoop as the main queue, the serial classify queue with its worker,
// the sensor and capture threads replaying a trace, and an audio thread
// pulling the mixer while the main thread switches packs. The value checks
// hold in any build; the races and reads of freed memory between pack
// loads, release sounds, presses and the render show only under
// ThreadSanitizer and AddressSanitizer.
TEST(CoordinatorThreads, PackSwitchesWhileKeysSoundOnEveryThreadUnderSanitizers) {
    ScopedXdgHome home;
    installPack("Tone", home.dataHome() / "Clavio" / "SoundPacks" / "Tone");
    installPack("Long", home.dataHome() / "Clavio" / "SoundPacks" / "Long");
    const auto timeline = typingTimeline(1.0);
    ASSERT_TRUE(timeline);
    RunLoop loop;
    SerialDeadlineQueue queue;
    CountingClassifyQueue counting{queue};
    OfflineAudioOutput output;
    RawAudioDecoder decoder;
    SettingsValues values;
    values.selectedPackName = "Tone";
    auto coordinator = makeCoordinator(
        std::make_shared<ToccaSettings>(values),
        {&loop, &counting, std::make_shared<ReplaySensorRegistry>(timeline),
         std::make_shared<ReplayKeySource>(timeline), &decoder, &output, {}},
        {});
    std::atomic<int> presses{0}, offQueue{0}, releasesSounded{0};
    coordinator->setPressReporter([&](const ToccaCoordinator::PressReport&) {
        offQueue += !queue.isCurrentQueue();
        ++presses;
    });
    coordinator->setReleaseReporter([&](const ToccaCoordinator::ReleaseReport& report) {
        releasesSounded += report.sampleIndex >= 0;
    });
    std::atomic<bool> stopAudio{false};
    std::thread audio([&] {
        std::vector<float> block(64 * 2);
        while (!stopAudio) {
            output.pull(block.data(), 64);
            std::this_thread::sleep_for(500us);
        }
    });
    ASSERT_TRUE(loop.runUntil([&] { return coordinator->isRunning(); }, 5s));
    for (int i = 0; i < 30; ++i) {
        coordinator->switchPack(i % 2 ? "Tone" : "Long");
        loop.runFor(15ms);
    }
    loop.runUntil([&] { return timeline->finished(); }, 5s);
    loop.runFor(100ms);
    coordinator->stop();
    stopAudio = true;
    audio.join();
    ASSERT_TRUE(queue.waitUntilIdle(5s));
    EXPECT_GT(presses.load(), 20);
    EXPECT_GT(releasesSounded.load(), 20);
    EXPECT_EQ(offQueue.load(), 0) << "every press was classified on the classify queue";
    EXPECT_EQ(counting.overlaps(), 0u);
    EXPECT_EQ(coordinator->sessionKeystrokes(), presses.load());
    EXPECT_EQ(coordinator->loadedSampleMap().at("alpha_soft"), (std::vector<std::int32_t>{0}));
}
