// Where Clavio is installed, found from the running executable, so that one
// build works in the build tree, under /usr, /usr/local or any other prefix
// (and from a staging folder) without knowing the prefix at build time.
#pragma once

#include <filesystem>

namespace clavio::platform {

// The prefix an executable at `exe` (<prefix>/bin/NAME) belongs to:
// /usr/bin/clavio-cli -> /usr. The build tree has the same layout
// (<build>/bin), so there it is the build folder.
std::filesystem::path installPrefixOf(const std::filesystem::path& exe);

// installPrefixOf(the running executable), or /usr when /proc/self/exe cannot
// be read.
std::filesystem::path installPrefix();

} // namespace clavio::platform
