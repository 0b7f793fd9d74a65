// Where the settings that reach the sound card or the scheduler make sense.
// The stored values stay as the user (or a hand-edited file) gave them; the
// code that hands one to the mixer, the classifier or the classify queue
// passes it through usableSetting() first, so a masterVolume of 3e38 plays at
// full volume, not at 3e38 times it, and a window of a year does not hold a
// press back for a year.
//
// Threading: pure apart from the log line; any non-real-time thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>

#include "engine/sensing/impact_config.h"
#include "engine/settings/settings_values.h"

namespace clavio {

struct SettingRange {
    double low;
    double high;
};

// The usable range of a key, or nothing for keys used as they are.
std::optional<SettingRange> usableRange(SettingsKey key) noexcept;

// Per key, the bits of the last unusable value logged (0: none; 0 is usable
// for every key): one log line per unusable value, not one per key press.
using SettingLogFlags = std::array<std::atomic<std::uint64_t>, kSettingsKeyCount>;

// `value` within its key's range: a value above it is clamped to its top, a
// value that is not a number or below it replaced by the default. The first
// unusable value of a run logs "[Clavio] <key> <value> refused: ...; using
// <value used>".
double usableSetting(SettingsKey key, double value, SettingLogFlags& logged);
float usableSetting(SettingsKey key, float value, SettingLogFlags& logged);
// What usableSetting() gives for `value`, without logging: for code that
// must know what another part of the program uses.
double usableSettingValue(SettingsKey key, double value) noexcept;

// The classifier's configuration with its windows and gap made usable.
ImpactConfig usableImpactConfig(ImpactConfig config, SettingLogFlags& logged);

} // namespace clavio
