#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/engine/mixer_rig.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::MixerRig;
using clavio::testing::ramp;

TEST(AudioMixing, BuffersAreZeroedAndNeverWrittenPastTheirSize) {
    MixerRig rig;
    ASSERT_TRUE(rig.engine.start());
    const auto s = rig.add(std::vector<float>(1000, 1.0f), 1);
    ASSERT_TRUE(rig.engine.playSample(s, 1.0f, 1.0f));

    // A single buffer of 10 floats holds 5 stereo frames, whatever the count.
    std::vector<float> block(20, -3.0f);
    AudioBuffer one{block.data(), 10};
    TCAAudioEngine::render(&rig.engine, 256, &one, 1);
    for (int k = 0; k < 10; ++k) {
        EXPECT_EQ(block[k], 1.0f) << k;
    }
    for (int k = 10; k < 20; ++k) {
        EXPECT_EQ(block[k], -3.0f) << "written past the buffer at " << k;
    }
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
    for (float v : dirty) {
        ASSERT_EQ(v, 0.0f);
    }
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
    auto out = rig.pull(12);
    for (int n = 0; n < 12; ++n) {
        const float first = float(n + 1);
        const float second = 100.0f * float(std::uint32_t(n * (48000.0 / 44100.0)) + 1);
        EXPECT_EQ(out[2 * n], first + second) << n;
    }
}

TEST(AudioMixing, PlayRefusesBadIndicesPitchesAndGainsWithoutClaimingAVoice) {
    MixerRig rig;
    ASSERT_TRUE(rig.engine.start());
    const auto s = rig.add(std::vector<float>(64, 1.0f), 1);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_FALSE(rig.engine.playSample(-1, 1.0f, 1.0f));
    EXPECT_FALSE(rig.engine.playSample(1, 1.0f, 1.0f)); // == number loaded
    EXPECT_FALSE(rig.engine.playSample(INT32_MAX, 1.0f, 1.0f));
    EXPECT_FALSE(rig.engine.playSample(s, 1.0f, 0.0f));
    EXPECT_FALSE(rig.engine.playSample(s, 1.0f, -1.0f));
    EXPECT_FALSE(rig.engine.playSample(s, 1.0f, nan));
    // Positive but so small that the playhead would stop short of the end.
    EXPECT_FALSE(rig.engine.playSample(s, 1.0f, 1e-30f));
    EXPECT_FALSE(rig.engine.playSample(s, 1.0f, 5e-7f));
    EXPECT_FALSE(rig.engine.playSample(s, nan, 1.0f));
    EXPECT_FALSE(rig.engine.playSample(s, inf, 1.0f));
    EXPECT_EQ(rig.engine.busyVoiceCount(), 0u);
    EXPECT_EQ(rig.pull(64), std::vector<float>(128, 0.0f));
    // A slow voice is still a voice: 64 frames at 1/100000 of a frame each.
    EXPECT_TRUE(rig.engine.playSample(s, 1.0f, 1e-5f));
    EXPECT_EQ(rig.engine.busyVoiceCount(), 1u);
    rig.engine.unloadAllSamples();
    ASSERT_EQ(rig.add(std::vector<float>(64, 1.0f), 1), 0);
    // A negative gain is a phase flip, not an error.
    EXPECT_TRUE(rig.engine.playSample(s, -1.0f, 1.0f));
    EXPECT_EQ(rig.pull(1)[0], -1.0f);
}

TEST(AudioMixing, UnloadSilencesPlayingVoicesAndIndicesRestartAtZero) {
    MixerRig rig;
    ASSERT_TRUE(rig.engine.start());
    rig.add(std::vector<float>(48000, 1.0f), 1);
    const auto b = rig.add(std::vector<float>(48000, 0.5f), 1);
    ASSERT_TRUE(rig.engine.playSample(b, 1.0f, 1.0f));
    EXPECT_EQ(rig.pull(256)[0], 0.5f);
    rig.engine.unloadAllSamples();
    EXPECT_EQ(rig.engine.loadedSampleCount(), 0u);
    EXPECT_EQ(rig.engine.busyVoiceCount(), 0u);
    EXPECT_EQ(rig.pull(256), std::vector<float>(512, 0.0f));
    EXPECT_FALSE(rig.engine.playSample(b, 1.0f, 1.0f));
    EXPECT_EQ(rig.add(std::vector<float>(10, 0.25f), 1), 0);
    ASSERT_TRUE(rig.engine.playSample(0, 1.0f, 1.0f));
    EXPECT_EQ(rig.pull(1)[0], 0.25f);
}

TEST(AudioMixing, StopKeepsVoicesAndTheNextStartContinuesThem) {
    MixerRig rig;
    clavio::testing::LogCapture log;
    ASSERT_TRUE(rig.engine.start());
    ASSERT_TRUE(rig.engine.start()); // already running: true, nothing logged
    EXPECT_EQ(log.count("Audio output started"), 1u);
    const auto s = rig.add(ramp(1000), 1);
    ASSERT_TRUE(rig.engine.playSample(s, 1.0f, 1.0f));
    rig.pull(100);
    rig.engine.stop();
    EXPECT_FALSE(rig.engine.isRunning());
    EXPECT_FALSE(rig.output.isStarted());
    EXPECT_EQ(rig.pull(10), std::vector<float>(20, 0.0f));
    ASSERT_TRUE(rig.engine.start());
    EXPECT_TRUE(rig.engine.isRunning());
    EXPECT_EQ(rig.pull(1)[0], 101.0f);
    EXPECT_EQ(log.count("Audio output started"), 2u);
}
