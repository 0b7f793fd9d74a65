// The keystroke pipeline through the real coordinator on virtual time: key
// events through the capture's event logic, reports through the report
// decoder into the coordinator's own ring, voices pulled from the mixer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "engine/audio/audio_engine.h"
#include "engine/sensing/calibration.h"
#include "engine/settings/macro_router.h"
#include "engine/ports/url_opener.h"
#include "tests/support/coordinator_rig.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

constexpr float kRest = 1.0f;
// File levels of the standard pack, by sample index.
const std::map<std::int32_t, float> kLevels = {{0, 0.1f},  {1, 0.2f},  {2, 0.3f}, {3, 0.4f},
                                               {4, 0.05f}, {5, 0.25f}, {6, 0.06f}};

SettingsValues steady() {
    SettingsValues v;
    v.selectedPackName = "Tone";
    v.pitchVariation = 0.0f;
    v.gainVariation = 0.0f;
    return v;
}

std::uint64_t ms(std::uint64_t m) {
    return m * kTicksPerMilli;
}

// A rig with the standard pack, launched and rested for half a second so
// the baseline has settled on the resting magnitude.
struct Pipeline {
    explicit Pipeline(SettingsValues values = steady(), RigOptions options = {}) : rig(options) {
        writeStandardPack(rig.userPacks() / "Tone");
        rig.launch(values);
        rig.run(500ms, kRest);
    }
    // Strikes `code` now with a bump of `peak` g above rest 3 ms later.
    void strike(std::uint16_t code, float peak) {
        rig.scheduleSample(rig.now() + ms(3), kRest + peak);
        rig.keyDown(code);
    }
    std::size_t frameAt(std::uint64_t ticks) const {
        return std::size_t((ticks - rig.launchTicks()) / kTicksPerMilli * 48);
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

TEST(CoordinatorPipeline, PressIsClassifiedSearchPostPlusTenMsAfterItsKeyAndItsVoiceStartsThen) {
    SettingsValues values = steady();
    values.searchPostMs = 20.9; // truncated: 20 + 10 ms
    Pipeline p(values);
    const std::uint64_t key = p.rig.now();
    p.strike(0, 0.06f);
    p.rig.run(29ms, kRest);
    EXPECT_TRUE(p.rig.presses().empty()) << "classified before its deadline";
    p.rig.run(1ms, kRest);
    const auto presses = p.rig.presses();
    ASSERT_EQ(presses.size(), 1u);
    const auto& press = presses[0];
    EXPECT_EQ(press.keyEvent.timestamp, key);
    EXPECT_EQ(press.classifiedAt, key + ms(30));
    EXPECT_EQ(press.impact.tier, VelocityTier::medium);
    EXPECT_GT(press.impact.samplesInWindow, 20u);
    p.rig.run(5ms, kRest);

    // The voice starts at the first frame of the classification's millisecond
    // and its level is the reported decisions applied to the files.
    const std::size_t onset = p.frameAt(key + ms(30));
    EXPECT_EQ(p.rig.firstSoundingFrame(), long(onset));
    float expected = 0.0f;
    for (const auto& layer : press.layers) {
        ASSERT_GE(layer.sampleIndex, 0);
        expected += kLevels.at(layer.sampleIndex) * layer.gain;
    }
    EXPECT_NEAR(p.rig.audio()[onset * 2], expected, 1e-5f);
    EXPECT_NEAR(p.rig.audio()[onset * 2 + 1], expected, 1e-5f);
}

TEST(CoordinatorPipeline, GainAndPitchFollowVelocityLayersAndKeyWithoutVariation) {
    Pipeline p;
    EXPECT_EQ(p.rig.coordinator().sessionTierCounts(),
              (std::map<std::string, std::int64_t>{
                  {"soft", 0}, {"medium", 0}, {"hard", 0}, {"slam", 0}}));
    // No bump: the peak stays inside the deadzone. A silent press still
    // sounds its soft layer ("silent" looks up "soft") and adds "silent".
    for (float peak : {0.0f, 0.02f, 0.06f, 0.1f, 0.2f}) {
        p.strike(11, peak);
        p.rig.run(60ms, kRest);
    }
    const auto presses = p.rig.presses();
    ASSERT_EQ(presses.size(), 5u);
    EXPECT_EQ(p.rig.coordinator().sessionTierCounts(),
              (std::map<std::string, std::int64_t>{
                  {"silent", 1}, {"soft", 1}, {"medium", 1}, {"hard", 1}, {"slam", 1}}));
    std::set<VelocityTier> tiers;
    for (const auto& press : presses) {
        const float v = press.impact.velocity;
        tiers.insert(press.impact.tier);
        ASSERT_FALSE(press.layers.empty());
        for (const auto& layer : press.layers) {
            EXPECT_FLOAT_EQ(layer.gain, (0.5f * v + 0.5f) * layer.layerGain);
            EXPECT_FLOAT_EQ(layer.pitchShift, 0.14f + (0.08f * v + 0.96f));
            // Alpha's own file for each layer tier: index = tier - 1.
            EXPECT_EQ(layer.sampleIndex, std::max(rawValue(layer.tier) - 1, 0));
        }
    }
    // Soft to slam were all reached, so every sample key was looked up.
    EXPECT_EQ(tiers, (std::set<VelocityTier>{VelocityTier::silent, VelocityTier::soft,
                                             VelocityTier::medium, VelocityTier::hard,
                                             VelocityTier::slam}));
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
    const auto releases = p.rig.releases();
    ASSERT_EQ(releases.size(), 1u);
    EXPECT_EQ(releases[0].sampleIndex, 4);
    EXPECT_FLOAT_EQ(releases[0].gain, 0.4f);
    EXPECT_FLOAT_EQ(releases[0].pitchShift, 1.14f);
    // The release starts at once, on the key-up, at 0.4 of its file's level.
    EXPECT_NEAR(p.rig.audio()[(beforeRelease)*2], 0.4f * 0.05f, 1e-6f);
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
    EXPECT_FALSE(coordinator.lastImpact());
    EXPECT_TRUE(opener.opened.empty()) << "no macro without sound";

    // Sound back on: the same press sounds, runs its macro and is published.
    p.rig.settings().setSoundEnabled(true);
    p.strike(0, 0.06f);
    p.rig.run(60ms, kRest);
    EXPECT_NE(p.rig.firstSoundingFrame(), -1);
    EXPECT_EQ(opener.opened.size(), 1u);
    ASSERT_TRUE(coordinator.lastKeyEvent());
    EXPECT_EQ(coordinator.lastKeyEvent()->keyCode, 0);
    EXPECT_EQ(coordinator.lastTier(), VelocityTier::medium);
    EXPECT_EQ(*coordinator.lastImpact(), p.rig.presses().back().impact);
}

TEST(CoordinatorPipeline, WithoutSensorEveryPressIsMediumAtHalfVelocity) {
    RigOptions options;
    options.accelerometer = false;
    CoordinatorRig rig(options);
    writeStandardPack(rig.userPacks() / "Tone");
    LogCapture log;
    auto& coordinator = rig.launch(steady());
    EXPECT_FALSE(coordinator.isRunning()) << "no accelerometer: nothing starts by itself";
    EXPECT_EQ(log.count("[Clavio] Sensor not available. Mac incompatible."), 1u);
    coordinator.start();
    // Every group falls back to alpha's files in the manifest: 8 x 4 keys.
    EXPECT_TRUE(log.contains("[Clavio] packs=32 audio=OK sensor=NO"));
    const std::uint64_t key = rig.now();
    rig.keyDown(3);
    rig.run(40ms);
    ASSERT_EQ(rig.presses().size(), 1u);
    const auto press = rig.presses().at(0);
    const ImpactResult expected{0.0f, 0.0f, 0.0f, 0.5f, VelocityTier::medium, key, 0};
    EXPECT_EQ(press.impact, expected);
    ASSERT_FALSE(press.layers.empty());
    for (const auto& layer : press.layers) {
        EXPECT_FLOAT_EQ(layer.gain, 0.75f * layer.layerGain);
        EXPECT_FLOAT_EQ(layer.pitchShift, ToccaCoordinator::pitchForKey(3) + 1.0f);
    }
    EXPECT_EQ(coordinator.calibration().count(), 1) << "the placeholder score is recorded too";
}

TEST(CoordinatorPipeline, PackWithOnlyAlphaSoftSoundsEveryGroupAndLayer) {
    CoordinatorRig rig;
    // The manifest's own fallbacks would hand alpha's files to every group;
    // here every other group names a file that is missing and alpha's upper
    // tiers are empty, so only "alpha_soft" loads and the pipeline's own
    // fallback has to serve every other sample key.
    nlohmann::json groups = {{"alpha",
                              {{"soft", {"only.raw"}},
                               {"medium", nlohmann::json::array()},
                               {"hard", nlohmann::json::array()},
                               {"slam", nlohmann::json::array()}}}};
    for (const char* group :
         {"modifier", "space", "enter", "delete", "arrow", "function", "other"}) {
        groups[group] = {{"soft", {"gone.raw"}},
                         {"medium", {"gone.raw"}},
                         {"hard", {"gone.raw"}},
                         {"slam", {"gone.raw"}}};
    }
    writeTonePack(rig.userPacks() / "Lone", groups, std::nullopt, {{"only.raw", 0.3f}});
    SettingsValues values = steady();
    values.selectedPackName = "Lone";
    rig.launch(values);
    ASSERT_EQ(rig.coordinator().loadedSampleMap(),
              (std::map<std::string, std::vector<std::int32_t>>{{"alpha_soft", {0}}}));
    rig.run(500ms, kRest);
    // One key of each group, at rising strengths so every tier is met.
    const std::uint16_t codes[] = {0, 56, 49, 36, 51, 123, 122, 200};
    const float peaks[] = {0.02f, 0.06f, 0.1f, 0.2f, 0.02f, 0.06f, 0.1f, 0.2f};
    for (int i = 0; i < 8; ++i) {
        rig.scheduleSample(rig.now() + ms(3), kRest + peaks[i]);
        if (codes[i] == 56) {
            rig.flagsChanged(56, kFlagShift);
        } else {
            rig.keyDown(codes[i]);
        }
        rig.run(60ms, kRest);
        if (codes[i] == 56) {
            rig.flagsChanged(56, 0);
        }
    }
    const auto presses = rig.presses();
    ASSERT_EQ(presses.size(), 8u);
    std::set<KeyGroup> groupsSounded;
    std::set<VelocityTier> tiers;
    for (const auto& press : presses) {
        groupsSounded.insert(press.keyEvent.keyGroup);
        for (const auto& layer : press.layers) {
            tiers.insert(layer.tier);
            EXPECT_EQ(layer.sampleIndex, 0)
                << name(press.keyEvent.keyGroup) << " " << name(layer.tier);
        }
    }
    EXPECT_EQ(groupsSounded.size(), 8u);
    EXPECT_EQ(tiers.size(), 4u);
}

TEST(CoordinatorPipeline, TwoCrossfadedLayersDrawTheirOwnSampleAndJitter) {
    RigOptions options;
    options.accelerometer = false;
    CoordinatorRig rig(options);
    writeTonePack(rig.userPacks() / "Many",
                  {{"alpha",
                    {{"soft", {"s1.raw", "s2.raw", "s3.raw", "s4.raw"}},
                     {"medium", {"m1.raw", "m2.raw", "m3.raw", "m4.raw"}}}}},
                  std::nullopt,
                  {{"s1.raw", 0.1f},
                   {"s2.raw", 0.1f},
                   {"s3.raw", 0.1f},
                   {"s4.raw", 0.1f},
                   {"m1.raw", 0.1f},
                   {"m2.raw", 0.1f},
                   {"m3.raw", 0.1f},
                   {"m4.raw", 0.1f}});
    SettingsValues values;
    values.selectedPackName = "Many";
    values.mediumThreshold = 0.5f; // the placeholder velocity sits on the threshold
    values.hardThreshold = 0.8f;
    values.gainVariation = 0.05f;
    values.pitchVariation = 0.03f;
    rig.launch(values);
    rig.coordinator().start();
    std::set<std::int32_t> soft;
    std::set<std::int32_t> medium;
    std::set<float> gains;
    for (int i = 0; i < 40; ++i) {
        rig.keyDown(0);
        rig.run(40ms);
        rig.keyUp(0);
    }
    for (const auto& press : rig.presses()) {
        ASSERT_EQ(press.layers.size(), 2u);
        const auto& a = press.layers[0];
        const auto& b = press.layers[1];
        EXPECT_EQ(a.tier, VelocityTier::soft);
        EXPECT_EQ(b.tier, VelocityTier::medium);
        soft.insert(a.sampleIndex);
        medium.insert(b.sampleIndex);
        const float scale = 0.5f * press.impact.velocity + 0.5f;
        for (const auto& layer : press.layers) {
            EXPECT_LE(std::fabs(layer.gain - scale * layer.layerGain), 0.05f + 1e-6f);
            EXPECT_LE(std::fabs(layer.pitchShift - (ToccaCoordinator::pitchForKey(0) + 1.0f)),
                      0.03f + 1e-6f);
            gains.insert(layer.gain);
        }
        EXPECT_NE(a.pitchShift, b.pitchShift) << "each layer draws its own pitch jitter";
    }
    EXPECT_EQ(soft, (std::set<std::int32_t>{0, 1, 2, 3}));
    EXPECT_EQ(medium, (std::set<std::int32_t>{4, 5, 6, 7}));
    EXPECT_GT(gains.size(), 40u);
}

TEST(CoordinatorPipeline, PitchForKeyTableAndFormula) {
    EXPECT_FLOAT_EQ(ToccaCoordinator::pitchForKey(0), -0.04f);
    const std::map<std::uint16_t, float> table = {
        {1, 0.09f}, {8, 0.10f}, {11, 0.14f}, {12, 0.13f}, {15, 0.12f}, {34, 0.10f}, {35, 0.11f}};
    for (const auto& [code, offset] : table) {
        EXPECT_FLOAT_EQ(ToccaCoordinator::pitchForKey(code), offset) << code;
    }
    // 3 x 31153 = 93459, low 16 bits 27923: (27923 / 65535 - 0.5) x 0.08.
    EXPECT_NEAR(ToccaCoordinator::pitchForKey(3), -0.0059144f, 1e-6f);
    // 65535 x 31153 wraps in 32 bits: low 16 bits 34383.
    EXPECT_NEAR(ToccaCoordinator::pitchForKey(65535), (34383.0f / 65535.0f - 0.5f) * 0.08f, 1e-7f);
    for (std::uint32_t code = 0; code <= 0xFFFF; ++code) {
        if (!table.count(std::uint16_t(code))) {
            const float p = ToccaCoordinator::pitchForKey(std::uint16_t(code));
            ASSERT_GE(p, -0.04f) << code;
            ASSERT_LE(p, 0.04f) << code;
        }
    }
}

TEST(CoordinatorPipeline, RefusesUnusableSearchWindowAndVariationsWithOneLineEach) {
    LogCapture log;
    SettingsValues values = steady();
    values.searchPostMs = std::nan("");
    values.pitchVariation = -0.5f;
    values.gainVariation = INFINITY;
    Pipeline p(values);
    EXPECT_EQ(log.count("[Clavio] searchPostMs nan refused"), 1u) << log.lines().size();
    const std::uint64_t key = p.rig.now();
    for (int i = 0; i < 3; ++i) {
        p.strike(0, 0.06f);
        p.rig.run(60ms, kRest);
    }
    const auto presses = p.rig.presses();
    ASSERT_EQ(presses.size(), 3u);
    EXPECT_EQ(presses[0].classifiedAt, key + ms(30)) << "the default 20 ms + 10 ms";
    for (const auto& press : presses) {
        const float v = press.impact.velocity;
        for (const auto& layer : press.layers) {
            EXPECT_TRUE(std::isfinite(layer.gain));
            EXPECT_LE(std::fabs(layer.gain - (0.5f * v + 0.5f) * layer.layerGain), 0.05f + 1e-6f);
            EXPECT_LE(std::fabs(layer.pitchShift - (0.08f * v + 0.96f) + 0.04f), 0.03f + 1e-6f);
        }
    }
    EXPECT_EQ(log.count("[Clavio] pitchVariation -0.5 refused"), 1u);
    EXPECT_EQ(log.count("[Clavio] gainVariation inf refused"), 1u);

    // A negative search window is refused at the next start as well.
    p.rig.coordinator().stop();
    p.rig.settings().setSearchPostMs(-4.0);
    p.rig.coordinator().start();
    EXPECT_EQ(log.count("[Clavio] searchPostMs -4 refused"), 1u);
}
