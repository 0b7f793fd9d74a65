// Value types shared by every subsystem: key groups and events, velocity
// tiers, impact results, sensor status and playback events.
//
// All of them are plain values: copied freely between threads, never shared
// by reference across threads.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace clavio {

// Which sample set a key uses. Raw values are stored in files and crossed
// to the native layer, so their order never changes.
enum class KeyGroup : int {
    alpha = 0,
    modifier = 1,
    space = 2,
    enter = 3,
    deleteKey = 4, // `delete` is a C++ keyword; its name and label stay "delete"/"Delete".
    arrow = 5,
    function = 6,
    other = 7,
};

inline constexpr std::array<KeyGroup, 8> kAllKeyGroups = {
    KeyGroup::alpha,     KeyGroup::modifier, KeyGroup::space,    KeyGroup::enter,
    KeyGroup::deleteKey, KeyGroup::arrow,    KeyGroup::function, KeyGroup::other};

std::optional<KeyGroup> keyGroupFromRaw(long long raw) noexcept;
constexpr int rawValue(KeyGroup g) noexcept {
    return static_cast<int>(g);
}
// Display name: "Alpha" ... "Other".
std::string_view label(KeyGroup g) noexcept;
// Lower-case name used in pack manifests and sample keys: "alpha" ... "other".
std::string_view name(KeyGroup g) noexcept;
std::optional<KeyGroup> keyGroupFromName(std::string_view name) noexcept;

// Modifier flag bits kept in KeyEvent::modifiers.
inline constexpr std::uint32_t kModifierMask = 0xFF0000;
inline constexpr std::uint32_t kFlagCapsLock = 0x10000;
inline constexpr std::uint32_t kFlagShift = 0x20000;
inline constexpr std::uint32_t kFlagControl = 0x40000;
inline constexpr std::uint32_t kFlagOption = 0x80000;
inline constexpr std::uint32_t kFlagCommand = 0x100000;
inline constexpr std::uint32_t kFlagNumericPad = 0x200000;
inline constexpr std::uint32_t kFlagHelp = 0x400000;
inline constexpr std::uint32_t kFlagFunction = 0x800000;

struct KeyEvent {
    std::uint16_t keyCode = 0;
    std::uint32_t modifiers = 0;
    std::uint64_t timestamp = 0;
    bool isRepeat = false;
    KeyGroup keyGroup = KeyGroup::alpha;

    friend bool operator==(const KeyEvent&, const KeyEvent&) = default;
};

enum class VelocityTier : int {
    silent = 0,
    soft = 1,
    medium = 2,
    hard = 3,
    slam = 4,
};

inline constexpr std::array<VelocityTier, 5> kAllVelocityTiers = {
    VelocityTier::silent, VelocityTier::soft, VelocityTier::medium, VelocityTier::hard,
    VelocityTier::slam};

std::optional<VelocityTier> velocityTierFromRaw(long long raw) noexcept;
constexpr int rawValue(VelocityTier t) noexcept {
    return static_cast<int>(t);
}
// Display label: "Silent" ... "Slam".
std::string_view label(VelocityTier t) noexcept;
// Lower-case name used in sample keys, events files and manifests: "silent" ... "slam".
std::string_view name(VelocityTier t) noexcept;
std::optional<VelocityTier> velocityTierFromName(std::string_view name) noexcept;

struct ImpactResult {
    float rawPeak = 0.0f;
    float baseline = 0.0f;
    float score = 0.0f;
    float velocity = 0.0f;
    VelocityTier tier = VelocityTier::soft;
    std::uint64_t peakTimestamp = 0;
    std::uint32_t samplesInWindow = 0;

    friend bool operator==(const ImpactResult&, const ImpactResult&) = default;
};

enum class SensorStatus : int {
    stopped = 0,
    running = 1,
    unavailable = 2,
    accessDenied = 3,
    error = 4,
};

std::optional<SensorStatus> sensorStatusFromRaw(long long raw) noexcept;
std::string_view name(SensorStatus s) noexcept;

struct PlaybackEvent {
    KeyEvent keyEvent;
    ImpactResult impact;
    std::int32_t sampleIndex = -1;
    float gain = 0.0f;
    float pitchShift = 1.0f;
};

} // namespace clavio
