// The classification's tuning parameters. Plain value; copied into each
// classifier, never shared by reference across threads.
#pragma once

#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "engine/core/decode_result.h"

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

// The keyed form: a JSON object with exactly the 14 field names as keys,
// numbers as JSON numbers and highpassEnabled as a boolean. A non-finite
// value has no JSON form and is written as null, which decoding rejects.
nlohmann::json encodeImpactConfig(const ImpactConfig& config);

// All 14 keys are required; a missing key, a value of the wrong type or a
// number that does not fit its field is an error naming the key. Unknown
// keys are ignored.
DecodeResult<ImpactConfig> decodeImpactConfig(const nlohmann::json& object);
// The same from JSON text; text that is not JSON is an error too.
DecodeResult<ImpactConfig> decodeImpactConfigText(std::string_view jsonText);

} // namespace clavio
