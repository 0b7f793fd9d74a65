// Per-user folders, resolved from the XDG environment on every call so tests
// can point them at temporary folders.
#pragma once

#include <filesystem>

namespace clavio {

// $XDG_CONFIG_HOME, or $HOME/.config. Holds "Clavio/settings.json",
// "Clavio/defaults.json" and "Clavio/Presets".
std::filesystem::path xdgConfigHome();
// $XDG_DATA_HOME, or $HOME/.local/share. Holds "Clavio/SoundPacks".
std::filesystem::path xdgDataHome();
// $XDG_STATE_HOME, or $HOME/.local/state. Holds "Clavio/key-levels.json".
std::filesystem::path xdgStateHome();
// Where the learned per-key strike levels are kept.
std::filesystem::path keyLevelsFile();

} // namespace clavio
