// The mixer and its loading on the test thread, and under concurrent
// use: the thread test is meant for AddressSanitizer (use after free of sample
// data); its value checks catch the same fault in a plain build when the
// timing is unlucky.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "engine/audio/audio_engine.h"
#include "engine/keyboard/key_layout.h"
#include "tests/engine/mixer_rig.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::MixerRig;

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

// A left key sounds on the left, a right one on the right, each side at
// constant power; a centred voice (width 0, or a key in the middle) keeps
// its gain on both sides exactly, as an unpanned mixer plays it.
TEST(AudioMixing, KeysArePannedByTheirPlaceAtConstantPower) {
    const struct {
        const char* key;
        std::uint16_t code;
        float width;
        int side; // -1 left louder, +1 right louder, 0 centred
    } cases[] = {{"left shift", 56, 1.0f, -1}, {"enter", 36, 1.0f, +1}, {"a", 0, 0.6f, -1},
                 {"p", 35, 0.6f, +1},          {"enter", 36, 0.0f, 0},  {"numpad 5", 87, 1.0f, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        MixerRig rig;
        ASSERT_TRUE(rig.engine.start());
        ASSERT_EQ(rig.add({0.5f}, 1), 0);
        ASSERT_TRUE(rig.engine.playSample(0, 0.8f, 1.0f, keyStereoPosition(c.code) * c.width));
        const auto out = rig.pull(1);
        if (c.side == 0) {
            EXPECT_EQ(out[0], 0.8f * 0.5f);
            EXPECT_EQ(out[1], 0.8f * 0.5f);
            continue;
        }
        EXPECT_EQ(out[0] > out[1], c.side < 0);
        EXPECT_GT(std::abs(out[0] - out[1]), 0.1f);
        // Per side out / (gain x source x sqrt 2): the pan gains.
        const float l = out[0] / (0.4f * std::sqrt(2.0f)), r = out[1] / (0.4f * std::sqrt(2.0f));
        EXPECT_NEAR(l * l + r * r, 1.0f, 1e-5f);
    }
}
