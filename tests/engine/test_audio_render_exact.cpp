// The render function against a model written the plain way: per voice in
// index order, per frame, check the end, read the truncated playhead, add
// gain x value, add the step to a double playhead. The engine mixes in
// fixed-point runs and vector loops; its output must equal the model's bit
// for bit, across random samples, rates, pitches, gains, block sizes and
// layouts, through voice ends and cycle boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <random>

#include "tests/engine/mixer_rig.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::MixerRig;

namespace {

struct ModelSample {
    std::vector<float> data;
    std::uint32_t frameCount, channels;
    double rate;
};

// The mixer's arithmetic, one frame at a time, into interleaved stereo.
struct ModelMixer {
    struct Voice {
        bool active = false;
        const ModelSample* sample = nullptr;
        double playhead = 0.0, step = 0.0;
        float gain = 0.0f, gainRight = 0.0f;
    };
    double outputRate;
    std::vector<ModelSample> samples;
    float master = 1.0f;
    std::array<Voice, 32> voices{};

    // A panned voice: the constant-power gains, raised so the centre keeps
    // the voice's gain on each side.
    bool play(std::size_t index, float gain, float pitch, float pan) {
        const TCAPanGains sides = tca_pan_gains(pan);
        const float left = pan == 0.0f ? gain : gain * 1.41421356f * sides.left;
        const float right = pan == 0.0f ? gain : gain * 1.41421356f * sides.right;
        const ModelSample& s = samples[index];
        const auto free =
            std::find_if(voices.begin(), voices.end(), [](auto& v) { return !v.active; });
        if (free != voices.end()) {
            *free = Voice{true, &s, 0.0, s.rate / outputRate * double(pitch), left, right};
        }
        return free != voices.end();
    }

    std::vector<float> render(std::uint32_t frames) {
        std::vector<float> out(2 * frames, 0.0f);
        for (Voice& v : voices) {
            const float g = master * v.gain, gr = master * v.gainRight;
            for (std::uint32_t n = 0; v.active && n < frames; ++n) {
                const ModelSample& s = *v.sample;
                if (!(v.playhead < double(s.frameCount))) {
                    v.active = false;
                    break;
                }
                const std::size_t i = v.playhead > 0.0 ? std::uint32_t(v.playhead) : 0;
                out[2 * n] += g * s.data[i * s.channels];
                out[2 * n + 1] += gr * s.data[i * s.channels + (s.channels == 2 ? 1 : 0)];
                v.playhead += v.step;
            }
        }
        return out;
    }
};

template <typename T> T pick(std::mt19937& rng, std::initializer_list<T> values) {
    return *(values.begin() +
             std::uniform_int_distribution<std::size_t>(0, values.size() - 1)(rng));
}

std::uint32_t upTo(std::mt19937& rng, std::uint32_t max) {
    return std::uniform_int_distribution<std::uint32_t>(1, max)(rng);
}

// Mostly 1, then what the keystroke pipeline plays (0.96 + 0.08 x velocity,
// jittered), then anything from very slow to very fast.
float randomPitch(std::mt19937& rng) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const float kinds[] = {
        1.0f, 0.96f + 0.08f * unit(rng) + 0.02f * (unit(rng) - 0.5f), 0.25f + 3.75f * unit(rng),
        pick(rng, {0.5f, 2.0f, 1.5f, 0.75f, 1.25f, 0.01f, 7.0f, 40.0f, 1.0009765625f})};
    return kinds[pick(rng, {0, 0, 0, 1, 1, 1, 2, 2, 3, 3})];
}

