#include "engine/pipeline/velocity_crossfader.h"

#include <cmath>

namespace clavio::VelocityCrossfader {

namespace {

struct TierRange {
    VelocityTier tier;
    float lo;
    float hi;
};

struct GainRange {
    float bottom;
    float top;
};

// Indexed by the tier's raw value; silent never sounds a layer.
constexpr GainRange kGains[5] = {
    {0.0f, 0.0f}, {0.35f, 0.65f}, {0.45f, 0.72f}, {0.65f, 0.88f}, {0.82f, 1.0f}};

constexpr float kMinimumGain = 0.01f;
constexpr VelocityLayer kFallback{VelocityTier::soft, 0.25f};

} // namespace

std::vector<VelocityLayer> layers(float velocity, float mediumThreshold, float hardThreshold,
                                  float slamThreshold, float fadeWidth) {
    // `velocity > 0` is false for NaN, which therefore counts as 0.
    const float v = velocity > 0.0f ? (velocity < 1.0f ? velocity : 1.0f) : 0.0f;
    if (std::isnan(fadeWidth)) {
        fadeWidth = 0.0f;
    }
    const float h = fadeWidth * 0.5f;
    const TierRange ranges[4] = {{VelocityTier::soft, 0.0f, mediumThreshold},
                                 {VelocityTier::medium, mediumThreshold, hardThreshold},
                                 {VelocityTier::hard, hardThreshold, slamThreshold},
                                 {VelocityTier::slam, slamThreshold, 1.0f}};

    std::vector<VelocityLayer> result;
    result.reserve(4);
    for (const TierRange& r : ranges) {
        const float lowEdge = r.lo > 0.0f ? r.lo - h : r.lo;
        const float highEdge = r.hi < 1.0f ? r.hi + h : r.hi;
        if (v < lowEdge || v > highEdge) {
            continue;
        }
        float weight = 1.0f;
        if (r.lo > 0.0f && v < r.lo + h) {
            const float f = (v - (r.lo - h)) / fadeWidth;
            if (f <= 0.0f) {
                weight = 0.0f;
            } else if (f <= 1.0f) {
                weight = f;
            }
        }
        if (r.hi < 1.0f && v > r.hi - h) {
            float g = (r.hi + h - v) / fadeWidth;
            g = g < 0.0f ? 0.0f : (g > 1.0f ? 1.0f : g);
            if (g < weight) {
                weight = g;
            }
        }
        const float span = r.hi - r.lo;
        float p = 0.5f;
        if (span > 0.0f) {
            p = (v - r.lo) / span;
            p = p < 0.0f ? 0.0f : (p > 1.0f ? 1.0f : p);
        }
        const GainRange& gr = kGains[rawValue(r.tier)];
        const float gain = weight * (gr.bottom + p * (gr.top - gr.bottom));
        // Also drops a NaN gain (possible only with infinite thresholds or width).
        if (gain > kMinimumGain) {
            result.push_back(VelocityLayer{r.tier, gain});
        }
    }
    if (result.empty()) {
        result.push_back(kFallback);
    }
    return result;
}

} // namespace clavio::VelocityCrossfader
