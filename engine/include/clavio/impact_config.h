// The classification's tuning parameters. Plain value; copied into each
// classifier, never shared by reference across threads.
#pragma once

namespace clavio {

struct ImpactConfig {
    double searchPreMs = 10.0;
    double searchPostMs = 20.0;
    double baselineWindowMs = 500.0;
    float baselineAlpha = 0.01f;
    bool highpassEnabled = false;
    float highpassAlpha = 0.95f;
    float deadzone = 0.003f;
    float hardCap = 0.14f;
    float compressGamma = 0.8f;
    float softThreshold = 0.0f;
    float mediumThreshold = 0.25f;
    float hardThreshold = 0.55f;
    float slamThreshold = 0.82f;
    double minInterKeyGapMs = 20.0;

    friend bool operator==(const ImpactConfig&, const ImpactConfig&) = default;
};

} // namespace clavio
