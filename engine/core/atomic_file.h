// Atomic replacement of a file: write a temporary file in the same folder,
// flush it to disk, rename it over the target, flush the folder. A reader
// (or a crash) sees either the old file or the new one, never half of one.
//
// Threading: any non-real-time thread. The durability hook is installed once
// by the composition root before threads start.
#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

namespace clavio {

// Writes `contents` to `path` atomically. Returns an error text naming the
// path on failure, in which case the previous file is untouched and no
// temporary file is left behind.
std::optional<std::string> writeFileAtomically(const std::filesystem::path& path,
                                               std::string_view contents);

// Streams a file into place: everything goes to a temporary file in the
// target's folder, and only commit() (flush, sync, rename, sync of the
// folder) makes it visible under the target name. Destroying the stream
// without a successful commit removes the temporary file, so a failed or
// interrupted writer leaves neither a half-written target nor a stray file.
// Used for files too large to build in memory first (traces).
//
// Threading: one thread at a time; not real-time.
class AtomicFileStream {
public:
    explicit AtomicFileStream(std::filesystem::path target);
    ~AtomicFileStream();
    AtomicFileStream(const AtomicFileStream&) = delete;
    AtomicFileStream& operator=(const AtomicFileStream&) = delete;

    // The error that kept the temporary file from being created, if any.
    const std::optional<std::string>& openError() const { return _openError; }
    std::ostream& stream() { return _out; }
    const std::filesystem::path& target() const { return _target; }
    // Makes the written contents the target. Returns an error naming the path
    // on failure (a write error seen by the stream included), in which case
    // the target is untouched and the temporary file is gone. Call once.
    std::optional<std::string> commit();
    // Gives up: removes the temporary file. Also done by the destructor.
    void discard() noexcept;

private:
    std::filesystem::path _target;
    std::filesystem::path _temp;
    std::ofstream _out;
    std::optional<std::string> _openError;
    bool _done = false;
};

// Makes a written file (or folder) durable: fsync on Linux. Without a hook the
// rename is still atomic, only not guaranteed to survive a power cut.
using FileSyncHook = bool (*)(const std::filesystem::path& pathToSync);
void setFileSyncHook(FileSyncHook hook) noexcept;

} // namespace clavio
