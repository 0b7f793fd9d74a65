// The application's own resource folder (<prefix>/share/clavio), which holds
// the built-in "SoundPacks" and the demo session.
#pragma once

#include <filesystem>

namespace clavio::platform {

// $CLAVIO_RESOURCE_DIR when set; otherwise <prefix>/share/clavio, the prefix
// being that of the running executable (installPrefix()): true both in the
// build tree and after installation, under any prefix.
std::filesystem::path resourceDir();

} // namespace clavio::platform
