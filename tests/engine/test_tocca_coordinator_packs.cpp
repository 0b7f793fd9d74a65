// Pack loading through the coordinator: index order, fallbacks, failures,
// reloads and switches (with the "pack_change" ping), and a switch while
// voices are sounding.
#include <gtest/gtest.h>

#include "engine/audio/audio_engine.h"
#include "engine/settings/json_defaults_store.h"
#include "engine/settings/settings_values.h"
#include "engine/packs/sound_pack_manager.h"
#include "engine/runtime/termination_center.h"
#include "tests/support/coordinator_rig.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

using Map = std::map<std::string, std::vector<std::int32_t>>;
constexpr float kRest = 1.0f;

SettingsValues pack(const std::string& name) {
    SettingsValues v;
    v.selectedPackName = name;
    return v;
}

} // namespace

TEST(CoordinatorPacks, IndicesFollowGroupThenTierThenReleaseAndSharedFilesDecodeOnce) {
    CoordinatorRig rig;
    writeStandardPack(rig.userPacks() / "Tone");
    auto& coordinator = rig.launch(pack("Tone"));
    // Alpha's four tiers, its release, then space's one file; every other
    // group borrows alpha's files (the manifest's fallback) at alpha's indices.
    Map press;
    for (const char* group :
         {"alpha", "modifier", "enter", "delete", "arrow", "function", "other"}) {
        for (int t = 0; t < 4; ++t) {
            press[std::string(group) + "_" + std::string(name(VelocityTier(t + 1)))] = {t};
        }
    }
    for (const char* tier : {"soft", "medium", "hard", "slam"}) {
        press[std::string("space_") + tier] = {5};
    }
    EXPECT_EQ(coordinator.loadedSampleMap(), press);
    Map release;
    for (const char* group :
         {"alpha", "modifier", "space", "delete", "arrow", "function", "other"}) {
        release[group] = {4};
    }
    release["enter"] = {6};
    EXPECT_EQ(coordinator.loadedReleaseSampleMap(), release);
    EXPECT_EQ(rig.rawDecoder.decodeCalls(), 7);
    EXPECT_EQ(coordinator.audioEngine().native.loadedSampleCount(), 7u);
}

TEST(CoordinatorPacks, MissingUndecodableAndEscapingFilesAreLeftOut) {
    CoordinatorRig rig;
    const auto folder = rig.userPacks() / "Gaps";
    writeTonePack(folder,
                  {{"alpha", {{"soft", {"a.raw"}}}},
                   {"space", {{"hard", {"h1.raw", "missing.raw"}}, {"slam", {"bad.raw"}}}},
                   {"enter", {{"soft", {"escape.raw"}}}}},
                  std::nullopt, {{"a.raw", 0.1f}, {"h1.raw", 0.2f}});
    writeFile(folder / "bad.raw", "not audio at all");
    writeRawAudio(rig.home->root() / "outside.raw", 48000, 1, std::vector<float>(480, 0.5f));
    std::filesystem::create_symlink(rig.home->root() / "outside.raw", folder / "escape.raw");
    LogCapture log;
    auto& coordinator = rig.launch(pack("Gaps"));
    const Map maps = coordinator.loadedSampleMap();
    EXPECT_EQ(maps.at("space_hard"), (std::vector<std::int32_t>{1}));
    EXPECT_FALSE(maps.count("space_slam")) << "a key whose files all failed is absent";
    EXPECT_FALSE(maps.count("enter_soft")) << "a link out of the pack is never decoded";
    EXPECT_TRUE(coordinator.loadedReleaseSampleMap().empty());
    EXPECT_FALSE(log.contains("Could not load sound pack"));

    // No release samples: releases are silent.
    rig.keyUp(0);
    ASSERT_EQ(rig.releases().size(), 1u);
    EXPECT_EQ(rig.releases()[0].sampleIndex, -1);
    EXPECT_EQ(coordinator.audioEngine().native.busyVoiceCount(), 0u);
}

TEST(CoordinatorPacks, UnloadablePackLeavesEveryKeySilentWithTheLine) {
    CoordinatorRig rig;
    writeStandardPack(rig.userPacks() / "Tone");
    LogCapture log;
    auto& coordinator = rig.launch(pack("Nope"));
    EXPECT_EQ(log.count("[Clavio] Could not load sound pack 'Nope'"), 1u);
    EXPECT_EQ(log.count("[Clavio] packs=0 audio=OK sensor=YES"), 1u);
    rig.keyDown(0);
    rig.run(40ms, kRest);
    rig.keyUp(0);
    rig.run(5ms, kRest);
    ASSERT_EQ(rig.presses().size(), 1u);
    const auto press = rig.presses().at(0);
    for (const auto& layer : press.layers) {
        EXPECT_EQ(layer.sampleIndex, -1);
    }
    EXPECT_EQ(rig.firstSoundingFrame(), -1);

    // A good pack, then a bad one: the good one's samples are gone too.
    coordinator.switchPack("Tone");
    EXPECT_EQ(coordinator.audioEngine().native.loadedSampleCount(), 7u);
    coordinator.switchPack("../Tone");
    EXPECT_EQ(log.count("[Clavio] Could not load sound pack '../Tone'"), 1u);
    EXPECT_TRUE(coordinator.loadedSampleMap().empty());
    EXPECT_TRUE(coordinator.loadedReleaseSampleMap().empty());
    EXPECT_EQ(coordinator.audioEngine().native.loadedSampleCount(), 0u);
    EXPECT_EQ(rig.settings().selectedPackName(), "../Tone") << "the name stays selected";
}

