// The coordinator: lifecycle, pack loading and the keystroke pipeline on
// virtual time (key events through the capture's event logic, reports
// through the report decoder into the coordinator's own ring, voices pulled
// from the mixer), and once on real threads.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "engine/audio/audio_engine.h"
#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/replay/replay_key_source.h"
#include "engine/replay/replay_microphone.h"
#include "engine/replay/replay_sensor_registry.h"
#include "engine/replay/replay_timeline.h"
#include "engine/runtime/run_loop.h"
#include "engine/runtime/serial_deadline_queue.h"
#include "engine/sensing/calibration.h"
#include "engine/sensing/key_levels.h"
#include "engine/sensing/spu_sensor.h"
#include "tests/support/coordinator_rig.h"
#include "tests/support/strike_trace.h"

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

std::uint64_t ms(std::uint64_t m) {
    return m * kTicksPerMilli;
}

// A rig with the "Tone" pack installed.
struct ToneRig : CoordinatorRig {
    explicit ToneRig(RigOptions options = {}) : CoordinatorRig(options) {
        installPack("Tone", userPacks() / "Tone");
    }
    // Launches and rests half a second so the baseline has settled.
    ToccaCoordinator& settled(const SettingsValues& values = steady()) {
        launch(values);
        run(500ms, kRest);
        return coordinator();
    }
    // Strikes `code` now with a bump of `peak` g above rest 3 ms later.
    void strike(std::uint16_t code, float peak, std::chrono::milliseconds then = 60ms) {
        scheduleSample(now() + ms(3), kRest + peak);
        keyDown(code);
        run(then, kRest);
    }
};

} // namespace

// ---- lifecycle ----

TEST(CoordinatorLifecycle, StartsOnTheNextTurnOnceWithOneSetOfTimersStopEndsThemRestartReloads) {
    ToneRig r;
    LogCapture log;
    auto& coordinator = r.launch(steady(), false);
    EXPECT_FALSE(coordinator.isRunning()) << "start() waits for the next turn";
    r.run(500ms, kRest);
    EXPECT_TRUE(coordinator.isRunning() && coordinator.keyboard().isRunning() &&
                coordinator.audioEngine().isRunning());
    EXPECT_EQ(log.count("[Clavio] packs=32 audio=OK sensor=YES"), 1u);
    const int decodes = r.rawDecoder.decodeCalls();
    const Map maps = coordinator.loadedSampleMap();
    coordinator.start(); // already running: returns at once
    EXPECT_EQ(r.rawDecoder.decodeCalls(), decodes);
    int ticks = 0;
    coordinator.subscribe(
        [&](const CoordinatorProperty& p) { ticks += p == CoordinatorProperty::totalSamples; });
    const auto ranBefore = r.classifyQueue.ran();
    r.run(1000ms, kRest);
    EXPECT_EQ(r.classifyQueue.ran() - ranBefore, 10u) << "one baseline update per 0.1 s";
    EXPECT_EQ(ticks, 20) << "one display tick per 0.05 s";
    coordinator.setDisplayWatched(false);
    r.run(500ms, kRest);
    EXPECT_EQ(ticks, 20) << "no display tick while no view shows the values";
    coordinator.setDisplayWatched(true);
    EXPECT_EQ(ticks, 21) << "a view that opens gets the values at once";
    coordinator.stop();
    EXPECT_FALSE(coordinator.keyboard().isRunning() || coordinator.audioEngine().isRunning());
    const auto ranStopped = r.classifyQueue.ran();
    r.run(1000ms);
    EXPECT_EQ(r.classifyQueue.ran(), ranStopped);
    EXPECT_EQ(ticks, 21) << "the display stops with the coordinator";
    // A restart loads the pack again, to the same indices, and installs the
    // key handler with the current search window.
    r.settings().setSearchPostMs(50.0);
    coordinator.start();
    EXPECT_EQ(r.rawDecoder.decodeCalls(), decodes * 2);
    EXPECT_EQ(coordinator.loadedSampleMap(), maps);
    const std::uint64_t key = r.now();
    r.keyDown(0);
    r.run(100ms, kRest);
    ASSERT_EQ(r.presses().size(), 1u) << "one key-down handler: one press";
    EXPECT_EQ(r.presses()[0].classifiedAt, key + ms(60));
}

