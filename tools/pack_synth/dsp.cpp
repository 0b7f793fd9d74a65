#include "tools/pack_synth/dsp.h"

#include <cmath>
#include <numbers>

namespace clavio::synth {

namespace {
struct Coefficients {
    double b0, b1, b2, a0, a1, a2;
};

double omega(double freq) {
    // Keep every filter below Nyquist whatever the design asks for.
    const double f = std::min(freq, kSampleRate * 0.45);
    return 2.0 * std::numbers::pi * f / kSampleRate;
}
} // namespace

Biquad Biquad::bandpass(double freq, double q) {
    const double w = omega(freq);
    const double alpha = std::sin(w) / (2.0 * q);
    const double a0 = 1.0 + alpha;
    Biquad f;
    f._b0 = alpha / a0;
    f._b1 = 0.0;
    f._b2 = -alpha / a0;
    f._a1 = -2.0 * std::cos(w) / a0;
    f._a2 = (1.0 - alpha) / a0;
    return f;
}

Biquad Biquad::lowpass(double freq, double q) {
    const double w = omega(freq);
    const double alpha = std::sin(w) / (2.0 * q);
    const double c = std::cos(w);
    const double a0 = 1.0 + alpha;
    Biquad f;
    f._b0 = (1.0 - c) / 2.0 / a0;
    f._b1 = (1.0 - c) / a0;
    f._b2 = f._b0;
    f._a1 = -2.0 * c / a0;
    f._a2 = (1.0 - alpha) / a0;
    return f;
}

Biquad Biquad::highpass(double freq, double q) {
    const double w = omega(freq);
    const double alpha = std::sin(w) / (2.0 * q);
    const double c = std::cos(w);
    const double a0 = 1.0 + alpha;
    Biquad f;
    f._b0 = (1.0 + c) / 2.0 / a0;
    f._b1 = -(1.0 + c) / a0;
    f._b2 = f._b0;
    f._a1 = -2.0 * c / a0;
    f._a2 = (1.0 - alpha) / a0;
    return f;
}

double Biquad::process(double x) {
    const double y = _b0 * x + _z1;
    _z1 = _b1 * x - _a1 * y + _z2;
    _z2 = _b2 * x - _a2 * y;
    return y;
}

void addMode(std::vector<double>& out, std::size_t start, double freq, double decay, double level,
             double phase, double glide, double attack) {
    const std::size_t length = std::min(out.size() - std::min(out.size(), start),
                                        samplesFor(decay * 9.0)); // -78 dB: inaudible
    const std::size_t attackSamples = std::max<std::size_t>(1, samplesFor(attack));
    double angle = phase;
    for (std::size_t i = 0; i < length; ++i) {
        const double t = double(i) / kSampleRate;
        const double f = freq * (glide + (1.0 - glide) * std::exp(-t / decay));
        angle += 2.0 * std::numbers::pi * f / kSampleRate;
        double envelope = std::exp(-t / decay);
        if (i < attackSamples) {
            envelope *= 0.5 - 0.5 * std::cos(std::numbers::pi * double(i) / double(attackSamples));
        }
        out[start + i] += level * envelope * std::sin(angle);
    }
}

void addNoiseBurst(std::vector<double>& out, std::size_t start, double decay, double level,
                   Biquad filter, Rng& rng, double attack) {
    const std::size_t length = std::min(out.size() - std::min(out.size(), start),
                                        samplesFor(decay * 9.0 + 0.004)); // + filter ring
    const std::size_t attackSamples = std::max<std::size_t>(1, samplesFor(attack));
    for (std::size_t i = 0; i < length; ++i) {
        const double t = double(i) / kSampleRate;
        double envelope = t < decay * 9.0 ? std::exp(-t / decay) : 0.0;
        if (i < attackSamples) {
            envelope *= double(i + 1) / double(attackSamples);
        }
        out[start + i] += level * filter.process(envelope * rng.bipolar());
    }
}

} // namespace clavio::synth
