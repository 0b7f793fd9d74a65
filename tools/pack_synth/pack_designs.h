// The built-in packs: what each key group of each pack sounds like, how
// many takes each layer gets, and the level of each layer.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/pack_synth/key_voice.h"

namespace clavio::synth {

struct GroupPlan {
    std::string group; // manifest group name
    KeyDesign design;
    int takesPerLayer;
    int releaseTakes; // 0: the group's releases fall back to alpha's
};

struct PackPlan {
    std::string folder;
    std::string name;
    std::string author;
    std::string license;
    std::uint32_t seed;
    std::vector<GroupPlan> groups;
    // soft, medium, hard, slam
    std::array<double, 4> strength;
    std::array<double, 4> peakDb;
    double releasePeakDb;
};

// "Biscuit": deep, muted linear switches with thick caps on a soft-mounted
// board (the default pack).
PackPlan biscuitPack();
// "Bluebell": bright click-jacket switches with thin caps on a steel plate.
PackPlan bluebellPack();

} // namespace clavio::synth