TEST(CoordinatorLifecycle, ABaselineOnDemandRefreshesOnlyWhileTypingAndMeasuresPressesAlike) {
    // The same strikes after idle stretches, with the refresh always on and
    // on demand: equal velocities; on demand, no refresh while idle.
    std::vector<float> velocities[2];
    for (const bool onDemand : {false, true}) {
        SCOPED_TRACE(onDemand);
        ToneRig r;
        auto& coordinator = r.launch(steady(), false);
        coordinator.setBaselineOnDemand(onDemand);
        for (const float peak : {0.02f, 0.3f, 0.08f}) {
            r.run(4000ms, kRest); // the refresh stops 3 s after the last press
            const auto idleRuns = r.classifyQueue.ran();
            r.run(1000ms, kRest);
            if (onDemand) {
                EXPECT_EQ(r.classifyQueue.ran(), idleRuns) << "idle: nothing refreshes";
            }
            r.strike(0, peak, 400ms);
            const auto typingRuns = r.classifyQueue.ran();
            r.run(1000ms, kRest);
            EXPECT_EQ(r.classifyQueue.ran() - typingRuns, 10u) << "refreshed while typing";
        }
        for (const auto& press : r.presses()) {
            velocities[onDemand].push_back(press.impact.velocity);
        }
    }
    ASSERT_EQ(velocities[0].size(), 3u);
    EXPECT_EQ(velocities[0], velocities[1]);
}

TEST(CoordinatorLifecycle, ApplyCalibrationSavesTheFourSettingsAndReachesTheClassifier) {
    ToneRig r;
    r.settled();
    r.strike(0, 0.06f);
    EXPECT_EQ(r.presses().back().impact.tier, VelocityTier::medium);
    SettingsValues expected = r.settings().values();
    CalibrationResult result;
    result.sampleCount = 12;
    result.recommendedSoftThreshold = expected.softThreshold = 0.1f;
    result.recommendedMediumThreshold = expected.mediumThreshold = 0.2f;
    result.recommendedHardThreshold = expected.hardThreshold = 0.3f;
    result.recommendedHardCap = expected.hardCap = 0.023f;
    r.coordinator().applyCalibration(result);
    EXPECT_EQ(decodeSettings(readFile(ToccaSettings::fileURL())).value(), expected);
    r.strike(0, 0.06f); // the same strike against the new cap
    EXPECT_EQ(r.presses().back().impact.tier, VelocityTier::slam);
}

// Calibrated from the microphone's strikes: the cap goes to
// microphoneHardCap and reaches the microphone's classifier; hardCap stays.
TEST(CoordinatorLifecycle, MicrophoneCalibrationSetsTheMicrophoneCapAndLeavesHardCap) {
    ReplayMicrophone mic(48000.0);
    RigOptions options;
    options.microphone = &mic;
    ToneRig r(options);
    SettingsValues values = steady();
    values.velocitySource = VelocitySource::microphone;
    values.perKeyNormalization = true;
    auto& coordinator = r.launch(values);
    std::uint32_t noise = 1;
    // 1 ms blocks of faint noise; with a peak, a key 2 ms before a 4 kHz
    // click that decays in 1 ms.
    const auto listen = [&](int length, float peak = 0.0f) {
        if (peak > 0.0f) {
            r.keyDown(1);
        }
        for (int m = 0; m < length; ++m) {
            float block[48];
            for (int i = 0; i < 48; ++i) {
                noise = noise * 1664525u + 1013904223u;
                const double t = std::max(0.0, (m - 2) / 1000.0 + i / 48000.0);
                block[i] = 0.002f * (float(noise >> 8) / 8388608.0f - 1.0f) +
                           peak * float(std::exp(-t * 1000.0) * std::sin(25132.7 * t));
            }
            mic.deliver(block, 48, 48000, r.now());
            r.run(1ms, kRest);
        }
        r.keyUp(1);
    };
    listen(500);
    for (int i = 1; i <= 10; ++i) {
        listen(100, 0.02f * float(i));
    }
    listen(100, 0.1f);
    const float before = r.presses().back().impact.velocity;
    const auto result = coordinator.calibration().computeThresholds();
    ASSERT_TRUE(result && result->source == ScoreSource::microphone);
    coordinator.applyCalibration(*result);
    EXPECT_EQ(r.settings().hardCap(), values.hardCap);
    EXPECT_EQ(r.settings().microphoneHardCap(), result->recommendedHardCap);
    listen(100, 0.1f);
    EXPECT_GT(r.presses().back().impact.velocity, before * 1.3f)
        << "a cap nearer the loudest click";
    EXPECT_EQ(coordinator.keyLevels().strikes(1), 0u) << "the microphone keeps its own levels";
}

