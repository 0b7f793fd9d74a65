// Small signal-processing pieces for the key-sound synthesiser. Everything is
// deterministic: the random source is specified bit for bit (std::mt19937
// plus our own conversion to floating point), so a given seed renders the
// same files with any standard library.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace clavio::synth {

inline constexpr double kSampleRate = 48000.0;

class Rng {
public:
    explicit Rng(std::uint32_t seed) : _engine(seed) {}
    // Uniform in [0, 1).
    double uniform() { return double(_engine() >> 8) * (1.0 / 16777216.0); }
    // Uniform in [lo, hi).
    double range(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    // Uniform in [-1, 1).
    double bipolar() { return 2.0 * uniform() - 1.0; }
    // 1 +- spread, for small variations between takes.
    double jitter(double spread) { return 1.0 + spread * bipolar(); }

private:
    std::mt19937 _engine;
};

// RBJ biquad, transposed direct form II.
class Biquad {
public:
    static Biquad bandpass(double freq, double q);
    static Biquad lowpass(double freq, double q);
    static Biquad highpass(double freq, double q);
    double process(double x);

private:
    double _b0 = 1, _b1 = 0, _b2 = 0, _a1 = 0, _a2 = 0;
    double _z1 = 0, _z2 = 0;
};

// A decaying sinusoid added into `out` from sample `start`: amplitude
// `level`, frequency gliding exponentially from `freq` towards
// `freq * glide` with the time constant `decay`, amplitude time constant
// `decay`, and a short raised-cosine attack so the onset does not click
// digitally.
void addMode(std::vector<double>& out, std::size_t start, double freq, double decay, double level,
             double phase = 0.0, double glide = 1.0, double attack = 0.0002);

// A burst of white noise with an exponential envelope (time constant
// `decay`), through `filter`, added from `start`.
void addNoiseBurst(std::vector<double>& out, std::size_t start, double decay, double level,
                   Biquad filter, Rng& rng, double attack = 0.00005);

inline std::size_t samplesFor(double seconds) {
    return seconds <= 0 ? 0 : static_cast<std::size_t>(seconds * kSampleRate + 0.5);
}

} // namespace clavio::synth
