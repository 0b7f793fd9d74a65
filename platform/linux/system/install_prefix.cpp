#include "platform/linux/system/install_prefix.h"

#include <system_error>

namespace clavio::platform {

std::filesystem::path installPrefixOf(const std::filesystem::path& exe) {
    auto prefix = (exe.parent_path() / "..").lexically_normal();
    // "/usr/bin/.." normalises to "/usr/"; the trailing separator is dropped
    // so that paths joined to it read as usual.
    if (prefix.has_parent_path() && !prefix.has_filename()) {
        prefix = prefix.parent_path();
    }
    return prefix;
}

std::filesystem::path installPrefix() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return "/usr";
    }
    return installPrefixOf(exe);
}

} // namespace clavio::platform
