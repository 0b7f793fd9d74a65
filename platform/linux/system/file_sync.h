// fsync-based durability for atomic file writes.
#pragma once

#include <filesystem>

namespace clavio::platform {

// fsync of a file or folder. False when it cannot be opened or synced.
bool fsyncPath(const std::filesystem::path& path);

// Installs fsync as the engine's file sync hook. Called once by main().
void installFileSync() noexcept;

} // namespace clavio::platform