// ---- packs ----

TEST(CoordinatorPacks, IndicesFollowGroupThenTierThenReleaseAndReloadsKeepThem) {
    ToneRig r;
    auto& coordinator = r.settled();
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
    EXPECT_EQ(r.rawDecoder.decodeCalls(), 7) << "shared files decode once";
    coordinator.reloadPack();
    EXPECT_EQ(coordinator.loadedSampleMap(), press);
    EXPECT_EQ(coordinator.loadedReleaseSampleMap(), release);
    EXPECT_EQ(coordinator.audioEngine().loadedSampleCount(), 7u);
}

TEST(CoordinatorPacks, UnloadablePackLeavesEveryKeySilentAndSilencesTheVoicesOfThePrevious) {
    ToneRig r;
    LogCapture log;
    auto& coordinator = r.launch(steady("Nope"));
    EXPECT_EQ(log.count("[Clavio] Could not load sound pack 'Nope'"), 1u);
    EXPECT_EQ(log.count("[Clavio] packs=0 audio=OK sensor=YES"), 1u);
    r.keyDown(0);
    r.run(40ms, kRest);
    ASSERT_EQ(r.presses().size(), 1u);
    for (const auto& layer : r.presses()[0].layers) {
        EXPECT_EQ(layer.sampleIndex, -1);
    }
    EXPECT_EQ(r.firstSoundingFrame(), -1);
    // A good pack, then a bad one while voices of the good one sound: they
    // are silenced before their samples go, and the samples are gone too.
    coordinator.switchPack("Tone");
    for (std::uint16_t code = 0; code < 8; ++code) {
        r.keyDown(code);
        r.run(2ms, kRest);
        r.keyUp(code);
    }
    r.run(40ms, kRest);
    ASSERT_GE(coordinator.audioEngine().busyVoiceCount(), 10u);
    coordinator.switchPack("../Tone");
    EXPECT_EQ(coordinator.audioEngine().busyVoiceCount(), 0u);
    const std::size_t after = r.audio().size() / 2;
    r.run(20ms, kRest);
    EXPECT_EQ(r.firstSoundingFrame(after), -1);
    EXPECT_EQ(log.count("[Clavio] Could not load sound pack '../Tone'"), 1u);
    EXPECT_TRUE(coordinator.loadedSampleMap().empty());
    EXPECT_EQ(coordinator.audioEngine().loadedSampleCount(), 0u);
    EXPECT_EQ(r.settings().selectedPackName(), "../Tone") << "the name stays selected";
}

// ---- the keystroke pipeline ----

