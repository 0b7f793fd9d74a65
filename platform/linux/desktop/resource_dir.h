// The application's own resource folder (<prefix>/share/clavio), which holds
// the built-in "SoundPacks" and the demo session.
#pragma once

#include <filesystem>

namespace clavio::platform {

// $CLAVIO_RESOURCE_DIR when set; otherwise ../share/clavio relative to the
// running executable (true both in the build tree and after installation).
std::filesystem::path resourceDir();

} // namespace clavio::platform
