// The mixer and its loading front on the test thread, and under concurrent
// use: the thread test is meant for AddressSanitizer (use after free of sample
// data); its value checks catch the same fault in a plain build when the
// timing is unlucky.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <numeric>
#include <thread>
#include <vector>

#include "engine/audio/audio_engine.h"
#include "engine/audio/offline_audio_output.h"
#include "tests/engine/mixer_rig.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::MixerRig;
using clavio::testing::TempDir;
using clavio::testing::writeRawAudio;

namespace {

// 1, 2, 3, ... so that every source frame is told apart by its value.
std::vector<float> ramp(std::size_t frames) {
    std::vector<float> v(frames);
    std::iota(v.begin(), v.end(), 1.0f);
    return v;
}

} // namespace

TEST(AudioMixing, BuffersAreZeroedAndNeverWrittenPastTheirSize) {
    MixerRig rig;
    ASSERT_TRUE(rig.engine.start());
    ASSERT_TRUE(rig.engine.playSample(rig.add(std::vector<float>(1000, 1.0f), 1), 1.0f, 1.0f));
    // A single buffer of 10 floats holds 5 stereo frames, whatever the count.
    std::vector<float> block(20, -3.0f);
    AudioBuffer one{block.data(), 10};
    TCAAudioEngine::render(&rig.engine, 256, &one, 1);
    EXPECT_EQ(std::vector<float>(block.begin() + 10, block.end()), std::vector<float>(10, -3.0f));
    EXPECT_EQ(std::vector<float>(block.begin(), block.begin() + 10), std::vector<float>(10, 1.0f));
    // Split buffers of different sizes: the shorter one bounds the frames.
    std::vector<float> l(8, -3.0f), r(4, -3.0f);
    AudioBuffer two[2] = {{l.data(), 8}, {r.data(), 4}};
    TCAAudioEngine::render(&rig.engine, 8, two, 2);
    EXPECT_EQ(l, (std::vector<float>{1, 1, 1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(r, (std::vector<float>{1, 1, 1, 1}));

    // No voice: every float of every buffer becomes zero.
    rig.engine.unloadAllSamples();
    std::vector<float> dirty(512, std::numeric_limits<float>::quiet_NaN());
    AudioBuffer d{dirty.data(), 512};
    TCAAudioEngine::render(&rig.engine, 256, &d, 1);
    EXPECT_EQ(dirty, std::vector<float>(512, 0.0f));
    // A null mixer leaves the buffers alone; no buffers at all is harmless.
    dirty.assign(512, 5.0f);
    TCAAudioEngine::render(nullptr, 256, &d, 1);
    EXPECT_EQ(dirty[0], 5.0f);
    const auto calls = TCAAudioEngine::renderCallCount();
    TCAAudioEngine::render(&rig.engine, 256, nullptr, 0);
    EXPECT_EQ(TCAAudioEngine::renderCallCount(), calls + 1);
}

TEST(AudioMixing, StepUsesTheOutputRateKnownWhenTheVoiceStarted) {
    MixerRig rig(44100.0);
    clavio::testing::LogCapture log;
    const auto s = rig.add(ramp(100), 1, 48000.0);
    EXPECT_EQ(rig.engine.outputSampleRate(), 48000.0);
    ASSERT_TRUE(rig.engine.playSample(s, 1.0f, 1.0f)); // stepped for 48000: 1.0
    ASSERT_TRUE(rig.engine.start());
    EXPECT_EQ(rig.engine.outputSampleRate(), 44100.0);
    EXPECT_TRUE(log.contains("[Clavio:Audio] Audio output started, 44100 Hz"));
    ASSERT_TRUE(rig.engine.playSample(s, 100.0f, 1.0f)); // 48000 / 44100
    const auto out = rig.pull(12);
    for (int n = 0; n < 12; ++n) {
        const float second = 100.0f * float(std::uint32_t(n * (48000.0 / 44100.0)) + 1);
        EXPECT_EQ(out[2 * n], float(n + 1) + second) << n;
    }
}

TEST(AudioMixing, PlayRefusesBadArgumentsWithoutClaimingAVoiceAndUnloadSilencesVoices) {
    MixerRig rig;
    ASSERT_TRUE(rig.engine.start());
    const auto s = rig.add(std::vector<float>(64, 1.0f), 1);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // Index == number loaded; pitches so small that the playhead would stop
    // short of the end.
    const std::tuple<std::int32_t, float, float> refused[] = {
        {-1, 1, 1},  {1, 1, 1},      {INT32_MAX, 1, 1}, {s, 1, 0},   {s, 1, -1},
        {s, 1, nan}, {s, 1, 1e-30f}, {s, 1, 5e-7f},     {s, nan, 1}, {s, inf, 1}};
    for (const auto& [index, gain, pitch] : refused) {
        EXPECT_FALSE(rig.engine.playSample(index, gain, pitch))
            << index << " " << gain << " " << pitch;
    }
    EXPECT_EQ(rig.engine.busyVoiceCount(), 0u);
    EXPECT_EQ(rig.pull(64), std::vector<float>(128, 0.0f));
    // A slow voice is still a voice: 64 frames at 1/100000 of a frame each.
    EXPECT_TRUE(rig.engine.playSample(s, 1.0f, 1e-5f));
    const auto b = rig.add(std::vector<float>(48000, 0.5f), 1);
    ASSERT_TRUE(rig.engine.playSample(b, 1.0f, 1.0f));
    EXPECT_EQ(rig.engine.busyVoiceCount(), 2u);
    // Unloading silences the playing voices and indices restart at zero.
    rig.engine.unloadAllSamples();
    EXPECT_EQ(rig.engine.loadedSampleCount() + rig.engine.busyVoiceCount(), 0u);
    EXPECT_EQ(rig.pull(256), std::vector<float>(512, 0.0f));
    EXPECT_FALSE(rig.engine.playSample(b, 1.0f, 1.0f));
    EXPECT_EQ(rig.add(std::vector<float>(10, 0.25f), 1), 0);
    // A negative gain is a phase flip, not an error.
    ASSERT_TRUE(rig.engine.playSample(0, -1.0f, 1.0f));
    EXPECT_EQ(rig.pull(1)[0], -0.25f);
}

TEST(AudioMixing, StopKeepsVoicesAndTheNextStartContinuesThem) {
    MixerRig rig;
    clavio::testing::LogCapture log;
    ASSERT_TRUE(rig.engine.start());
    ASSERT_TRUE(rig.engine.start()); // already running: true, nothing logged
    ASSERT_TRUE(rig.engine.playSample(rig.add(ramp(1000), 1), 1.0f, 1.0f));
    rig.pull(100);
    rig.engine.stop();
    EXPECT_FALSE(rig.engine.isRunning() || rig.output.isStarted());
    EXPECT_EQ(rig.pull(10), std::vector<float>(20, 0.0f));
    ASSERT_TRUE(rig.engine.start());
    EXPECT_TRUE(rig.engine.isRunning());
    EXPECT_EQ(rig.pull(1)[0], 101.0f);
    EXPECT_EQ(log.count("Audio output started"), 2u);
}

TEST(AudioThreads,
     UnloadWhileRenderingThirtyTwoVoicesNeverFreesWhatAVoiceReadsUnderAddressSanitizer) {
    MixerRig rig;
    ASSERT_TRUE(rig.engine.start());
    std::atomic<bool> stop{false};
    std::atomic<int> badFrames{0}, soundingCycles{0};
    std::atomic<std::uint64_t> cycles{0};
    // Every sample is 1.0 at gain 1.0, so every output value is a whole
    // number of voices between 0 and 32; anything else was read from memory
    // that no longer held the sample.
    std::thread render([&] {
        std::vector<float> out(512);
        while (!stop.load()) {
            rig.output.pull(out.data(), 256);
            for (float v : out) {
                badFrames += !(v >= 0.0f && v <= 32.0f && v == std::floor(v));
            }
            soundingCycles += out[0] != 0.0f;
            ++cycles;
        }
    });
    for (int round = 0; round < 2000; ++round) {
        const std::int32_t samples[3] = {rig.add(std::vector<float>(2048, 1.0f), 1),
                                         rig.add(std::vector<float>(2 * 2048, 1.0f), 2),
                                         rig.add(std::vector<float>(3 * 2048, 1.0f), 3)};
        EXPECT_EQ(samples[0], 0);
        for (int v = 0; v < 32; ++v) {
            rig.engine.playSample(samples[v % 3], 1.0f, v % 2 ? 1.0f : 0.75f);
        }
        // Vary how far into the voices the unload lands.
        for (const auto start = cycles.load(); cycles.load() < start + std::uint64_t(round % 3);) {
            std::this_thread::yield();
        }
        rig.engine.unloadAllSamples();
        EXPECT_EQ(rig.engine.busyVoiceCount(), 0u);
    }
    stop = true;
    render.join();
    EXPECT_EQ(badFrames.load(), 0);
    EXPECT_GT(soundingCycles.load(), 0) << "the render thread never mixed a voice";
    EXPECT_EQ(rig.pull(256), std::vector<float>(512, 0.0f));
}

TEST(AudioLoading, DecodedAudioThatDoesNotAddUpOrIsNotFiniteIsRefused) {
    MixerRig rig;
    auto make = [](std::size_t floats, std::uint32_t frames, std::uint32_t channels, double rate) {
        return DecodedAudio{std::vector<float>(floats, 0.5f), frames, channels, rate};
    };
    std::vector<DecodedAudio> refused = {make(10, 10, 2, 48000), // needs 20 floats
                                         make(10, 0, 1, 48000),     make(10, 10, 0, 48000),
                                         make(10, 10, 1, 0),        make(10, 10, 1, NAN),
                                         make(10, 10, 1, INFINITY), make(0, UINT32_MAX, 8, 48000)};
    // One sample that is not a finite number, anywhere, would turn the mix of
    // every voice into noise.
    for (float bad : {std::nanf(""), INFINITY, -INFINITY}) {
        for (std::size_t at : {0, 19}) {
            refused.push_back(make(20, 10, 2, 48000));
            refused.back().frames[at] = bad;
        }
    }
    for (std::size_t k = 0; k < refused.size(); ++k) {
        EXPECT_EQ(rig.engine.addDecodedSample(std::move(refused[k])), -1) << "case " << k;
    }
    EXPECT_EQ(rig.engine.loadedSampleCount(), 0u);
    EXPECT_EQ(rig.engine.addDecodedSample(make(20, 10, 2, 48000)), 0);
}

TEST(AudioEngineFront, CacheDecodesEachPathOnceUntilUnloadAllAndNeverCachesFailures) {
    TempDir dir;
    clavio::testing::RawAudioDecoder decoder;
    OfflineAudioOutput output;
    AudioEngine engine(decoder, output);
    writeRawAudio(dir / "a.raw", 48000, 1, std::vector<float>(10, 0.5f));
    writeRawAudio(dir / "b.raw", 48000, 1, std::vector<float>(10, 0.25f));
    const std::string a = (dir / "a.raw").string(), b = (dir / "b.raw").string();
    const std::string missing = (dir / "late.raw").string();
    // Exact string match: another spelling of the same file is another entry.
    const std::pair<std::string, std::int32_t> loads[] = {
        {a, 0},        {b, 1},       {a, 0}, {(dir.path() / "." / "a.raw").string(), 2},
        {missing, -1}, {missing, -1}};
    for (const auto& [path, index] : loads) {
        EXPECT_EQ(std::max(engine.loadSample(path), -1), index) << path;
    }
    EXPECT_EQ(decoder.decodeCalls(), 5);
    writeRawAudio(dir / "late.raw", 48000, 1, std::vector<float>(10, 1.0f));
    EXPECT_EQ(engine.loadSample(missing), 3);

    engine.unloadAll();
    EXPECT_EQ(engine.loadedSampleCount(), 0u);
    EXPECT_EQ(engine.loadSample(b), 0);
    EXPECT_EQ(decoder.decodeCalls(), 7) << "unloadAll must empty the cache";
}
