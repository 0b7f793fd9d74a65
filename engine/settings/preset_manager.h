// Named snapshots of the whole settings record, one file per preset in
// $XDG_CONFIG_HOME/Clavio/Presets ("<name>.json", the settings file format).
//
// Threading: stateless; every operation runs on the caller's thread and
// blocks it for the file operation. Concurrent saves of one name leave one
// complete file (the writes are atomic).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/settings/tocca_settings.h"

namespace clavio {

class PresetManager {
public:
    // The presets folder, created (with missing parents) on every lookup;
    // failure to create it is ignored.
    static std::filesystem::path presetsFolder();

    // Base names of the folder's entries with the extension "json", in the
    // order the folder lists them; empty when the folder cannot be listed.
    static std::vector<std::string> availablePresets();

    // Writes all settings as "<name>.json", replacing a preset of that name
    // atomically. A name that is empty, "." or "..", or holds "/" or a NUL
    // byte is refused: it would write outside the folder. Failures log
    // "[Clavio] Failed to save preset '<name>': <reason>" and return false.
    static bool save(const ToccaSettings& settings, const std::string& name);

    // The preset's settings, or nothing when the name is refused or its file
    // cannot be read or decoded. Logs nothing.
    static std::optional<ToccaSettings> load(const std::string& name);

    static bool isValidName(const std::string& name);
};

} // namespace clavio
