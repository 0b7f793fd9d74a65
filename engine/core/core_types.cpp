#include "engine/core/core_types.h"

namespace clavio {

namespace {
constexpr std::array<std::string_view, 8> kGroupLabels = {
    "Alpha", "Modifier", "Space", "Enter", "Delete", "Arrow", "Function", "Other"};
constexpr std::array<std::string_view, 8> kGroupNames = {"alpha",  "modifier", "space",    "enter",
                                                         "delete", "arrow",    "function", "other"};
constexpr std::array<std::string_view, 5> kTierLabels = {"Silent", "Soft", "Medium", "Hard",
                                                         "Slam"};
constexpr std::array<std::string_view, 5> kTierNames = {"silent", "soft", "medium", "hard", "slam"};
constexpr std::array<std::string_view, 5> kStatusNames = {"stopped", "running", "unavailable",
                                                          "accessDenied", "error"};
} // namespace

std::optional<KeyGroup> keyGroupFromRaw(long long raw) noexcept {
    if (raw < 0 || raw > 7) {
        return std::nullopt;
    }
    return static_cast<KeyGroup>(raw);
}

std::string_view label(KeyGroup g) noexcept {
    return kGroupLabels[static_cast<size_t>(g)];
}
std::string_view name(KeyGroup g) noexcept {
    return kGroupNames[static_cast<size_t>(g)];
}

std::optional<KeyGroup> keyGroupFromName(std::string_view n) noexcept {
    for (size_t i = 0; i < kGroupNames.size(); ++i) {
        if (kGroupNames[i] == n) {
            return static_cast<KeyGroup>(i);
        }
    }
    return std::nullopt;
}

std::optional<VelocityTier> velocityTierFromRaw(long long raw) noexcept {
    if (raw < 0 || raw > 4) {
        return std::nullopt;
    }
    return static_cast<VelocityTier>(raw);
}

std::string_view label(VelocityTier t) noexcept {
    return kTierLabels[static_cast<size_t>(t)];
}
std::string_view name(VelocityTier t) noexcept {
    return kTierNames[static_cast<size_t>(t)];
}

std::optional<VelocityTier> velocityTierFromName(std::string_view n) noexcept {
    for (size_t i = 0; i < kTierNames.size(); ++i) {
        if (kTierNames[i] == n) {
            return static_cast<VelocityTier>(i);
        }
    }
    return std::nullopt;
}

std::optional<SensorStatus> sensorStatusFromRaw(long long raw) noexcept {
    if (raw < 0 || raw > 4) {
        return std::nullopt;
    }
    return static_cast<SensorStatus>(raw);
}

std::string_view name(SensorStatus s) noexcept {
    return kStatusNames[static_cast<size_t>(s)];
}

} // namespace clavio
