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

// Who may read a written file: everyone (0644), or only its owner (0600) for
// files that log every key code typed, passwords included (traces, events).
// Replacing a file never loosens a stricter mode the old file had.
enum class FileSecrecy { shared, keyCodes };
// Whether an existing file under the target name may be replaced. `keep`
// fails instead, atomically: a file created there while the writer worked
// (after any early check) survives.
enum class ExistingFile { replace, keep };

// Writes `contents` to `path` atomically. Returns an error text naming the
// path on failure, in which case the previous file is untouched and no
// temporary file is left behind.
std::optional<std::string> writeFileAtomically(const std::filesystem::path& path,
                                               std::string_view contents,
                                               FileSecrecy secrecy = FileSecrecy::shared);

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
    explicit AtomicFileStream(std::filesystem::path target,
                              FileSecrecy secrecy = FileSecrecy::shared,
                              ExistingFile existing = ExistingFile::replace);
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
    ExistingFile _existing;
    std::ofstream _out;
    std::optional<std::string> _openError;
    bool _done = false;
};

// Makes a written file (or folder) durable: fsync on Linux. Without a hook the
// rename is still atomic, only not guaranteed to survive a power cut.
using FileSyncHook = bool (*)(const std::filesystem::path& pathToSync);
void setFileSyncHook(FileSyncHook hook) noexcept;

// The platform's rules for creating and placing a file (the Linux ones are
// platform/linux/system/safe_file). Without them the temporary file gets the
// stream library's default mode and `keep` is checked before the rename
// only, not atomically: enough for tests of the engine alone.
struct FilePlacementHooks {
    // Resolves `target` to the file to write (`resolved`) and creates the
    // empty temporary file `temp` beside it, exclusively, with its final
    // mode. Returns an error naming the path on failure.
    std::optional<std::string> (*begin)(const std::filesystem::path& target, FileSecrecy secrecy,
                                        std::filesystem::path& resolved,
                                        std::filesystem::path& temp);
    // Moves the written, synced `temp` to `resolved`; on failure `temp` is
    // still there and the error names the path.
    std::optional<std::string> (*place)(const std::filesystem::path& temp,
                                        const std::filesystem::path& resolved,
                                        ExistingFile existing);
};
void setFilePlacementHooks(const FilePlacementHooks* hooks) noexcept;

} // namespace clavio
