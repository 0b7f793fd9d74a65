// The built-in packs: key strokes whose velocity layers rise in loudness and brightness.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/packs/sound_pack_manager.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "tests/support/audio_analysis.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

constexpr std::array<VelocityTier, 4> kLayers = {VelocityTier::soft, VelocityTier::medium,
                                                 VelocityTier::hard, VelocityTier::slam};

fs::path packFolder(const std::string& pack) {
    return fs::path(CLAVIO_RESOURCE_BUILD_DIR) / "SoundPacks" / pack;
}

std::vector<float> decodeMono(const fs::path& file) {
    platform::SndfileDecoder decoder;
    DecodedAudio audio;
    std::string error;
    EXPECT_TRUE(decoder.decode(file, audio, error)) << error;
    EXPECT_EQ(audio.sampleRate, 48000.0) << file;
    return toMono(audio.frames, audio.channelCount);
}

struct Figures {
    double peakDb = 0, centroidHz = 0;
};

// Mean figures over a layer's takes.
Figures measureFiles(const fs::path& folder, const std::vector<std::string>& files) {
    Figures mean;
    for (const auto& file : files) {
        const auto s = decodeMono(folder / file);
        mean.peakDb += peakDbfs(s) / double(files.size());
        mean.centroidHz += spectralCentroidHz(s, 48000) / double(files.size());
    }
    return mean;
}

SoundPackManifest manifestOf(const std::string& pack) {
    auto manifest = readSoundPackManifest(packFolder(pack));
    EXPECT_TRUE(manifest.ok()) << (manifest.ok() ? "" : manifest.error().text());
    return manifest.ok() ? manifest.value() : SoundPackManifest{};
}

class BuiltInPack : public ::testing::TestWithParam<std::string> {};

} // namespace

TEST_P(BuiltInPack, EveryFileIsAShortKeyStrokeThatStartsAtOnceAndDiesAway) {
    const auto manifest = manifestOf(GetParam());
    EXPECT_EQ(manifest.name, GetParam());
    EXPECT_EQ(manifest.sampleRate, 48000);
    for (KeyGroup g : kAllKeyGroups) {
        EXPECT_FALSE(manifest.releaseSamplesFor(g).empty()) << name(g);
    }
    const auto entries = manifest.allEntries();
    ASSERT_GT(entries.size(), 40u);
    for (const auto& entry : entries) {
        const auto s = decodeMono(packFolder(GetParam()) / entry.file);
        ASSERT_GT(s.size(), 48u * 40) << entry.file;
        EXPECT_LT(s.size(), 48u * 400) << entry.file;
        EXPECT_LT(peakDbfs(s), -0.5) << entry.file << " must not clip";
        // Sound within half a millisecond: the key's latency is the sample's.
        const auto onset = onsetIndex(s, peak(s) * float(dbToLinear(-30)));
        ASSERT_TRUE(onset);
        EXPECT_LT(*onset, 24u) << entry.file;
        // The last 5 ms are silent, so the end does not click.
        const std::span<const float> tail(s.data() + s.size() - 240, 240);
        EXPECT_LT(peakDbfs(tail), -60.0) << entry.file;
    }
}

TEST_P(BuiltInPack, LayersRiseInLoudnessAndBrightnessInEveryGroup) {
    const auto manifest = manifestOf(GetParam());
    for (const char* group : {"alpha", "modifier", "space", "enter", "delete"}) {
        ASSERT_TRUE(manifest.groups.contains(group)) << group;
        const auto& samples = manifest.groups.at(group);
        Figures previous{-200, 0};
        for (VelocityTier tier : kLayers) {
            const auto& files = samples.member(tier);
            ASSERT_TRUE(files) << group << " " << name(tier);
            if (std::string(group) == "alpha") {
                EXPECT_GE(files->size(), 3u) << "alpha " << name(tier) << " needs three takes";
            }
            const Figures f = measureFiles(packFolder(GetParam()), *files);
            EXPECT_GE(f.peakDb - previous.peakDb, 3.0) << group << " " << name(tier) << " louder";
            EXPECT_GE(f.centroidHz, previous.centroidHz * 1.08)
                << group << " " << name(tier) << " brighter";
            previous = f;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Packs, BuiltInPack, ::testing::Values("Biscuit", "Bluebell"));
