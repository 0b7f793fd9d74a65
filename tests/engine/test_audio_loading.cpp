#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "engine/audio/audio_engine.h"
#include "tests/engine/mixer_rig.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::MixerRig;
using clavio::testing::TempDir;
using clavio::testing::writeRawAudio;

TEST(AudioLoading, BadFilesReturnMinusOneAndLeaveTheListUnchanged) {
    TempDir dir;
    MixerRig rig;
    writeRawAudio(dir / "good.raw", 48000, 1, std::vector<float>(100, 0.5f));
    ASSERT_EQ(rig.engine.loadSampleAtPath(dir / "good.raw"), 0);

    clavio::testing::writeFile(dir / "empty.raw", "");
    clavio::testing::writeFile(dir / "garbage.raw", "RIFF....WAVEfmt this is not audio at all");
    clavio::testing::writeFile(dir / "short.raw", "CLVRAW1\n\x80\xbb");
    writeRawAudio(dir / "zero.raw", 48000, 1, {});
    writeRawAudio(dir / "nochannels.raw", 48000, 0, {1.0f, 2.0f});
    // A header that promises 2^40 frames over a body of four: refused before
    // anything that size is allocated.
    writeRawAudio(dir / "absurd.raw", 48000, 2, {1.0f, 2.0f, 3.0f, 4.0f}, 1ull << 40);
    for (const char* name : {"missing.raw", "empty.raw", "garbage.raw", "short.raw", "zero.raw",
                             "nochannels.raw", "absurd.raw"}) {
        EXPECT_EQ(rig.engine.loadSampleAtPath(dir / name), -1) << name;
        EXPECT_EQ(rig.engine.loadedSampleCount(), 1u) << name;
    }
    // A body cut short yields the whole frames it holds.
    writeRawAudio(dir / "cut.raw", 48000, 2, {1.0f, 2.0f, 3.0f, 4.0f, 5.0f}, 1000);
    ASSERT_EQ(rig.engine.loadSampleAtPath(dir / "cut.raw"), 1);
    ASSERT_TRUE(rig.engine.start());
    ASSERT_TRUE(rig.engine.playSample(1, 1.0f, 1.0f));
    EXPECT_EQ(rig.pull(4), (std::vector<float>{1, 2, 3, 4, 0, 0, 0, 0}));
}

TEST(AudioLoading, DecodedAudioThatDoesNotAddUpIsRefused) {
    MixerRig rig;
    auto make = [](std::size_t floats, std::uint32_t frames, std::uint32_t channels, double rate) {
        DecodedAudio a;
        a.frames.assign(floats, 0.5f);
        a.frameCount = frames;
        a.channelCount = channels;
        a.sampleRate = rate;
        return a;
    };
    EXPECT_EQ(rig.engine.addDecodedSample(make(10, 10, 2, 48000)), -1); // needs 20 floats
    EXPECT_EQ(rig.engine.addDecodedSample(make(10, 0, 1, 48000)), -1);
    EXPECT_EQ(rig.engine.addDecodedSample(make(10, 10, 0, 48000)), -1);
    EXPECT_EQ(rig.engine.addDecodedSample(make(10, 10, 1, 0)), -1);
    EXPECT_EQ(rig.engine.addDecodedSample(make(10, 10, 1, std::nan(""))), -1);
    EXPECT_EQ(rig.engine.addDecodedSample(make(10, 10, 1, INFINITY)), -1);
    EXPECT_EQ(rig.engine.addDecodedSample(make(0, UINT32_MAX, 8, 48000)), -1);
    // One sample that is not a finite number, anywhere, would turn the mix of
    // every voice into noise.
    for (float bad : {std::nanf(""), INFINITY, -INFINITY}) {
        for (std::size_t at : {std::size_t(0), std::size_t(19)}) {
            auto audio = make(20, 10, 2, 48000);
            audio.frames[at] = bad;
            EXPECT_EQ(rig.engine.addDecodedSample(std::move(audio)), -1) << bad << " at " << at;
        }
    }
    EXPECT_EQ(rig.engine.loadedSampleCount(), 0u);
    EXPECT_EQ(rig.engine.addDecodedSample(make(20, 10, 2, 48000)), 0);
}

TEST(AudioEngineFront, CacheDecodesEachPathOnceUntilUnloadAll) {
    TempDir dir;
    clavio::testing::RawAudioDecoder decoder;
    OfflineAudioOutput output;
    AudioEngine engine(decoder, output);
    writeRawAudio(dir / "a.raw", 48000, 1, std::vector<float>(10, 0.5f));
    writeRawAudio(dir / "b.raw", 48000, 1, std::vector<float>(10, 0.25f));
    const std::string a = (dir / "a.raw").string();
    const std::string b = (dir / "b.raw").string();

    EXPECT_EQ(engine.loadSample(a), 0);
    EXPECT_EQ(engine.loadSample(b), 1);
    EXPECT_EQ(engine.loadSample(a), 0);
    EXPECT_EQ(decoder.decodeCalls(), 2);
    // Exact string match: another spelling of the same file is another entry.
    EXPECT_EQ(engine.loadSample((dir.path() / "." / "a.raw").string()), 2);
    EXPECT_EQ(decoder.decodeCalls(), 3);

    // Failures are not cached: each call tries the file again.
    const std::string missing = (dir / "late.raw").string();
    EXPECT_LT(engine.loadSample(missing), 0);
    EXPECT_LT(engine.loadSample(missing), 0);
    EXPECT_EQ(decoder.decodeCalls(), 5);
    writeRawAudio(dir / "late.raw", 48000, 1, std::vector<float>(10, 1.0f));
    EXPECT_EQ(engine.loadSample(missing), 3);

    engine.unloadAll();
    EXPECT_EQ(engine.loadedSampleCount(), 0u);
    EXPECT_EQ(engine.loadSample(b), 0);
    EXPECT_EQ(decoder.decodeCalls(), 7);
    ASSERT_TRUE(engine.start());
    ASSERT_TRUE(engine.play(0, 1.0f, 1.0f));
    float frame[2];
    output.pull(frame, 1);
    EXPECT_EQ(frame[0], 0.25f) << "index 0 after unloadAll must be the newly loaded file";
}

TEST(AudioEngineFront, ConcurrentLoadsOfOnePathDecodeOnceAndAgreeOnTheIndex) {
    TempDir dir;
    clavio::testing::RawAudioDecoder decoder;
    OfflineAudioOutput output;
    AudioEngine engine(decoder, output);
    std::vector<std::string> paths;
    for (int k = 0; k < 20; ++k) {
        paths.push_back((dir / ("s" + std::to_string(k) + ".raw")).string());
        writeRawAudio(paths.back(), 48000, 1, std::vector<float>(100, float(k)));
    }
    std::vector<std::int32_t> first(paths.size()), second(paths.size());
    std::thread t1([&] {
        for (std::size_t k = 0; k < paths.size(); ++k) {
            first[k] = engine.loadSample(paths[k]);
        }
    });
    std::thread t2([&] {
        for (std::size_t k = paths.size(); k-- > 0;) {
            second[k] = engine.loadSample(paths[k]);
        }
    });
    t1.join();
    t2.join();
    EXPECT_EQ(first, second);
    EXPECT_EQ(decoder.decodeCalls(), 20);
    EXPECT_EQ(engine.loadedSampleCount(), 20u);
}
