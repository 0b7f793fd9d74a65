#include "tools/pack_synth/key_voice.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace clavio::synth {

namespace {

// Removes DC and sub-audio rumble, takes the top off the spectrum for a
// gentle strike (a soft touch excites little above a few kHz; a slam is
// left open), normalises the peak and fades the end.
std::vector<float> finish(std::vector<double>& x, double strength, double peakDb) {
    Biquad dc = Biquad::highpass(35.0, 0.707);
    const bool open = strength >= 0.99;
    Biquad tone = Biquad::lowpass(2500.0 * std::pow(2.0, 4.0 * strength), 0.707);
    double peak = 0;
    for (double& s : x) {
        s = dc.process(s);
        if (!open) {
            s = tone.process(s);
        }
        peak = std::max(peak, std::fabs(s));
    }
    const double gain = peak > 0 ? std::pow(10.0, peakDb / 20.0) / peak : 0.0;
    const std::size_t fade = std::min(x.size(), samplesFor(0.02));
    std::vector<float> out(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        double g = gain;
        const std::size_t fromEnd = x.size() - i;
        if (fromEnd <= fade) {
            g *= 0.5 - 0.5 * std::cos(std::numbers::pi * double(fromEnd - 1) / double(fade));
        }
        out[i] = static_cast<float>(x[i] * g);
    }
    return out;
}

void strikeModes(std::vector<double>& x, std::size_t at, const std::vector<Mode>& modes,
                 double level, double brightness, Rng& rng) {
    for (const Mode& m : modes) {
        // Upper modes need a sharper blow: above 1 kHz they fall away for a
        // gentle strike and reach their full level for the hardest.
        const double tilt = std::pow(std::min(1.0, 1000.0 / m.freq), 1.2 * (1.0 - brightness));
        addMode(x, at, m.freq * rng.jitter(0.025), m.decay * rng.jitter(0.12),
                level * m.level * tilt * rng.jitter(0.15), rng.range(0, 2 * std::numbers::pi));
    }
}

} // namespace

std::vector<float> renderPress(const KeyDesign& d, double strength, double peakDb, Rng& rng) {
    const double v = std::clamp(strength, 0.0, 1.0);
    std::vector<double> x(samplesFor(d.duration), 0.0);

    // Contact: darker and weaker for a gentle touch.
    const double clickCentre = d.clickFreq * (0.45 + 1.1 * v) * rng.jitter(0.06);
    addNoiseBurst(x, 0, d.clickDecay * (1.3 - 0.5 * v) * rng.jitter(0.1),
                  d.clickLevel * (0.15 + 0.85 * std::pow(v, 1.5)),
                  Biquad::bandpass(clickCentre, d.clickQ), rng);
    strikeModes(x, 0, d.capModes, 0.3 + 0.7 * v, v, rng);

    if (d.snapLevel > 0) {
        const std::size_t at = samplesFor(d.snapDelay * (1.25 - 0.5 * v) * rng.jitter(0.08));
        addNoiseBurst(x, at, 0.00025 * rng.jitter(0.1), d.snapLevel * (0.55 + 0.45 * v),
                      Biquad::bandpass(d.snapFreq * (0.8 + 0.35 * v) * rng.jitter(0.05), 1.4), rng);
        strikeModes(x, at, d.snapModes, d.snapLevel * (0.5 + 0.5 * v), v, rng);
    }

    // Bottom-out: a harder strike travels faster.
    const std::size_t bottom = samplesFor(d.bottomDelay * (1.35 - 0.7 * v) * rng.jitter(0.08));
    const double thock = d.thockLevel * (0.7 + 0.3 * v) * rng.jitter(0.06);
    const double thockFreq = d.thockFreq * (0.94 + 0.12 * v) * rng.jitter(0.03);
    addMode(x, bottom, thockFreq, d.thockDecay * rng.jitter(0.1), thock, 0.0, d.thockGlide, 0.0006);
    addMode(x, bottom, thockFreq * 2.31 * rng.jitter(0.02), d.thockDecay * 0.45, thock * 0.25 * v,
            0.0, d.thockGlide, 0.0004);
    addNoiseBurst(x, bottom, 0.0025 * rng.jitter(0.15), d.bodyLevel * (0.5 + 0.5 * v),
                  Biquad::bandpass(d.bodyFreq * rng.jitter(0.04), d.bodyQ), rng, 0.0003);
    addNoiseBurst(x, bottom, 0.0007 * rng.jitter(0.1), d.impactLevel * std::pow(v, 1.3),
                  Biquad::bandpass(d.impactFreq * (0.6 + 0.9 * v) * rng.jitter(0.06), 0.9), rng);
    strikeModes(x, bottom, d.capModes, 0.25 + 0.55 * v, v, rng);

    if (d.secondLanding > 0) {
        const std::size_t second = bottom + samplesFor(d.secondLanding * rng.jitter(0.2));
        addMode(x, second, thockFreq * 0.96, d.thockDecay * 0.8, thock * 0.5, 0.0, d.thockGlide,
                0.0006);
        addNoiseBurst(x, second, 0.0005, d.impactLevel * 0.5 * v,
                      Biquad::bandpass(d.impactFreq * 0.8, 1.0), rng);
    }
    if (d.rattleLevel > 0) {
        // The wire rattles more the harder the key lands.
        strikeModes(x, bottom + samplesFor(0.0015), d.rattleModes,
                    d.rattleLevel * (0.3 + 0.7 * v * v), v, rng);
    }
    if (v > 0.95) {
        // A slam: the whole board answers, and the cap chatters once more.
        addNoiseBurst(x, bottom + samplesFor(0.0022 * rng.jitter(0.2)), 0.0004, d.impactLevel * 0.6,
                      Biquad::highpass(4500, 0.7), rng);
        addNoiseBurst(x, bottom, 0.004, d.bodyLevel * 0.6,
                      Biquad::bandpass(d.bodyFreq * 0.7, d.bodyQ * 0.7), rng, 0.0004);
    }
    return finish(x, v, peakDb);
}

std::vector<float> renderRelease(const KeyDesign& d, double peakDb, Rng& rng) {
    const double v = 0.45;
    std::vector<double> x(samplesFor(std::min(d.duration, 0.1 + d.secondLanding * 8.0)), 0.0);
    // The stem meets the top of the housing: a tick, higher and lighter than
    // the bottom-out, with little of the case in it.
    addNoiseBurst(x, 0, d.clickDecay * 0.8 * rng.jitter(0.1), d.clickLevel * 0.8,
                  Biquad::bandpass(d.clickFreq * 1.15 * rng.jitter(0.06), d.clickQ), rng);
    addMode(x, 0, d.thockFreq * 1.9 * rng.jitter(0.04), d.thockDecay * 0.45, d.thockLevel * 0.35,
            0.0, 0.9, 0.0004);
    strikeModes(x, 0, d.capModes, 0.45, v, rng);
    if (d.snapLevel > 0) {
        // Click jackets snap back on the way up as well.
        addNoiseBurst(x, samplesFor(0.0015), 0.0002, d.snapLevel * 0.5,
                      Biquad::bandpass(d.snapFreq * 0.9, 1.4), rng);
    }
    if (d.rattleLevel > 0) {
        strikeModes(x, samplesFor(0.001), d.rattleModes, d.rattleLevel * 0.5, v, rng);
    }
    return finish(x, v, peakDb);
}

} // namespace clavio::synth
