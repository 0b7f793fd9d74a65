#include "cli/trace_path.h"

#include "platform/linux/desktop/resource_dir.h"

namespace clavio::cli {

std::filesystem::path resolveTracePath(std::string_view argument) {
    if (argument == kDemoTraceName) {
        return platform::resourceDir() / "demo" / "demo.trace.jsonl";
    }
    return std::filesystem::path(argument);
}

} // namespace clavio::cli