// Unusable search windows and variations are refused with one line each and
// replaced by their defaults (a 20 ms window, no variation).
TEST(CoordinatorPipeline, PressIsClassifiedSearchPostPlusTenMsAfterItsKeyAndItsVoiceStartsThen) {
    SettingsValues values = steady();
    values.searchPostMs = 20.9; // truncated: 20 + 10 ms
    values.pitchVariation = -0.5f;
    values.gainVariation = INFINITY;
    ToneRig r;
    LogCapture log;
    r.settled(values);
    const std::uint64_t key = r.now();
    r.strike(0, 0.06f, 29ms);
    EXPECT_TRUE(r.presses().empty()) << "classified before its deadline";
    r.run(6ms, kRest);
    EXPECT_EQ(log.count("[Clavio] pitchVariation -0.5 refused"), 1u);
    EXPECT_EQ(log.count("[Clavio] gainVariation inf refused"), 1u);
    ASSERT_EQ(r.presses().size(), 1u);
    const auto press = r.presses()[0];
    EXPECT_EQ(press.keyEvent.timestamp, key);
    EXPECT_EQ(press.classifiedAt, key + ms(30));
    EXPECT_EQ(press.impact.tier, VelocityTier::medium);
    // The voice starts at the first frame of the classification's millisecond
    // and its level is the reported decisions applied to the files.
    const std::size_t onset = (key + ms(30) - r.launchTicks()) / kTicksPerMilli * 48;
    EXPECT_EQ(r.firstSoundingFrame(), long(onset));
    const auto levels = packLevels("Tone");
    const std::string files[] = {"a_soft.raw", "a_medium.raw", "a_hard.raw", "a_slam.raw"};
    float expected = 0.0f;
    for (const auto& layer : press.layers) {
        ASSERT_GE(layer.sampleIndex, 0);
        expected += levels.at(files[layer.sampleIndex]) * layer.gain;
    }
    EXPECT_NEAR(r.audio()[onset * 2], expected, 1e-5f);
    EXPECT_NEAR(r.audio()[onset * 2 + 1], expected, 1e-5f);
    r.coordinator().stop();
    r.settings().setSearchPostMs(std::nan(""));
    r.coordinator().start();
    EXPECT_EQ(log.count("[Clavio] searchPostMs nan refused"), 1u);
    const std::uint64_t second = r.now();
    r.strike(0, 0.06f);
    EXPECT_EQ(r.presses().back().classifiedAt, second + ms(30)) << "the default 20 ms + 10 ms";
    // A window past any use is clamped to a second: the press is not held back.
    r.coordinator().stop();
    r.settings().setSearchPostMs(1e9);
    r.coordinator().start();
    EXPECT_EQ(log.count("[Clavio] searchPostMs 1e+09 refused"), 1u);
    const std::uint64_t third = r.now();
    r.strike(0, 0.06f, 1100ms);
    EXPECT_EQ(r.presses().back().classifiedAt, third + ms(1010));
}

// With earlyDecision a press is classified once its strike is over, and at
// the usual deadline at the latest: a sensor that stalls after the peak, or
// before the key, leaves the press to it.
TEST(CoordinatorPipeline, EarlyDecisionComesOnceTheStrikeIsOverAndNeverAfterTheDeadline) {
    SettingsValues values = steady();
    values.earlyDecision = true;
    ToneRig r;
    r.settled(values);
    const struct {
        float peak;
        long reportingMs; // after the key; then the sensor stalls
        std::uint64_t classifiedMs;
        VelocityTier tier;
    } cases[] = {{0.06f, 60, 7, VelocityTier::medium},
                 {0.0f, 60, 7, VelocityTier::silent},
                 {0.06f, 3, 30, VelocityTier::medium},
                 {0.0f, 0, 30, VelocityTier::silent}};
    for (const auto& c : cases) {
        const std::uint64_t key = r.now();
        r.scheduleSample(key + ms(3), kRest + c.peak);
        r.keyDown(11);
        r.run(std::chrono::milliseconds(c.reportingMs), kRest);
        r.run(std::chrono::milliseconds(60 - c.reportingMs));
        ASSERT_EQ(r.presses().back().keyEvent.timestamp, key);
        EXPECT_EQ(r.presses().back().classifiedAt, key + ms(c.classifiedMs)) << c.reportingMs;
        EXPECT_EQ(r.presses().back().impact.tier, c.tier) << c.reportingMs;
        r.keyUp(11);
        r.run(500ms, kRest);
    }
}

