// Pack files that change under the catalogue: a manifest deleted or cut
// short between the refresh that listed the pack and the load, and sample
// files deleted, cut short or replaced between the manifest load and the
// mixer's load. Real WAV files, the real decoder and the mixer with an
// offline output.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <vector>

#include "engine/audio/audio_engine.h"
#include "engine/audio/offline_audio_output.h"
#include "engine/packs/sound_pack_manager.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "platform/linux/audio/wav_writer.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kFrames = 4800;

std::string manifest(const std::string& name) {
    return R"({"name":")" + name + R"(","author":"T","license":"CC0",)" +
           R"("groups":{"alpha":{"soft":["a.wav","b.wav","c.wav"]}}})";
}

// A mono float WAV of kFrames frames, all `level`.
void writeWav(const fs::path& path, float level) {
    platform::WavWriter writer;
    ASSERT_FALSE(writer.open(path, 48000, 1));
    const std::vector<float> frames(kFrames, level);
    ASSERT_FALSE(writer.write(frames.data(), frames.size()));
    ASSERT_FALSE(writer.finish());
}

struct UserPacks {
    ScopedXdgHome home;
    fs::path folder(const std::string& name) const {
        return home.dataHome() / "Clavio" / "SoundPacks" / name;
    }
    void add(const std::string& name) const {
        fs::create_directories(folder(name));
        writeFile(folder(name) / "pack.json", manifest(name));
        for (const char* file : {"a.wav", "b.wav", "c.wav"}) {
            writeWav(folder(name) / file, 0.5f);
        }
    }
};

struct Mixer {
    platform::SndfileDecoder decoder;
    OfflineAudioOutput output;
    AudioEngine engine{decoder, output};

    // Pulls until every voice ended (bounded); the frames pulled.
    std::vector<float> drain() {
        std::vector<float> all;
        std::vector<float> block(2 * 256);
        for (int i = 0; i < 200 && engine.native.busyVoiceCount() > 0; ++i) {
            output.pull(block.data(), 256);
            all.insert(all.end(), block.begin(), block.end());
        }
        return all;
    }
};

} // namespace

TEST(PackFileFaults, ManifestDeletedOrCutShortAfterTheRefreshKeepsTheCurrentPack) {
    UserPacks packs;
    packs.add("Current");
    packs.add("Next");
    SoundPackManager manager(std::nullopt);
    ASSERT_EQ(manager.availablePacks(), (std::vector<std::string>{"Current", "Next"}));
    ASSERT_TRUE(manager.loadPack("Current"));
    const fs::path manifestFile = packs.folder("Next") / "pack.json";
    const std::string whole = readFile(manifestFile);

    auto expectCurrentKept = [&](const char* fault) {
        EXPECT_FALSE(manager.loadPack("Next")) << fault;
        ASSERT_TRUE(manager.currentManifest()) << fault;
        EXPECT_EQ(manager.currentManifest()->name, "Current") << fault;
        EXPECT_EQ(manager.currentPackPath(), packs.folder("Current")) << fault;
        EXPECT_TRUE(manager.resolveSamplePath("a.wav")) << fault;
    };
    fs::remove(manifestFile);
    expectCurrentKept("deleted");
    writeFile(manifestFile, whole.substr(0, whole.size() / 2));
    expectCurrentKept("cut in half");
    writeFile(manifestFile, "");
    expectCurrentKept("emptied");
    fs::remove(manifestFile);
    fs::create_directory(manifestFile);
    expectCurrentKept("replaced by a folder");

    // Whole again: the pack loads, nothing of the failures stuck.
    fs::remove(manifestFile);
    writeFile(manifestFile, whole);
    ASSERT_TRUE(manager.loadPack("Next"));
    EXPECT_EQ(manager.currentManifest()->name, "Next");
}

TEST(PackFileFaults, SampleFilesDeletedOrCutShortBeforeTheMixerLoadsThemFailAlone) {
    UserPacks packs;
    packs.add("P");
    SoundPackManager manager(std::nullopt);
    ASSERT_TRUE(manager.loadPack("P"));
    const auto a = manager.resolveSamplePath("a.wav");
    const auto b = manager.resolveSamplePath("b.wav");
    const auto c = manager.resolveSamplePath("c.wav");
    ASSERT_TRUE(a && b && c);

    Mixer mixer;
    ASSERT_TRUE(mixer.engine.start());
    // b.wav keeps its header and 1000 of its frames; a.wav is deleted and
    // c.wav loses everything but 20 bytes of its header.
    const std::string bBytes = readFile(*b);
    const std::size_t header = bBytes.size() - kFrames * sizeof(float);
    writeFile(*b, bBytes.substr(0, header + 1000 * sizeof(float)));
    fs::remove(*a);
    writeFile(*c, readFile(*c).substr(0, 20));

    EXPECT_FALSE(manager.resolveSamplePath("a.wav")) << "a deleted file no longer resolves";
    EXPECT_EQ(mixer.engine.loadSample(a->string()), -1);
    EXPECT_EQ(mixer.engine.loadSample(c->string()), -1);
    const std::int32_t shortened = mixer.engine.loadSample(b->string());
    ASSERT_EQ(shortened, 0) << "a cut file gives the frames it holds";
    EXPECT_EQ(mixer.engine.native.loadedSampleCount(), 1u);
    EXPECT_FALSE(mixer.engine.play(-1, 1.0f, 1.0f)) << "a failed load's index plays nothing";

    // Replaced while loaded: the decoded copy plays, nothing is read again.
    writeFile(*b, "");
    ASSERT_TRUE(mixer.engine.play(shortened, 1.0f, 1.0f));
    const auto out = mixer.drain();
    EXPECT_EQ(mixer.engine.native.busyVoiceCount(), 0u);
    std::size_t sounding = 0;
    for (std::size_t i = 0; i < out.size(); i += 2) {
        ASSERT_TRUE(std::isfinite(out[i]));
        sounding += out[i] == 0.5f;
    }
    EXPECT_EQ(sounding, 1000u) << "the voice ends with the frames the cut file held";

    // A failed path is not cached: once the file is back, it loads.
    writeWav(*a, 0.25f);
    EXPECT_EQ(mixer.engine.loadSample(a->string()), 1);
}
