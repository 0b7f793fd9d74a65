#include "engine/sensing/impact_config.h"

#include <nlohmann/json.hpp>

#include "engine/core/json_fields.h"

namespace clavio {

nlohmann::json encodeImpactConfig(const ImpactConfig& c) {
    // nlohmann::json keeps object keys sorted; the field order of the struct
    // is not part of the format.
    return nlohmann::json{
        {"searchPreMs", c.searchPreMs},
        {"searchPostMs", c.searchPostMs},
        {"baselineWindowMs", c.baselineWindowMs},
        {"baselineAlpha", jsonFromFloat(c.baselineAlpha)},
        {"highpassEnabled", c.highpassEnabled},
        {"highpassAlpha", jsonFromFloat(c.highpassAlpha)},
        {"deadzone", jsonFromFloat(c.deadzone)},
        {"hardCap", jsonFromFloat(c.hardCap)},
        {"compressGamma", jsonFromFloat(c.compressGamma)},
        {"softThreshold", jsonFromFloat(c.softThreshold)},
        {"mediumThreshold", jsonFromFloat(c.mediumThreshold)},
        {"hardThreshold", jsonFromFloat(c.hardThreshold)},
        {"slamThreshold", jsonFromFloat(c.slamThreshold)},
        {"minInterKeyGapMs", c.minInterKeyGapMs},
    };
}

DecodeResult<ImpactConfig> decodeImpactConfig(const nlohmann::json& o) {
    if (!o.is_object()) {
        return DecodeResult<ImpactConfig>::failure("impact configuration: expected a JSON object");
    }
    ImpactConfig c;
    std::optional<std::string> error;
    // Stops at the first failing key, in field order.
    (error = readRequiredDouble(o, "searchPreMs", c.searchPreMs)) ||
        (error = readRequiredDouble(o, "searchPostMs", c.searchPostMs)) ||
        (error = readRequiredDouble(o, "baselineWindowMs", c.baselineWindowMs)) ||
        (error = readRequiredFloat(o, "baselineAlpha", c.baselineAlpha)) ||
        (error = readRequiredBool(o, "highpassEnabled", c.highpassEnabled)) ||
        (error = readRequiredFloat(o, "highpassAlpha", c.highpassAlpha)) ||
        (error = readRequiredFloat(o, "deadzone", c.deadzone)) ||
        (error = readRequiredFloat(o, "hardCap", c.hardCap)) ||
        (error = readRequiredFloat(o, "compressGamma", c.compressGamma)) ||
        (error = readRequiredFloat(o, "softThreshold", c.softThreshold)) ||
        (error = readRequiredFloat(o, "mediumThreshold", c.mediumThreshold)) ||
        (error = readRequiredFloat(o, "hardThreshold", c.hardThreshold)) ||
        (error = readRequiredFloat(o, "slamThreshold", c.slamThreshold)) ||
        (error = readRequiredDouble(o, "minInterKeyGapMs", c.minInterKeyGapMs));
    if (error) {
        return DecodeResult<ImpactConfig>::failure("impact configuration: " + *error);
    }
    return c;
}

DecodeResult<ImpactConfig> decodeImpactConfigText(std::string_view jsonText) {
    const auto parsed = nlohmann::json::parse(jsonText, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) {
        return DecodeResult<ImpactConfig>::failure("impact configuration: not valid JSON");
    }
    return decodeImpactConfig(parsed);
}

} // namespace clavio
