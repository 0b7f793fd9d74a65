// The render function against a model written the plain way: per voice in
// index order, per frame, check the end, read the truncated playhead, add
// gain x value, add the step to a double playhead. The engine mixes in
// fixed-point runs and vector loops; its output must equal the model's bit
// for bit, across random samples, rates, pitches, gains, block sizes and
// layouts, through voice ends and cycle boundaries.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <random>

#include "tests/engine/mixer_rig.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::MixerRig;

namespace {

struct ModelSample {
    std::vector<float> data;
    std::uint32_t frameCount;
    std::uint32_t channels;
    double rate;
};

struct ModelVoice {
    bool active = false;
    const ModelSample* sample = nullptr;
    double playhead = 0.0;
    float gain = 0.0f;
    double step = 0.0;
};

// The mixer's arithmetic, one frame at a time.
class ModelMixer {
public:
    explicit ModelMixer(double outputRate) : _outputRate(outputRate) {}

    void add(ModelSample sample) { _samples.push_back(std::move(sample)); }
    void setMasterVolume(float v) { _master = v; }

    bool play(std::size_t index, float gain, float pitch) {
        const ModelSample& s = _samples[index];
        for (ModelVoice& v : _voices) {
            if (!v.active) {
                v = ModelVoice{true, &s, 0.0, gain, s.rate / _outputRate * double(pitch)};
                return true;
            }
        }
        return false;
    }

    // `out` is interleaved (2 x frames floats) or, with `right`, the left
    // channel of a split pair.
    void render(float* out, float* right, std::uint32_t frames) {
        const bool split = right != nullptr;
        std::fill_n(out, split ? frames : 2 * frames, 0.0f);
        if (split) {
            std::fill_n(right, frames, 0.0f);
        }
        for (ModelVoice& v : _voices) {
            if (!v.active) {
                continue;
            }
            const float g = _master * v.gain;
            const ModelSample& s = *v.sample;
            const double end = double(s.frameCount);
            for (std::uint32_t n = 0; n < frames; ++n) {
                if (!(v.playhead < end)) {
                    v.active = false;
                    break;
                }
                const std::size_t i = v.playhead > 0.0 ? std::uint32_t(v.playhead) : 0;
                float l;
                float r;
                if (s.channels == 2) {
                    l = g * s.data[2 * i];
                    r = g * s.data[2 * i + 1];
                } else {
                    l = r = g * s.data[i * s.channels];
                }
                if (split) {
                    out[n] += l;
                    right[n] += r;
                } else {
                    out[2 * n] += l;
                    out[2 * n + 1] += r;
                }
                v.playhead += v.step;
            }
        }
    }

    // The playhead of voice `index`, NaN when it is free.
    double playhead(std::size_t index) const {
        return _voices[index].active ? _voices[index].playhead : std::nan("");
    }

    std::size_t busy() const {
        std::size_t n = 0;
        for (const ModelVoice& v : _voices) {
            n += v.active;
        }
        return n;
    }

private:
    double _outputRate;
    float _master = 1.0f;
    std::vector<ModelSample> _samples;
    std::array<ModelVoice, 32> _voices{};
};

template <typename T> T pick(std::mt19937& rng, std::initializer_list<T> values) {
    return *(values.begin() +
             std::uniform_int_distribution<std::size_t>(0, values.size() - 1)(rng));
}

float randomPitch(std::mt19937& rng) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    switch (std::uniform_int_distribution<int>(0, 9)(rng)) {
    case 0:
    case 1:
    case 2:
        return 1.0f;
    case 3:
    case 4:
    case 5:
        // What the keystroke pipeline plays: 0.96 + 0.08 x velocity, jittered.
        return 0.96f + 0.08f * unit(rng) + 0.02f * (unit(rng) - 0.5f);
    case 6:
    case 7:
        return 0.25f + 3.75f * unit(rng);
    default:
        return pick(rng, {0.5f, 2.0f, 1.5f, 0.75f, 1.25f, 0.01f, 7.0f, 40.0f, 1.0009765625f});
    }
}

std::vector<float> randomData(std::mt19937& rng, std::size_t count) {
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    std::vector<float> v(count);
    for (float& x : v) {
        const int kind = std::uniform_int_distribution<int>(0, 40)(rng);
        x = kind == 0 ? 0.0f : kind == 1 ? -0.0f : value(rng);
    }
    return v;
}

