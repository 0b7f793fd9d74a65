#include "platform/linux/desktop/resource_dir.h"

#include <cstdlib>

#include "platform/linux/system/install_prefix.h"

namespace clavio::platform {

std::filesystem::path resourceDir() {
    if (const char* dir = std::getenv("CLAVIO_RESOURCE_DIR"); dir && *dir) {
        return dir;
    }
    return installPrefix() / "share" / "clavio";
}

} // namespace clavio::platform
