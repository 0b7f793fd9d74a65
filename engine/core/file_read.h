// Reading a whole small file (a manifest, the settings, a preset) with a size
// limit, so that a huge or endless file (a FIFO, /dev/zero linked in place
// of pack.json) cannot exhaust memory or block the caller.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace clavio {

struct FileReadResult {
    enum class Status { ok, missing, notAFile, tooLarge, failed };
    Status status = Status::failed;
    std::string contents; // when ok
    std::string error;    // one line naming the file, when not ok
    bool ok() const noexcept { return status == Status::ok; }
};

// Any non-real-time thread. Follows symbolic links; anything that is not a
// regular file (folder, FIFO, device) is refused without being opened.
FileReadResult readFileLimited(const std::filesystem::path& path, std::uintmax_t maxBytes);

} // namespace clavio
