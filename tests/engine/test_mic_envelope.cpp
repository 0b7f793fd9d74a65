// The microphone's strike envelope: one peak per millisecond, on the key
// clock, of the high-passed signal.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "engine/sensing/impact_classifier.h"
#include "engine/sensing/mic_envelope.h"
#include "engine/sensing/mic_strike_sensor.h"
#include "engine/sensing/own_sound_canceller.h"

using namespace clavio;

namespace {
constexpr std::uint64_t kMs = 1'000'000;

struct Envelope {
    std::unique_ptr<TCARingBuffer> ring = std::make_unique<TCARingBuffer>();
    std::unique_ptr<TCAMicEnvelope> state = std::make_unique<TCAMicEnvelope>();
    Envelope() {
        tca_ring_init(ring.get());
        tca_mic_envelope_init(state.get(), ring.get());
    }
    // Feeds `samples` at `rate` in blocks of `block`, from tick `start`.
    void feed(const std::vector<float>& samples, double rate, std::uint64_t start,
              std::size_t block) {
        for (std::size_t first = 0; first < samples.size(); first += block) {
            const auto n = std::uint32_t(std::min(block, samples.size() - first));
            tca_mic_envelope_process(state.get(), samples.data() + first, n, rate,
                                     start + std::uint64_t(double(first) * 1e9 / rate));
        }
    }
    std::vector<TCAMotionSample> all() const {
        std::vector<TCAMotionSample> out(kTCARingCapacity);
        out.resize(tca_ring_query_window(ring.get(), 0, 0, ~0ull, out.data(), kTCARingCapacity));
        return out;
    }
};

// `seconds` of a sine of `hz` and `amplitude` starting at `onset` seconds.
std::vector<float> tone(double rate, double seconds, double hz, double amplitude, double onset) {
    std::vector<float> s(std::size_t(rate * seconds));
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double t = double(i) / rate - onset;
        s[i] = t >= 0.0 ? float(amplitude * std::sin(2.0 * M_PI * hz * t) * std::exp(-t / 0.001))
                        : 0.0f;
    }
    return s;
}
} // namespace

TEST(MicEnvelope, AClickPeaksAtItsMillisecondWhateverTheRateAndBlockSize) {
    struct Case {
        double rate;
        std::size_t block;
    };
    for (const Case c : {Case{48000, 240}, Case{44100, 441}, Case{16000, 7}, Case{96000, 4096}}) {
        SCOPED_TRACE(c.rate);
        Envelope e;
        const std::uint64_t start = 5'000'000'123;
        e.feed(tone(c.rate, 0.05, 4000.0 * std::min(1.0, c.rate / 16000.0) / 2.0, 0.5, 0.0205),
               c.rate, start, c.block);
        const auto values = e.all();
        ASSERT_GE(values.size(), 48u);
        EXPECT_EQ(e.state->written.load(), values.size());
        const auto peak = std::max_element(values.begin(), values.end(), [](auto& a, auto& b) {
            return a.magnitude < b.magnitude;
        });
        // Stamped at the start of a millisecond of the key clock.
        EXPECT_EQ(peak->timestamp % kMs, 0u);
        EXPECT_NEAR(double(peak->timestamp), double(start + 20 * kMs), 1.0 * kMs);
        EXPECT_GT(peak->magnitude, 0.2f);
        EXPECT_LT(values.front().magnitude, 1e-6f) << "silence before the click";
        for (std::size_t i = 1; i < values.size(); ++i) {
            ASSERT_EQ(values[i].timestamp - values[i - 1].timestamp, kMs);
        }
    }
}

