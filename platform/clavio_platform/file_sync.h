// fsync-based durability for atomic file writes.
#pragma once

namespace clavio::platform {

// Installs fsync as the engine's file sync hook. Called once by main().
void installFileSync() noexcept;

} // namespace clavio::platform
