#include "engine/settings/settings_values.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <variant>

#include "engine/core/json_support.h"

namespace clavio {

namespace js = json_support;

namespace {

using Member =
    std::variant<bool SettingsValues::*, float SettingsValues::*, double SettingsValues::*,
                 std::string SettingsValues::*, VelocitySource SettingsValues::*>;

struct KeyInfo {
    std::string_view name;
    Member member;
    bool unitInterval = false; // a number from 0 to 1, both included
};

constexpr std::array<std::pair<VelocitySource, std::string_view>, 4> kVelocitySourceNames = {{
    {VelocitySource::automatic, "auto"},
    {VelocitySource::accelerometer, "accelerometer"},
    {VelocitySource::fixed, "fixed"},
    {VelocitySource::microphone, "microphone"},
}};

// Table order; checked against the enumeration by the static_assert below.
const std::array<KeyInfo, kSettingsKeyCount> kKeys = {{
    {"soundEnabled", &SettingsValues::soundEnabled},
    {"masterVolume", &SettingsValues::masterVolume},
    {"selectedPackName", &SettingsValues::selectedPackName},
    {"searchPreMs", &SettingsValues::searchPreMs},
    {"searchPostMs", &SettingsValues::searchPostMs},
    {"baselineWindowMs", &SettingsValues::baselineWindowMs},
    {"highpassEnabled", &SettingsValues::highpassEnabled},
    {"highpassAlpha", &SettingsValues::highpassAlpha},
    {"deadzone", &SettingsValues::deadzone},
    {"hardCap", &SettingsValues::hardCap},
    {"compressGamma", &SettingsValues::compressGamma},
    {"softThreshold", &SettingsValues::softThreshold},
    {"mediumThreshold", &SettingsValues::mediumThreshold},
    {"hardThreshold", &SettingsValues::hardThreshold},
    {"slamThreshold", &SettingsValues::slamThreshold},
    {"macroEnabled", &SettingsValues::macroEnabled},
    {"pitchVariation", &SettingsValues::pitchVariation},
    {"gainVariation", &SettingsValues::gainVariation},
    {"crossfadeWidth", &SettingsValues::crossfadeWidth},
    {"launchAtLogin", &SettingsValues::launchAtLogin},
    {"hideMenuBarIcon", &SettingsValues::hideMenuBarIcon},
    {"disableMenuBarIconOpacity", &SettingsValues::disableMenuBarIconOpacity},
    {"menuBarClickAction", &SettingsValues::menuBarClickAction},
    {"disableModifierSounds", &SettingsValues::disableModifierSounds},
    {"toggleShortcut", &SettingsValues::toggleShortcut},
    {"useAdaptiveClassifier", &SettingsValues::useAdaptiveClassifier},
    {"minInterKeyGapMs", &SettingsValues::minInterKeyGapMs},
    {"velocitySource", &SettingsValues::velocitySource},
    {"fixedVelocity", &SettingsValues::fixedVelocity, true},
    {"outputDevice", &SettingsValues::outputDevice},
    {"stereoWidth", &SettingsValues::stereoWidth},
    {"earlyDecision", &SettingsValues::earlyDecision},
    {"perKeyNormalization", &SettingsValues::perKeyNormalization},
    {"microphoneDevice", &SettingsValues::microphoneDevice},
    {"lowRateSensing", &SettingsValues::lowRateSensing},
    {"microphoneHardCap", &SettingsValues::microphoneHardCap},
}};
static_assert(static_cast<std::size_t>(SettingsKey::microphoneHardCap) + 1 == kSettingsKeyCount);

// The shortest decimal that reads back as `f`, as a double, so the file says
// 0.95 rather than 0.949999988079071. Falls back to the float's exact value
// should the decimal not round back to the same float through a double.
double floatForJson(float f) {
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text - 1, f);
    if (ec != std::errc()) {
        return static_cast<double>(f);
    }
    *end = '\0';
    const double d = std::strtod(text, nullptr);
    return static_cast<float>(d) == f ? d : static_cast<double>(f);
}

std::optional<DecodeError> decodeMember(const nlohmann::json& value, const KeyInfo& key,
                                        SettingsValues& out) {
    const std::string path = js::member("$", key.name);
    return std::visit(
        [&](auto member) -> std::optional<DecodeError> {
            using T = std::remove_cvref_t<decltype(out.*member)>;
            if constexpr (std::is_same_v<T, bool>) {
                if (!value.is_boolean()) {
                    return js::typeMismatch(path, "a boolean", value);
                }
                out.*member = value.get<bool>();
            } else if constexpr (std::is_same_v<T, std::string>) {
                if (!value.is_string()) {
                    return js::typeMismatch(path, "a string", value);
                }
                out.*member = value.get<std::string>();
            } else if constexpr (std::is_same_v<T, VelocitySource>) {
                if (!value.is_string()) {
                    return js::typeMismatch(path, "a string", value);
                }
                const auto source = velocitySourceFromName(value.get<std::string>());
                if (!source) {
                    return DecodeError{path,
                                       js::shortDump(value) +
                                           " is not \"auto\", \"accelerometer\" or \"fixed\""};
                }
                out.*member = *source;
            } else {
                if (!value.is_number()) {
                    return js::typeMismatch(path, "a number", value);
                }
                const double d = value.get<double>();
                // A float holds every number that rounds to a finite float:
                // below the midpoint between FLT_MAX and 2^128.
                const bool fits = std::isfinite(d) &&
                                  (sizeof(T) == sizeof(double) || std::fabs(d) < 0x1.ffffffp127);
                if (!fits) {
                    return DecodeError{path, js::shortDump(value) + " does not fit a " +
                                                 (sizeof(T) == 4 ? "32" : "64") + "-bit float"};
                }
                if (key.unitInterval && !(d >= 0.0 && d <= 1.0)) {
                    return DecodeError{path, js::shortDump(value) + " is not from 0 to 1"};
                }
                out.*member = static_cast<T>(d);
            }
            return std::nullopt;
        },
        key.member);
}

} // namespace

