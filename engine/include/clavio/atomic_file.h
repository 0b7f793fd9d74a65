// Atomic replacement of a file: write a temporary file in the same folder,
// flush it to disk, rename it over the target, flush the folder. A reader
// (or a crash) sees either the old file or the new one, never half of one.
//
// Threading: any non-real-time thread. The durability hook is installed once
// by the composition root before threads start.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace clavio {

// Writes `contents` to `path` atomically. Returns an error text naming the
// path on failure, in which case the previous file is untouched and no
// temporary file is left behind.
std::optional<std::string> writeFileAtomically(const std::filesystem::path& path,
                                               std::string_view contents);

// Makes a written file (or folder) durable: fsync on Linux. Without a hook the
// rename is still atomic, only not guaranteed to survive a power cut.
using FileSyncHook = bool (*)(const std::filesystem::path& pathToSync);
void setFileSyncHook(FileSyncHook hook) noexcept;

} // namespace clavio