TEST(MicEnvelope, LowSoundsAreFilteredOutAndHealthIsCounted) {
    const auto sine = [](double hz) {
        std::vector<float> s(4800);
        for (std::size_t i = 0; i < s.size(); ++i) {
            s[i] = float(0.3 * std::sin(2.0 * M_PI * hz * double(i) / 48000.0));
        }
        return s;
    };
    const auto peakAfter20Ms = [](const Envelope& e) {
        float p = 0.0f;
        for (const auto& v : e.all()) {
            p = v.timestamp >= 20 * kMs ? std::max(p, v.magnitude) : p;
        }
        return p;
    };
    Envelope click;
    click.feed(sine(4000.0), 48000, 0, 240);
    Envelope hum;
    auto low = sine(100.0);
    hum.feed(low, 48000, 0, 240);
    EXPECT_LT(peakAfter20Ms(hum), 0.3f * 0.01f) << "a 100 Hz hum is removed";
    EXPECT_GT(peakAfter20Ms(click), 0.25f);
    EXPECT_EQ(hum.state->samples.load(), 4800u);
    EXPECT_EQ(hum.state->zeros.load(), 1u) << "sin(0)";
    low[100] = 1.0f;
    low[101] = -1.0f;
    hum.feed(low, 48000, 100 * kMs, 240);
    EXPECT_EQ(hum.state->clipped.load(), 2u);
    // The state holds no samples: nothing of a block outlives its call.
    EXPECT_LT(sizeof(TCAMicEnvelope), 256u);
}

// The mixer's own envelope reaching the microphone at a delay and gain: the
// path is learnt from windows without keys and taken out, so the own sound
// alone does not classify as a strike; with headphones the gain stays ~0.
TEST(OwnSoundCanceller, LearnsThePathAndTakesTheOwnSoundOut) {
    struct Case {
        float gain;
        int delayMs;
    };
    for (const Case c : {Case{0.5f, 12}, Case{2.0f, 35}, Case{0.0f, 20}}) {
        SCOPED_TRACE(c.gain);
        Envelope mic;
        Envelope own;
        // 3 s: a played sound every 90 ms (a 40 ms decay of varying height),
        // room noise at the microphone around 0.002.
        const std::uint64_t origin = 10'000 * kMs;
        std::uint32_t noise = 99;
        std::vector<float> ownValues(3000);
        for (std::size_t ms = 0; ms < ownValues.size(); ++ms) {
            const std::size_t age = ms % 90;
            ownValues[ms] = 0.05f * float(1 + (ms / 90) % 3) * std::exp(-float(age) / 10.0f);
            tca_ring_write(own.ring.get(), origin + ms * kMs, ownValues[ms], 0, 0);
        }
        for (std::size_t ms = 0; ms < ownValues.size(); ++ms) {
            noise = noise * 1664525u + 1013904223u;
            const float floor = 0.002f + 0.001f * float(noise >> 24) / 256.0f;
            const float heard =
                ms >= std::size_t(c.delayMs) ? c.gain * ownValues[ms - c.delayMs] : 0.0f;
            tca_ring_write(mic.ring.get(), origin + ms * kMs, floor + heard, 0, 0);
        }
        OwnSoundCanceller canceller(mic.ring.get(), own.ring.get());
        int learnt = 0;
        for (std::uint64_t now = origin + 600 * kMs; now < origin + 3000 * kMs; now += 100 * kMs) {
            learnt += canceller.learn(now);
        }
        EXPECT_GT(learnt, 15);
        EXPECT_NEAR(canceller.gain(), c.gain, 0.05f + 0.05f * c.gain);
        if (c.gain > 0.0f) {
            EXPECT_EQ(canceller.delayMs(), c.delayMs);
        }

        // A key at 2.5 s with no click: the raw envelope shows the own sound,
        // the corrected one nothing past the deadzone.
        const std::uint64_t key = origin + 2500 * kMs;
        canceller.update(origin + 3000 * kMs);
        ImpactConfig config = microphoneImpactConfig(ImpactConfig{}, 0.4f);
        config.searchPostMs = 60.0;
        AdaptivePeakClassifier onRaw(config);
        AdaptivePeakClassifier onCorrected(config);
        const float raw = onRaw.classify(key, mic.ring.get()).velocity;
        const float corrected = onCorrected.classify(key, canceller.correctedRing()).velocity;
        EXPECT_EQ(corrected, 0.0f) << "raw " << raw;
        if (c.gain >= 0.5f) {
            EXPECT_GT(raw, 0.05f);
        }
        // Keys every 25 ms over the window: too little is left to learn from.
        for (int k = 0; k < 16; ++k) {
            canceller.noteKey(origin + (2540 + 25 * std::uint64_t(k)) * kMs);
        }
        EXPECT_FALSE(canceller.learn(origin + 2990 * kMs));
    }
}