// One random session; returns false (with a failure recorded) at the first
// difference.
void runSession(std::uint32_t seed, TCAMixKernel kernel) {
    std::mt19937 rng(seed);
    const double outputRate = pick(rng, {48000.0, 48000.0, 44100.0, 96000.0, 22050.0, 47999.5});
    clavio::testing::LogCapture quiet;
    MixerRig rig(outputRate);
    ASSERT_TRUE(rig.engine.setMixKernel(kernel));
    ASSERT_TRUE(rig.engine.start());
    ModelMixer model(outputRate);

    const int sampleCount = std::uniform_int_distribution<int>(1, 5)(rng);
    for (int k = 0; k < sampleCount; ++k) {
        const auto channels = pick<std::uint32_t>(rng, {1, 1, 2, 2, 3, 6});
        std::uint32_t frames = pick<std::uint32_t>(rng, {1, 2, 7, 8, 9, 255, 256, 257, 0, 0, 0});
        if (frames == 0) {
            frames = std::uniform_int_distribution<std::uint32_t>(1, 4000)(rng);
        }
        const double rate =
            pick(rng, {48000.0, 48000.0, 44100.0, 96000.0, 8000.0, 11025.0, 192000.0, 48004.8});
        auto data = randomData(rng, std::size_t(frames) * channels);
        model.add(ModelSample{data, frames, channels, rate});
        ASSERT_EQ(rig.add(std::move(data), channels, rate), k);
    }

    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int step = 0; step < 120; ++step) {
        const int plays = pick(rng, {0, 0, 1, 1, 2, 4, 12});
        for (int p = 0; p < plays; ++p) {
            const auto index = std::uniform_int_distribution<int>(0, sampleCount - 1)(rng);
            const float gain = pick(rng, {1.0f, 0.0f, -0.5f, 0.0f}) + 1.7f * unit(rng);
            const float pitch = randomPitch(rng);
            ASSERT_EQ(rig.engine.playSample(index, gain, pitch), model.play(index, gain, pitch));
        }
        if (unit(rng) < 0.05f) {
            const float master = 0.1f + 2.0f * unit(rng);
            rig.engine.setMasterVolume(master);
            model.setMasterVolume(master);
        }
        std::uint32_t frames = pick<std::uint32_t>(rng, {256, 256, 256, 1, 0});
        if (frames == 0) {
            frames = std::uniform_int_distribution<std::uint32_t>(1, 1100)(rng);
        }
        const bool split = unit(rng) < 0.2f;
        std::vector<float> got(2 * frames), want(2 * frames);
        if (split) {
            rig.output.pullSplit(got.data(), got.data() + frames, frames);
            model.render(want.data(), want.data() + frames, frames);
        } else {
            rig.output.pull(got.data(), frames);
            model.render(want.data(), nullptr, frames);
        }
        for (std::size_t k = 0; k < got.size(); ++k) {
            if (std::memcmp(&got[k], &want[k], sizeof(float)) != 0) {
                FAIL() << "seed " << seed << " step " << step << " float " << k << " of "
                       << got.size() << (split ? " (split)" : "") << ": got " << got[k]
                       << ", the plain loop gives " << want[k];
            }
        }
        ASSERT_EQ(rig.engine.busyVoiceCount(), model.busy()) << "seed " << seed << " step " << step;
        // The playheads too: a position a few units off in its last bits
        // rarely moves a truncated index, but it is the same fault.
        for (std::size_t v = 0; v < 32; ++v) {
            const double want = model.playhead(v);
            if (!std::isnan(want)) {
                ASSERT_EQ(std::bit_cast<std::uint64_t>(rig.engine.voicePlayhead(v)),
                          std::bit_cast<std::uint64_t>(want))
                    << "seed " << seed << " step " << step << " voice " << v << ": "
                    << rig.engine.voicePlayhead(v) << " vs " << want;
            }
        }
    }
}

// The loops this processor runs; the portable ones always.
std::vector<TCAMixKernel> kernelsHere() {
    std::vector<TCAMixKernel> kernels;
    MixerRig rig;
    for (auto k : {TCAMixKernel::Portable, TCAMixKernel::Avx2, TCAMixKernel::Avx512}) {
        if (rig.engine.setMixKernel(k)) {
            kernels.push_back(k);
        }
    }
    return kernels;
}

const char* kernelName(TCAMixKernel k) {
    return k == TCAMixKernel::Portable ? "portable" : k == TCAMixKernel::Avx2 ? "AVX2" : "AVX-512";
}

} // namespace

TEST(AudioRenderExact, RandomSessionsMatchThePlainLoopBitForBit) {
    for (TCAMixKernel kernel : kernelsHere()) {
        SCOPED_TRACE(kernelName(kernel));
        for (std::uint32_t seed = 1; seed <= 200; ++seed) {
            runSession(seed, kernel);
            if (::testing::Test::HasFatalFailure()) {
                return;
            }
        }
    }
}

