// Turns a strike's velocity (0..1) into the velocity layers to sound and the
// base gain of each. Each tier from soft to slam owns the velocity range
// between its threshold and the next; near a threshold the two neighbouring
// layers crossfade linearly over a band of fadeWidth, and within its range a
// layer's gain rises from its tier's bottom gain to its top gain.
//
// Threading: stateless; any thread.
#pragma once

#include <vector>

#include "engine/core/core_types.h"

namespace clavio {

struct VelocityLayer {
    VelocityTier tier = VelocityTier::soft;
    float gain = 0.0f;

    friend bool operator==(const VelocityLayer&, const VelocityLayer&) = default;
};

namespace VelocityCrossfader {

// One to four layers in ascending tier order, never empty, every gain finite
// and above 0.01 (or the fallback {soft, 0.25} when no range qualifies).
// The velocity is clamped to [0, 1]; NaN counts as 0. A NaN fadeWidth counts
// as 0 (no crossfade).
std::vector<VelocityLayer> layers(float velocity, float mediumThreshold, float hardThreshold,
                                  float slamThreshold, float fadeWidth);

} // namespace VelocityCrossfader

} // namespace clavio
