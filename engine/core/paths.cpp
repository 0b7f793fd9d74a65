#include "engine/core/paths.h"

#include <cstdlib>

namespace clavio {

namespace {
std::filesystem::path homeFolder() {
    const char* home = std::getenv("HOME");
    return home && *home ? std::filesystem::path(home) : std::filesystem::path("/tmp");
}

// The XDG rules ignore a relative path in these variables.
std::filesystem::path fromEnv(const char* name, const std::filesystem::path& fallback) {
    const char* value = std::getenv(name);
    if (value && *value == '/') {
        return value;
    }
    return fallback;
}
} // namespace

std::filesystem::path xdgConfigHome() {
    return fromEnv("XDG_CONFIG_HOME", homeFolder() / ".config");
}

std::filesystem::path xdgDataHome() {
    return fromEnv("XDG_DATA_HOME", homeFolder() / ".local" / "share");
}

std::filesystem::path xdgStateHome() {
    return fromEnv("XDG_STATE_HOME", homeFolder() / ".local" / "state");
}

std::filesystem::path keyLevelsFile() {
    return xdgStateHome() / "Clavio" / "key-levels.json";
}

} // namespace clavio