TEST(CoordinatorPipeline, HarderStrikesReachHigherTiersLouderAndHigher) {
    ToneRig r;
    r.settled();
    // No bump: the peak stays inside the deadzone. A silent press still
    // sounds its soft layer and counts as "silent".
    for (float peak : {0.0f, 0.02f, 0.06f, 0.1f, 0.2f}) {
        r.strike(11, peak);
    }
    const auto presses = r.presses();
    ASSERT_EQ(presses.size(), 5u);
    EXPECT_EQ(r.coordinator().sessionTierCounts(),
              (std::map<std::string, std::int64_t>{
                  {"silent", 1}, {"soft", 1}, {"medium", 1}, {"hard", 1}, {"slam", 1}}));
    float lastScale = 0.0f, lastPitch = 0.0f;
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
        const float pitch = first.pitchShift - ToccaCoordinator::pitchForKey(11);
        EXPECT_TRUE(scale >= 0.5f && scale <= 1.0f && scale > lastScale) << scale;
        EXPECT_TRUE(pitch >= 0.96f - 1e-6f && pitch <= 1.04f + 1e-6f && pitch > lastPitch) << pitch;
        std::tie(lastScale, lastPitch) = std::tuple(scale, pitch);
    }
}

TEST(CoordinatorPipeline, HeldKeySoundsOnceAndItsReleaseOnceAtFourTenths) {
    ToneRig r;
    r.settled();
    r.strike(11, 0.06f, 40ms);
    for (int i = 0; i < 5; ++i) {
        r.keyDown(11, true);
        r.run(40ms, kRest);
    }
    const std::size_t beforeRelease = r.audio().size() / 2;
    r.keyUp(11);
    r.run(5ms, kRest);
    EXPECT_EQ(r.presses().size(), 1u);
    EXPECT_EQ(r.coordinator().sessionKeystrokes(), 1);
    ASSERT_EQ(r.releases().size(), 1u);
    const auto release = r.releases()[0];
    EXPECT_EQ(release.sampleIndex, 4);
    EXPECT_FLOAT_EQ(release.pitchShift, 1.0f + ToccaCoordinator::pitchForKey(11));
    // The release starts at once, on the key-up, at a fixed 0.4.
    EXPECT_NEAR(r.audio()[beforeRelease * 2], 0.4f * packLevels("Tone").at("rel_a.raw"), 1e-6f);
}

TEST(CoordinatorPipeline, PackWithOnlyAlphaSoftSoundsItForOtherGroupsAndTiers) {
    // Every other group names a missing file and alpha's upper tiers are
    // empty, so the pipeline's own fallback has to serve the other keys.
    ToneRig r;
    installPack("Lone", r.userPacks() / "Lone");
    r.settled(steady("Lone"));
    ASSERT_EQ(r.coordinator().loadedSampleMap(), (Map{{"alpha_soft", {0}}}));
    r.strike(36, 0.2f); // return, as hard as slam
    ASSERT_EQ(r.presses().size(), 1u);
    EXPECT_EQ(std::tuple(r.presses()[0].keyEvent.keyGroup, r.presses()[0].impact.tier),
              std::tuple(KeyGroup::enter, VelocityTier::slam));
    ASSERT_FALSE(r.presses()[0].layers.empty());
    for (const auto& layer : r.presses()[0].layers) {
        EXPECT_EQ(layer.sampleIndex, 0);
    }
    EXPECT_NE(r.firstSoundingFrame(), -1);
}

TEST(CoordinatorPipeline, SoundOffStillClassifiesAndCountsButPlaysAndPublishesNothing) {
    ToneRig r;
    auto& coordinator = r.settled();
    r.settings().setSoundEnabled(false);
    r.strike(0, 0.06f);
    r.keyUp(0);
    r.run(10ms, kRest);
    EXPECT_EQ(coordinator.sessionTierCounts().at("medium"), 1);
    ASSERT_EQ(r.presses().size(), 1u);
    EXPECT_FALSE(r.presses()[0].sounded || coordinator.lastKeyEvent());
    EXPECT_EQ(r.releases().at(0).sampleIndex, -1);
    EXPECT_EQ(r.firstSoundingFrame(), -1);
}

// ---- real threads ----

