#include "engine/core/json_fields.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace clavio {

namespace {

std::string quoted(std::string_view key) {
    return "\"" + std::string(key) + "\"";
}

// Finds a member; on failure returns the error text.
const nlohmann::json* findMember(const nlohmann::json& object, std::string_view key,
                                 std::string& error) {
    if (!object.is_object()) {
        error = "expected a JSON object holding key " + quoted(key);
        return nullptr;
    }
    const auto it = object.find(key);
    if (it == object.end()) {
        error = "key " + quoted(key) + " is missing";
        return nullptr;
    }
    return &*it;
}

} // namespace

nlohmann::json jsonFromFloat(float value) {
    if (!std::isfinite(value)) {
        return nullptr;
    }
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer - 1, value);
    if (ec != std::errc()) {
        return static_cast<double>(value);
    }
    *end = '\0';
    // The double nearest to the shortest float decimal prints as that decimal.
    return std::strtod(buffer, nullptr);
}

std::optional<std::string> readRequiredDouble(const nlohmann::json& object, std::string_view key,
                                              double& out) {
    std::string error;
    const nlohmann::json* value = findMember(object, key, error);
    if (!value) {
        return error;
    }
    if (!value->is_number()) {
        return "key " + quoted(key) + " must be a number";
    }
    const double d = value->get<double>();
    if (!std::isfinite(d)) {
        return "key " + quoted(key) + " is out of range";
    }
    out = d;
    return std::nullopt;
}

std::optional<std::string> readRequiredFloat(const nlohmann::json& object, std::string_view key,
                                             float& out) {
    double d = 0.0;
    if (auto error = readRequiredDouble(object, key, d)) {
        return error;
    }
    // The float range reaches up to where rounding to nearest would give
    // infinity: halfway between the largest float and 2^128. The shortest
    // decimal of the largest float (3.4028235e38, what jsonFromFloat writes)
    // lies above the largest float itself, so a plain comparison with it
    // would refuse the decoder's own output.
    constexpr double kLargest = std::numeric_limits<float>::max();
    constexpr double kHalfUlpAtLargest = 0x1p103; // the largest float's ulp is 2^104
    const double magnitude = std::fabs(d);
    if (magnitude >= kLargest + kHalfUlpAtLargest) {
        return "key " + quoted(key) + " is out of range for a 32-bit float";
    }
    if (magnitude > kLargest) {
        out = d < 0.0 ? -std::numeric_limits<float>::max() : std::numeric_limits<float>::max();
    } else {
        out = static_cast<float>(d);
    }
    return std::nullopt;
}

std::optional<std::string> readRequiredBool(const nlohmann::json& object, std::string_view key,
                                            bool& out) {
    std::string error;
    const nlohmann::json* value = findMember(object, key, error);
    if (!value) {
        return error;
    }
    if (!value->is_boolean()) {
        return "key " + quoted(key) + " must be true or false";
    }
    out = value->get<bool>();
    return std::nullopt;
}

} // namespace clavio