std::string_view name(VelocitySource source) noexcept {
    for (const auto& [value, word] : kVelocitySourceNames) {
        if (value == source) {
            return word;
        }
    }
    return "auto";
}

std::optional<VelocitySource> velocitySourceFromName(std::string_view word) noexcept {
    for (const auto& [value, known] : kVelocitySourceNames) {
        if (known == word) {
            return value;
        }
    }
    return std::nullopt;
}

std::string_view name(SettingsKey key) noexcept {
    return kKeys[static_cast<size_t>(key)].name;
}

DecodeResult<SettingsValues> decodeSettings(std::string_view text) {
    auto parsed = js::parse(text);
    if (!parsed) {
        return parsed.error();
    }
    const nlohmann::json& root = parsed.value();
    if (!root.is_object()) {
        return js::typeMismatch("$", "an object", root);
    }
    SettingsValues values;
    for (const auto& key : kKeys) {
        auto it = root.find(key.name);
        if (it == root.end() || it->is_null()) {
            continue;
        }
        if (auto error = decodeMember(*it, key, values)) {
            return *error;
        }
    }
    return values;
}

bool encodeSettings(const SettingsValues& values, std::string& json, std::string& error) {
    nlohmann::ordered_json root = nlohmann::ordered_json::object();
    for (const auto& key : kKeys) {
        const std::string name(key.name);
        std::optional<std::string> failure;
        std::visit(
            [&](auto member) {
                using T = std::remove_cvref_t<decltype(values.*member)>;
                const T& v = values.*member;
                if constexpr (std::is_same_v<T, float>) {
                    if (!std::isfinite(v)) {
                        failure = "the value of " + name + " is not a finite number";
                    } else if (key.unitInterval && !(v >= 0.0f && v <= 1.0f)) {
                        failure = "the value of " + name + " is not from 0 to 1";
                    }
                    root[name] = floatForJson(v);
                } else if constexpr (std::is_same_v<T, double>) {
                    if (!std::isfinite(v)) {
                        failure = "the value of " + name + " is not a finite number";
                    }
                    root[name] = v;
                } else if constexpr (std::is_same_v<T, VelocitySource>) {
                    root[name] = std::string(clavio::name(v));
                } else {
                    root[name] = v;
                }
            },
            key.member);
        if (failure) {
            error = *failure;
            return false;
        }
    }
    // A string set by a caller may hold bytes that are not UTF-8; replace them
    // rather than fail the save of every other value.
    json = root.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return true;
}

} // namespace clavio
