// The --trace argument of the trace commands: a file, or "demo" for the
// bundled demo session (write "./demo" for a file of that name).
#pragma once

#include <filesystem>
#include <string_view>

namespace clavio::cli {

inline constexpr std::string_view kDemoTraceName = "demo";

std::filesystem::path resolveTracePath(std::string_view argument);

} // namespace clavio::cli
