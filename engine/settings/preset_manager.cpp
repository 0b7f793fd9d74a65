#include "engine/settings/preset_manager.h"

#include "engine/core/atomic_file.h"
#include "engine/core/file_read.h"
#include "engine/core/log.h"
#include "engine/core/paths.h"

namespace clavio {

namespace fs = std::filesystem;

fs::path PresetManager::presetsFolder() {
    const fs::path folder = xdgConfigHome() / "Clavio" / "Presets";
    std::error_code ignored;
    fs::create_directories(folder, ignored);
    return folder;
}

bool PresetManager::isValidName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::vector<std::string> PresetManager::availablePresets() {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(presetsFolder(), ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path& path = it->path();
        if (path.extension() == ".json") {
            names.push_back(path.stem().string());
        }
    }
    return names;
}

bool PresetManager::save(const ToccaSettings& settings, const std::string& name) {
    // The name goes into the log line as given, but a NUL would cut the line.
    auto fail = [&name](const std::string& reason) {
        std::string shown = name;
        for (char& c : shown) {
            if (c == '\0') {
                c = '?';
            }
        }
        logLine("[Clavio] Failed to save preset '" + shown + "': " + reason);
        return false;
    };
    if (!isValidName(name)) {
        return fail("a preset name must not be empty, \".\" or \"..\", nor contain \"/\" or NUL");
    }
    std::string json;
    std::string error;
    if (!encodeSettings(settings.values(), json, error)) {
        return fail(error);
    }
    if (auto failure = writeFileAtomically(presetsFolder() / (name + ".json"), json)) {
        return fail(*failure);
    }
    return true;
}

std::optional<ToccaSettings> PresetManager::load(const std::string& name) {
    if (!isValidName(name)) {
        return std::nullopt;
    }
    const auto read = readFileLimited(presetsFolder() / (name + ".json"), kMaxSettingsBytes);
    if (!read.ok()) {
        return std::nullopt;
    }
    auto decoded = decodeSettings(read.contents);
    if (!decoded) {
        return std::nullopt;
    }
    return std::optional<ToccaSettings>(std::in_place, decoded.value());
}

} // namespace clavio
