// Unpacking a zip file (with libarchive) into a new, empty folder, refusing
// what a hostile archive could do: entries with absolute paths or ".."
// steps, symbolic and hard links, devices, and archives that unpack to more
// than a sane number of files or bytes (counted while unpacking, not taken
// from the entries' claims). Nothing is ever written outside the folder.
//
// Threading: any non-real-time thread; no shared state.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace clavio::platform {

struct ZipLimits {
    std::uint64_t maxTotalBytes = 200ull << 20;
    std::uint64_t maxFiles = 2000; // entries: files and folders
};

// Unpacks `zip` into `folder` (which exists and is empty). On failure returns
// one line naming the entry and what was wrong; whatever was unpacked is left
// in `folder` for the caller to remove.
std::optional<std::string> unpackZip(const std::filesystem::path& zip,
                                     const std::filesystem::path& folder,
                                     const ZipLimits& limits = {});

} // namespace clavio::platform