void runSession(std::uint32_t seed, TCAMixKernel kernel) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const double outputRate = pick(rng, {48000.0, 48000.0, 44100.0, 96000.0, 22050.0, 47999.5});
    clavio::testing::LogCapture quiet;
    MixerRig rig(outputRate);
    ASSERT_TRUE(rig.engine.setMixKernel(kernel));
    ASSERT_TRUE(rig.engine.start());
    ModelMixer model{outputRate};

    const int sampleCount = int(upTo(rng, 5));
    for (int k = 0; k < sampleCount; ++k) {
        const auto channels = pick<std::uint32_t>(rng, {1, 1, 2, 2, 3, 6});
        std::uint32_t frames = pick<std::uint32_t>(rng, {1, 2, 7, 8, 9, 255, 256, 257, 0, 0, 0});
        frames = frames ? frames : upTo(rng, 4000);
        const double rate =
            pick(rng, {48000.0, 48000.0, 44100.0, 96000.0, 8000.0, 11025.0, 192000.0, 48004.8});
        std::vector<float> data(std::size_t(frames) * channels);
        for (float& x : data) {
            const auto kind = upTo(rng, 41);
            x = kind == 1 ? 0.0f : kind == 2 ? -0.0f : 2.0f * unit(rng) - 1.0f;
        }
        model.samples.push_back(ModelSample{data, frames, channels, rate});
        ASSERT_EQ(rig.add(std::move(data), channels, rate), k);
    }

    for (int step = 0; step < 120; ++step) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
        for (int p = pick(rng, {0, 0, 1, 1, 2, 4, 12}); p > 0; --p) {
            const auto index = upTo(rng, sampleCount) - 1;
            const float gain = pick(rng, {1.0f, 0.0f, -0.5f, 0.0f}) + 1.7f * unit(rng);
            const float pitch = randomPitch(rng);
            const float pan = pick(rng, {0.0f, 0.0f, -1.0f, 1.0f, 2.0f * unit(rng) - 1.0f});
            ASSERT_EQ(rig.engine.playSample(index, gain, pitch, pan),
                      model.play(index, gain, pitch, pan));
        }
        if (unit(rng) < 0.05f) {
            model.master = 0.1f + 2.0f * unit(rng);
            rig.engine.setMasterVolume(model.master);
        }
        std::uint32_t frames = pick<std::uint32_t>(rng, {256, 256, 256, 1, 0});
        frames = frames ? frames : upTo(rng, 1100);
        const bool split = unit(rng) < 0.2f;
        std::vector<float> got(2 * frames);
        if (split) { // compared as interleaved
            std::vector<float> l(frames), r(frames);
            rig.output.pullSplit(l.data(), r.data(), frames);
            for (std::uint32_t n = 0; n < frames; ++n) {
                got[2 * n] = l[n];
                got[2 * n + 1] = r[n];
            }
        } else {
            rig.output.pull(got.data(), frames);
        }
        const std::vector<float> want = model.render(frames);
        for (std::size_t k = 0; k < got.size(); ++k) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(got[k]), std::bit_cast<std::uint32_t>(want[k]))
                << "float " << k << (split ? " (split)" : "") << ": got " << got[k]
                << ", the plain loop gives " << want[k];
        }
        // The playheads too: a position a few units off in its last bits
        // rarely moves a truncated index, but it is the same fault.
        std::size_t busy = 0;
        for (std::size_t v = 0; v < 32; ++v) {
            if (model.voices[v].active) {
                ++busy;
                ASSERT_EQ(std::bit_cast<std::uint64_t>(rig.engine.voicePlayhead(v)),
                          std::bit_cast<std::uint64_t>(model.voices[v].playhead))
                    << "voice " << v;
            }
        }
        ASSERT_EQ(rig.engine.busyVoiceCount(), busy);
    }
}

} // namespace

TEST(AudioRenderExact, RandomSessionsMatchThePlainLoopBitForBitWithEveryKernelHere) {
    const std::pair<TCAMixKernel, const char*> kernels[] = {{TCAMixKernel::Portable, "portable"},
                                                            {TCAMixKernel::Avx2, "AVX2"},
                                                            {TCAMixKernel::Avx512, "AVX-512"}};
    for (const auto& [kernel, name] : kernels) {
        if (!MixerRig().engine.setMixKernel(kernel)) {
            ASSERT_NE(kernel, TCAMixKernel::Portable);
            continue; // not on this processor
        }
        SCOPED_TRACE(name);
        for (std::uint32_t seed = 1; seed <= 200 && !HasFatalFailure(); ++seed) {
            runSession(seed, kernel);
        }
    }
}