// Main, classify, sensor, capture (a key every 3 ms) and audio threads while
// the main thread switches packs. The value checks hold in any build; races and
// reads of freed memory show only under ThreadSanitizer and AddressSanitizer.
TEST(CoordinatorThreads, PackSwitchesWhileKeysSoundOnEveryThreadUnderSanitizers) {
    ScopedXdgHome home;
    installPack("Tone", home.dataHome() / "Clavio" / "SoundPacks" / "Tone");
    installPack("Long", home.dataHome() / "Clavio" / "SoundPacks" / "Long");
    StrikeTrace typing;
    typing.seconds = 1.0;
    for (int i = 0; i < 330; ++i) {
        typing.strikes.push_back({0.001 + 0.003 * i, std::uint16_t(i % 8), 0.0, 0.001});
    }
    TempDir dir;
    ASSERT_TRUE(typing.write(dir / "typing.jsonl"));
    std::optional<TraceError> error;
    const auto timeline = ReplayTimeline::open(dir / "typing.jsonl", error);
    ASSERT_TRUE(timeline);
    RunLoop loop;
    SerialDeadlineQueue queue;
    CountingClassifyQueue counting{queue};
    OfflineAudioOutput output;
    RawAudioDecoder decoder;
    auto coordinator = makeCoordinator(std::make_shared<ToccaSettings>(steady()),
                                       {&loop,
                                        &counting,
                                        std::make_shared<ReplaySensorRegistry>(timeline),
                                        std::make_shared<ReplayKeySource>(timeline),
                                        &decoder,
                                        &output,
                                        {}},
                                       {});
    std::atomic<int> presses{0}, offQueue{0}, releasesSounded{0};
    coordinator->setPressReporter([&](const ToccaCoordinator::PressReport&) {
        offQueue += !queue.isCurrentQueue();
        ++presses;
    });
    coordinator->setReleaseReporter([&](const ToccaCoordinator::ReleaseReport& report) {
        releasesSounded += report.sampleIndex >= 0;
    });
    // The output's contract: pulls begin after start() and end before stop().
    ASSERT_TRUE(loop.runUntil([&] { return coordinator->isRunning(); }, 5s));
    std::atomic<bool> stopAudio{false};
    std::thread audio([&] {
        std::vector<float> block(64 * 2);
        while (!stopAudio) {
            output.pull(block.data(), 64);
            std::this_thread::sleep_for(500us);
        }
    });
    for (int i = 0; i < 30; ++i) {
        coordinator->switchPack(i % 2 ? "Tone" : "Long");
        loop.runFor(15ms);
    }
    loop.runUntil([&] { return timeline->finished(); }, 5s);
    loop.runFor(100ms);
    stopAudio = true;
    audio.join();
    coordinator->stop();
    ASSERT_TRUE(queue.waitUntilIdle(5s));
    EXPECT_GT(presses.load(), 20);
    EXPECT_GT(releasesSounded.load(), 20);
    EXPECT_EQ(offQueue.load(), 0) << "every press was classified on the classify queue";
    EXPECT_EQ(counting.overlaps(), 0u);
    EXPECT_EQ(coordinator->sessionKeystrokes(), presses.load());
    EXPECT_EQ(coordinator->loadedSampleMap().at("alpha_soft"), (std::vector<std::int32_t>{0}));
}

TEST(CoordinatorPacks, PackOverTheDecodedAudioLimitsIsRefusedAndThePackInUseStays) {
    ToneRig r;
    LogCapture log;
    auto& coordinator = r.launch(steady("Tone"));
    const auto press = coordinator.loadedSampleMap();
    const std::size_t loaded = coordinator.audioEngine().loadedSampleCount();
    // One file a second longer than a sample file may last (at 1 kHz: small).
    const auto huge = r.userPacks() / "Huge";
    writeFile(huge / "pack.json", R"({"name":"Huge","author":"T","license":"CC0",
        "groups":{"alpha":{"soft":["long.raw"]}}})");
    writeRawAudio(huge / "long.raw", 1000, 1,
                  std::vector<float>(std::size_t(kMaxSampleSeconds * 1000) + 1000, 0.1f));
    coordinator.switchPack("Huge");
    EXPECT_EQ(log.count("[Clavio] Sound pack 'Huge' refused: "), 1u);
    EXPECT_EQ(coordinator.loadedSampleMap(), press);
    EXPECT_EQ(coordinator.audioEngine().loadedSampleCount(), loaded);
    EXPECT_EQ(r.settings().selectedPackName(), "Tone");
}
