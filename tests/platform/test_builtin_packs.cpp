// The built-in packs, as the build synthesised them: complete, decodable,
// shaped like key strokes, and with velocity layers that rise in loudness
// and brightness.
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "tests/support/audio_analysis.h"
#include "engine/packs/sound_pack_manager.h"
#include "platform/linux/audio/sndfile_decoder.h"

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
    double peakDb = 0;
    double centroidHz = 0;
    double lengthMs = 0; // until the sound falls 50 dB below its peak
};

// Mean figures over a layer's takes.
Figures measureFiles(const fs::path& folder, const std::vector<std::string>& files) {
    Figures mean;
    for (const auto& file : files) {
        const auto s = decodeMono(folder / file);
        const auto end = lastIndexAbove(s, peak(s) * float(dbToLinear(-50)));
        const Figures f{peakDbfs(s), spectralCentroidHz(s, 48000), end ? double(*end) / 48.0 : 0};
        mean.peakDb += f.peakDb / double(files.size());
        mean.centroidHz += f.centroidHz / double(files.size());
        mean.lengthMs += f.lengthMs / double(files.size());
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
        Figures previous{-200, 0, 0};
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

TEST_P(BuiltInPack, SpecialKeysSoundDistinctAndReleasesExist) {
    const auto manifest = manifestOf(GetParam());
    std::map<std::string, Figures> medium;
    for (const char* group : {"alpha", "modifier", "space", "enter", "delete"}) {
        medium[group] =
            measureFiles(packFolder(GetParam()),
                         manifest.samplesFor(*keyGroupFromName(group), VelocityTier::medium));
    }
    // Every pair differs clearly in pitch content or in length.
    for (auto a = medium.begin(); a != medium.end(); ++a) {
        for (auto b = std::next(a); b != medium.end(); ++b) {
            const double centroidRatio = std::max(a->second.centroidHz, b->second.centroidHz) /
                                         std::min(a->second.centroidHz, b->second.centroidHz);
            const double lengthRatio = std::max(a->second.lengthMs, b->second.lengthMs) /
                                       std::min(a->second.lengthMs, b->second.lengthMs);
            EXPECT_TRUE(centroidRatio > 1.1 || lengthRatio > 1.2)
                << a->first << " and " << b->first << " sound alike";
        }
    }
    EXPECT_GT(medium["space"].lengthMs, medium["alpha"].lengthMs * 1.3) << "space rings longer";
    EXPECT_LT(medium["space"].centroidHz, medium["alpha"].centroidHz) << "space sounds deeper";

    for (KeyGroup g : kAllKeyGroups) {
        const auto releases = manifest.releaseSamplesFor(g);
        EXPECT_FALSE(releases.empty()) << name(g);
        const Figures f = measureFiles(packFolder(GetParam()), releases);
        EXPECT_LT(f.peakDb,
                  measureFiles(packFolder(GetParam()), manifest.samplesFor(g, VelocityTier::hard))
                      .peakDb);
    }
    EXPECT_GE(manifest.releaseSamplesFor(KeyGroup::alpha).size(), 2u);
    EXPECT_NE(manifest.releaseSamplesFor(KeyGroup::space),
              manifest.releaseSamplesFor(KeyGroup::alpha));
}

INSTANTIATE_TEST_SUITE_P(Packs, BuiltInPack, ::testing::Values("Biscuit", "Bluebell"));

TEST(BuiltInPack, BluebellIsClearlyBrighterThanBiscuit) {
    const auto biscuit = manifestOf("Biscuit");
    const auto bluebell = manifestOf("Bluebell");
    for (VelocityTier tier : kLayers) {
        const Figures b =
            measureFiles(packFolder("Biscuit"), biscuit.samplesFor(KeyGroup::alpha, tier));
        const Figures c =
            measureFiles(packFolder("Bluebell"), bluebell.samplesFor(KeyGroup::alpha, tier));
        EXPECT_GT(c.centroidHz, b.centroidHz * 1.4) << name(tier) << ": Bluebell is the bright one";
    }
}
