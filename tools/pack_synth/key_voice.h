// A physical sketch of one key stroke, rendered as a short mono sound:
//
//   press:   contact transient (the cap's edge and the slider starting to
//            move: a short band of filtered noise) -> the cap's resonances
//            -> an optional click-jacket snap -> bottom-out: a low "thock"
//            (the plate and case answering the stem) with its own noisy
//            impact, the resonances struck again, and for stabilised keys a
//            second landing and wire rattle.
//   release: the stem returning to the top of the housing: a lighter, higher
//            tick with the cap's resonances and, for stabilised keys, rattle.
//
// Strike strength (0..1) moves every part: a harder strike lands sooner,
// excites more high-frequency energy (brighter) and is normalised to a
// louder peak, so the velocity layers differ in loudness and brightness.
#pragma once

#include <vector>

#include "tools/pack_synth/dsp.h"

namespace clavio::synth {

struct Mode {
    double freq;  // Hz
    double decay; // amplitude time constant, s
    double level; // relative amplitude
};

struct KeyDesign {
    double duration = 0.12; // s

    // Contact transient.
    double clickFreq = 3500; // centre of the noise band at medium strength
    double clickQ = 1.2;
    double clickDecay = 0.0006;
    double clickLevel = 0.5;

    // Keycap and stem resonances, struck at contact and at bottom-out.
    std::vector<Mode> capModes;

    // Bottom-out.
    double bottomDelay = 0.006; // s after contact, at medium strength
    double thockFreq = 220;     // Hz at the start of the glide
    double thockGlide = 0.8;    // end / start frequency
    double thockDecay = 0.018;
    double thockLevel = 1.0;
    double bodyFreq = 600; // case resonance excited by the impact
    double bodyQ = 4;
    double bodyLevel = 0.5;
    double impactFreq = 2500; // centre of the bottom-out's noise band
    double impactLevel = 0.4;

    // Click jacket (clicky switches); no snap when snapLevel is 0.
    double snapDelay = 0.0;
    double snapFreq = 6000;
    double snapLevel = 0.0;
    std::vector<Mode> snapModes;

    // Stabilised keys land twice and their wire rattles.
    double secondLanding = 0.0; // s after the first bottom-out; 0 for none
    std::vector<Mode> rattleModes;
    double rattleLevel = 0.0;
};

// Renders one take. `strength` is 0..1 (soft ~0.2, slam 1.0); `rng` makes
// each take slightly different. The result is normalised to `peakDb` dBFS,
// begins at once and fades to silence.
std::vector<float> renderPress(const KeyDesign& design, double strength, double peakDb, Rng& rng);
std::vector<float> renderRelease(const KeyDesign& design, double peakDb, Rng& rng);

} // namespace clavio::synth