TEST(CoordinatorPacks, ReloadingGivesTheSameIndices) {
    CoordinatorRig rig;
    writeStandardPack(rig.userPacks() / "Tone");
    auto& coordinator = rig.launch(pack("Tone"));
    const Map press = coordinator.loadedSampleMap();
    const Map release = coordinator.loadedReleaseSampleMap();
    for (int i = 0; i < 3; ++i) {
        coordinator.reloadPack();
        EXPECT_EQ(coordinator.loadedSampleMap(), press);
        EXPECT_EQ(coordinator.loadedReleaseSampleMap(), release);
        EXPECT_EQ(coordinator.audioEngine().native.loadedSampleCount(), 7u);
    }
}

TEST(CoordinatorPacks, SwitchingToAnotherPackSendsOnePackChangeAndToTheSameNone) {
    TempDir dir;
    JsonDefaultsStore defaults(dir / "defaults.json");
    RecordingHttpSender sender;
    FixedMachineDescription machine;
    RigOptions options;
    options.httpSender = &sender;
    options.defaultsStore = &defaults;
    options.machine = &machine;
    options.pingBaseUrl = "http://ping.test";
    CoordinatorRig rig(options);
    writeStandardPack(rig.userPacks() / "Tone");
    writeStandardPack(rig.userPacks() / "Other", "Other Tone");
    auto& coordinator = rig.launch(pack("Tone"));

    coordinator.switchPack("Other");
    coordinator.switchPack("Other");
    const auto changes = sender.events("pack_change");
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].at("old_pack"), "Tone");
    EXPECT_EQ(changes[0].at("new_pack"), "Other");
    EXPECT_EQ(changes[0].at("pack"), "Other");
    EXPECT_EQ(rig.settings().selectedPackName(), "Other");
    const auto saved = decodeSettings(readFile(ToccaSettings::fileURL()));
    ASSERT_TRUE(saved.ok());
    EXPECT_EQ(saved.value().selectedPackName, "Other");
    EXPECT_EQ(coordinator.packManager().currentManifest()->name, "Other Tone");
}

TEST(CoordinatorPacks, SwitchWhileVoicesSoundSilencesThemBeforeTheirSamplesGo) {
    CoordinatorRig rig;
    writeStandardPack(rig.userPacks() / "Tone");
    writeTonePack(rig.userPacks() / "Long", {{"alpha", {{"soft", {"long.raw"}}}}},
                  nlohmann::json{{"alpha", {"long.raw"}}}, {{"long.raw", 0.5f, 48000}});
    auto& coordinator = rig.launch(pack("Tone"));
    rig.run(300ms, kRest);
    for (std::uint16_t code = 0; code < 8; ++code) {
        rig.scheduleSample(rig.now() + 3 * kTicksPerMilli, kRest + 0.02f * code);
        rig.keyDown(code);
        rig.run(2ms, kRest);
        rig.keyUp(code);
    }
    rig.run(40ms, kRest);
    ASSERT_GE(coordinator.audioEngine().native.busyVoiceCount(), 10u);
    // Every voice reads a sample of "Tone"; the switch frees all of them.
    // Pulling on afterwards reads freed memory unless the voices were
    // silenced first (AddressSanitizer).
    coordinator.switchPack("Long");
    EXPECT_EQ(coordinator.audioEngine().native.busyVoiceCount(), 0u);
    const std::size_t after = rig.audio().size() / 2;
    rig.run(20ms, kRest);
    EXPECT_EQ(rig.firstSoundingFrame(after), -1);

    rig.keyDown(0);
    rig.run(40ms, kRest);
    const auto last = rig.presses().back();
    ASSERT_FALSE(last.layers.empty());
    EXPECT_EQ(last.layers[0].sampleIndex, 0);
    const long onset = rig.firstSoundingFrame(after);
    ASSERT_GE(onset, 0);
    EXPECT_NEAR(rig.audio()[std::size_t(onset) * 2], 0.5f * last.layers[0].gain, 1e-5f);
}
