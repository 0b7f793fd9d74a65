#include "platform/linux/desktop/resource_dir.h"

#include <cstdlib>
#include <system_error>

namespace clavio::platform {

std::filesystem::path resourceDir() {
    if (const char* dir = std::getenv("CLAVIO_RESOURCE_DIR"); dir && *dir) {
        return dir;
    }
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return "/usr/share/clavio";
    }
    return (exe.parent_path() / ".." / "share" / "clavio").lexically_normal();
}

} // namespace clavio::platform
