#include "tools/pack_synth/pack_designs.h"

namespace clavio::synth {

namespace {

std::vector<Mode> scaled(std::vector<Mode> modes, double ratio) {
    for (auto& m : modes) {
        m.freq *= ratio;
    }
    return modes;
}

constexpr std::array<double, 4> kStrength = {0.2, 0.45, 0.72, 1.0};
constexpr std::array<double, 4> kPeakDb = {-18.0, -12.0, -6.5, -2.0};

} // namespace

PackPlan biscuitPack() {
    KeyDesign alpha;
    alpha.duration = 0.11;
    alpha.clickFreq = 2600;
    alpha.clickQ = 1.0;
    alpha.clickDecay = 0.0005;
    alpha.clickLevel = 0.5;
    alpha.capModes = {
        {1150, 0.006, 0.4}, {1850, 0.005, 0.3}, {2900, 0.004, 0.2}, {4300, 0.003, 0.1}};
    alpha.bottomDelay = 0.007;
    alpha.thockFreq = 240;
    alpha.thockGlide = 0.85;
    alpha.thockDecay = 0.011;
    alpha.thockLevel = 1.0;
    alpha.bodyFreq = 650;
    alpha.bodyQ = 3;
    alpha.bodyLevel = 0.8;
    alpha.impactFreq = 1800;
    alpha.impactLevel = 0.4;

    KeyDesign modifier = alpha; // a narrower, hollower cap at the board's edge
    modifier.duration = 0.09;
    modifier.clickFreq = 3000;
    modifier.capModes = scaled(alpha.capModes, 1.15);
    modifier.bottomDelay = 0.0055;
    modifier.thockFreq = 290;
    modifier.thockDecay = 0.008;
    modifier.bodyFreq = 780;

    KeyDesign del = alpha; // a 2u cap on a small stabiliser
    del.duration = 0.13;
    del.clickFreq = 2400;
    del.capModes = scaled(alpha.capModes, 0.8);
    del.thockFreq = 200;
    del.thockDecay = 0.0145;
    del.bodyFreq = 540;
    del.secondLanding = 0.0025;
    del.rattleModes = {{1920, 0.012, 0.1}, {2890, 0.01, 0.06}};
    del.rattleLevel = 0.25;

    KeyDesign enter = del;
    enter.duration = 0.16;
    enter.capModes = scaled(alpha.capModes, 0.68);
    enter.bottomDelay = 0.0075;
    enter.thockFreq = 165;
    enter.thockDecay = 0.019;
    enter.bodyFreq = 430;
    enter.secondLanding = 0.003;
    enter.rattleModes = {{1700, 0.016, 0.12}, {2560, 0.013, 0.08}, {3870, 0.01, 0.05}};
    enter.rattleLevel = 0.3;

    KeyDesign space = enter; // the long bar on two stabiliser wires
    space.duration = 0.22;
    space.clickFreq = 2200;
    space.clickLevel = 0.4;
    space.capModes = {
        {620, 0.012, 0.3}, {1050, 0.01, 0.25}, {1700, 0.008, 0.15}, {2600, 0.006, 0.08}};
    space.bottomDelay = 0.008;
    space.thockFreq = 130;
    space.thockGlide = 0.8;
    space.thockDecay = 0.027;
    space.bodyFreq = 340;
    space.secondLanding = 0.0045;
    space.rattleModes = {{1480, 0.024, 0.12}, {2230, 0.02, 0.08}, {3370, 0.016, 0.05}};
    space.rattleLevel = 0.45;

    return PackPlan{"Biscuit",
                    "Biscuit",
                    "Clavio",
                    "CC0-1.0",
                    0xB15C0017u,
                    {{"alpha", alpha, 4, 3},
                     {"modifier", modifier, 2, 2},
                     {"space", space, 2, 2},
                     {"enter", enter, 2, 2},
                     {"delete", del, 2, 2}},
                    kStrength,
                    kPeakDb,
                    -14.0};
}

PackPlan bluebellPack() {
    KeyDesign alpha;
    alpha.duration = 0.1;
    alpha.clickFreq = 5200;
    alpha.clickQ = 1.4;
    alpha.clickDecay = 0.0004;
    alpha.clickLevel = 0.6;
    // Thin caps ring high; the steel plate adds a long, faint ring.
    alpha.capModes = {{2400, 0.007, 0.3},
                      {3700, 0.006, 0.25},
                      {5400, 0.005, 0.2},
                      {7600, 0.004, 0.12},
                      {1650, 0.014, 0.06}};
    alpha.snapDelay = 0.0022;
    alpha.snapFreq = 6800;
    alpha.snapLevel = 0.9;
    alpha.snapModes = {{4300, 0.008, 0.25}, {6100, 0.007, 0.2}};
    alpha.bottomDelay = 0.0065;
    alpha.thockFreq = 330;
    alpha.thockGlide = 0.9;
    alpha.thockDecay = 0.008;
    alpha.thockLevel = 0.5;
    alpha.bodyFreq = 1100;
    alpha.bodyQ = 6;
    alpha.bodyLevel = 0.4;
    alpha.impactFreq = 4200;
    alpha.impactLevel = 0.55;

    KeyDesign modifier = alpha;
    modifier.duration = 0.08;
    modifier.capModes = scaled(alpha.capModes, 1.2);
    modifier.capModes.back().decay = 0.008;
    modifier.snapFreq = 7800;
    modifier.thockFreq = 400;
    modifier.thockDecay = 0.005;
    modifier.bodyFreq = 1400;

    KeyDesign del = alpha; // a 2u cap whose wire clatters against the plate
    del.duration = 0.13;
    del.capModes = {
        {1800, 0.01, 0.25}, {2900, 0.008, 0.2}, {4500, 0.006, 0.15}, {1650, 0.02, 0.06}};
    del.thockFreq = 272;
    del.thockDecay = 0.011;
    del.thockLevel = 0.7;
    del.bodyFreq = 900;
    del.secondLanding = 0.0026;
    del.rattleModes = {{2660, 0.02, 0.15}, {3990, 0.017, 0.1}, {5740, 0.014, 0.08}};
    del.rattleLevel = 0.4;

    KeyDesign enter = del;
    enter.duration = 0.17;
    enter.capModes = {
        {1500, 0.012, 0.25}, {2500, 0.01, 0.2}, {3900, 0.008, 0.15}, {1650, 0.026, 0.06}};
    enter.snapLevel = 0.8;
    enter.thockFreq = 235;
    enter.thockDecay = 0.014;
    enter.bodyFreq = 850;
    enter.secondLanding = 0.0032;
    enter.rattleModes = {{2280, 0.028, 0.15}, {3420, 0.024, 0.1}, {4920, 0.02, 0.08}};
    enter.rattleLevel = 0.5;

    KeyDesign space = enter; // metal wires rattle in a clattery plate
    space.duration = 0.24;
    space.clickFreq = 4200;
    space.capModes = {
        {1300, 0.012, 0.25}, {2100, 0.01, 0.2}, {3300, 0.008, 0.15}, {1650, 0.04, 0.06}};
    space.snapLevel = 0.6;
    space.bottomDelay = 0.0075;
    space.thockFreq = 200;
    space.thockDecay = 0.02;
    space.bodyFreq = 800;
    space.secondLanding = 0.005;
    space.rattleModes = {{1900, 0.042, 0.15}, {2850, 0.036, 0.1}, {4100, 0.03, 0.08}};
    space.rattleLevel = 0.7;

    return PackPlan{"Bluebell",
                    "Bluebell",
                    "Clavio",
                    "CC0-1.0",
                    0xB1BE11u,
                    {{"alpha", alpha, 3, 3},
                     {"modifier", modifier, 2, 2},
                     {"space", space, 2, 2},
                     {"enter", enter, 2, 2},
                     {"delete", del, 2, 2}},
                    kStrength,
                    kPeakDb,
                    -14.0};
}

} // namespace clavio::synth
