// The 36 user settings as a plain value, with their defaults, JSON names and
// the "settings.json" coding (which preset files share).
//
// Plain values: copied freely, never shared by reference across threads.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/core/decode_result.h"

namespace clavio {

// In the order of the settings table; each key's JSON name is its name here.
enum class SettingsKey : int {
    soundEnabled,
    masterVolume,
    selectedPackName,
    searchPreMs,
    searchPostMs,
    baselineWindowMs,
    highpassEnabled,
    highpassAlpha,
    deadzone,
    hardCap,
    compressGamma,
    softThreshold,
    mediumThreshold,
    hardThreshold,
    slamThreshold,
    macroEnabled,
    pitchVariation,
    gainVariation,
    crossfadeWidth,
    launchAtLogin,
    hideMenuBarIcon,
    disableMenuBarIconOpacity,
    menuBarClickAction,
    disableModifierSounds,
    toggleShortcut,
    useAdaptiveClassifier,
    minInterKeyGapMs,
    velocitySource,
    fixedVelocity,
    outputDevice,
    stereoWidth,
    earlyDecision,
    perKeyNormalization,
    microphoneDevice,
    lowRateSensing,
    microphoneHardCap,
};

inline constexpr std::size_t kSettingsKeyCount = 36;

// The JSON name, e.g. "masterVolume".
std::string_view name(SettingsKey key) noexcept;

// Where a press's strength comes from: "auto" measures with the
// accelerometer when one is readable and plays the fixed strength otherwise,
// "accelerometer" always tries to measure, "fixed" never measures,
// "microphone" measures each strike from the microphone's sound (only ever
// chosen by the user; "auto" never picks it).
enum class VelocitySource { automatic, accelerometer, fixed, microphone };

// The JSON word: "auto", "accelerometer", "fixed" or "microphone".
std::string_view name(VelocitySource source) noexcept;
// The source a JSON word names; none for any other word.
std::optional<VelocitySource> velocitySourceFromName(std::string_view word) noexcept;

struct SettingsValues {
    bool soundEnabled = true;
    float masterVolume = 1.0f;
    std::string selectedPackName = "Biscuit";
    double searchPreMs = 10.0;
    double searchPostMs = 20.0;
    double baselineWindowMs = 500.0;
    bool highpassEnabled = false;
    float highpassAlpha = 0.95f;
    float deadzone = 0.003f;
    float hardCap = 0.14f;
    float compressGamma = 0.8f;
    float softThreshold = 0.0f;
    float mediumThreshold = 0.25f;
    float hardThreshold = 0.55f;
    float slamThreshold = 0.82f;
    bool macroEnabled = false;
    float pitchVariation = 0.03f;
    float gainVariation = 0.05f;
    float crossfadeWidth = 0.08f;
    bool launchAtLogin = false;
    bool hideMenuBarIcon = false;
    bool disableMenuBarIconOpacity = false;
    std::string menuBarClickAction = "menu";
    bool disableModifierSounds = false;
    std::string toggleShortcut;
    bool useAdaptiveClassifier = true;
    double minInterKeyGapMs = 20.0;
    VelocitySource velocitySource = VelocitySource::automatic;
    float fixedVelocity = 0.5f;       // 0 to 1
    std::string outputDevice;         // a sound card's name; empty: the system default
    float stereoWidth = 0.0f;         // 0 (every key centred) to 1 (keys panned by position)
    bool earlyDecision = false;       // classify once the strike's peak has passed
    bool perKeyNormalization = false; // correct each key's score by its learned coupling
    std::string microphoneDevice;     // a capture device's name; empty: the system default
    bool lowRateSensing = false;      // slow sensors: wider window, estimates for few samples
    float microphoneHardCap = 0.4f;   // the microphone's strongest strike, in its envelope's units

    friend bool operator==(const SettingsValues&, const SettingsValues&) = default;
};

// The limit on the size of a settings or preset file that is read.
inline constexpr std::uintmax_t kMaxSettingsBytes = 1u << 20;

// Absent or null members keep their defaults, unknown members are ignored;
// a member of the wrong type, or a number the key's float width cannot hold,
// fails the whole decode, and so do a velocitySource that is not one of its
// four words and a fixedVelocity outside 0 to 1. A JSON integer is accepted for a float key.
DecodeResult<SettingsValues> decodeSettings(std::string_view json);

// One compact JSON object with all 36 keys, in table order, each float
// written so that it reads back as the same 32- or 64-bit value. Fails only
// for a NaN or infinite value, which JSON cannot hold, or a fixedVelocity
// outside 0 to 1, which would not read back: returns false and sets `error`
// to a line naming the key.
bool encodeSettings(const SettingsValues& values, std::string& json, std::string& error);

} // namespace clavio
