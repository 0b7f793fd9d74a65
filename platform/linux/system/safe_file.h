// One rule for every file the programs write (WAV, events, traces, settings,
// presets, imported packs):
//   - the target is checked before any long work: its folder exists, it is
//     not a folder, device or FIFO (renaming over /dev/null would replace the
//     device), and a symbolic link is followed only where the kernel's
//     protected_symlinks would follow it (not a link owned by someone else in
//     a world-writable sticky folder such as /tmp);
//   - the contents go to a new temporary file beside the target, created
//     exclusively (O_EXCL) with its final mode from the start: 0600 for files
//     that log key codes, else 0644, never looser than the file it replaces;
//   - the temporary file is synced, then renamed into place: a plain rename
//     where replacing is what the user asked, renameat2(RENAME_NOREPLACE)
//     (link + unlink where the filesystem lacks it) where it is not, so a
//     file created meanwhile is never lost;
//   - a command with several outputs writes every temporary file first and
//     renames them only when all are complete (commitTogether).
// A folder is written the same way: a temporary folder beside the target,
// then placeFolder(), which never replaces.
//
// Threading: any non-real-time thread; each SafeFile on one thread at a time.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "engine/core/atomic_file.h"

namespace clavio::platform {

// fsync of a file or folder. False when it cannot be opened or synced.
bool fsyncPath(const std::filesystem::path& path);

// Installs fsync and the rules above as the engine's file hooks (settings,
// presets and traces are written through engine/core/atomic_file). Called
// once by main().
void installSafeFileWrites() noexcept;

// 0600 or 0644.
mode_t modeFor(FileSecrecy secrecy) noexcept;

// The file an output path names once links that may be followed are; an
// error (one line naming `requested`) for a link that may not be, a missing
// folder, a folder or special file.
std::optional<std::string> resolveOutput(const std::filesystem::path& requested,
                                         std::filesystem::path& resolved);

// resolveOutput, then whether the folder accepts a new file (a probe file is
// created and removed) and, with ExistingFile::keep, that no file is there
// yet. Meant to run before work that would otherwise be wasted.
std::optional<std::string> checkOutput(const std::filesystem::path& requested,
                                       ExistingFile existing = ExistingFile::replace);

// True when two paths name the same file: the same device and inode for
// files that exist, the same folder (device and inode) and name for files
// not yet created. Links are followed as resolveOutput does.
bool sameOutput(const std::filesystem::path& a, const std::filesystem::path& b);

// A file written under a temporary name and moved into place.
class SafeFile {
public:
    SafeFile() = default;
    ~SafeFile();
    SafeFile(const SafeFile&) = delete;
    SafeFile& operator=(const SafeFile&) = delete;

    // Checks `target` (checkOutput) and creates the temporary file. Returns
    // an error naming the path on failure, leaving nothing behind.
    std::optional<std::string> open(const std::filesystem::path& target, FileSecrecy secrecy,
                                    ExistingFile existing);
    // The open temporary file; -1 once released or closed.
    int fd() const { return _fd; }
    // Hands the descriptor to a writer that closes it itself (libsndfile).
    int releaseFd() noexcept;
    // Appends bytes; after an error the file is failed.
    std::optional<std::string> write(const void* data, std::size_t size);
    // Closes the descriptor and syncs the temporary file to disk.
    std::optional<std::string> sync();
    // Moves the synced file into place and syncs the folder. On failure the
    // temporary file is removed and the target is as it was.
    std::optional<std::string> place();
    std::optional<std::string> commit();
    // Gives up: removes the temporary file. Also done by the destructor.
    void discard() noexcept;

    const std::filesystem::path& target() const { return _target; }
    const std::filesystem::path& tempPath() const { return _temp; }

private:
    std::filesystem::path _requested;
    std::filesystem::path _target;
    std::filesystem::path _temp;
    ExistingFile _existing = ExistingFile::replace;
    int _fd = -1;
    std::optional<std::string> _error;
};

// Syncs every file, then places each: a failure before the first rename
// leaves every target as it was; every temporary file is gone afterwards.
std::optional<std::string> commitTogether(std::initializer_list<SafeFile*> files);

// Creates the temporary file beside `resolved` with `mode` (exclusively,
// without following links) and returns its descriptor, or -1 with errno.
int createTempBeside(const std::filesystem::path& resolved, mode_t mode,
                     std::filesystem::path& temp);
// Moves `temp` to `target`: rename(2), or with ExistingFile::keep
// renameat2(RENAME_NOREPLACE), falling back to link(2) + unlink(2) for files
// where the filesystem lacks it. Returns an error naming `target`.
std::optional<std::string> moveIntoPlace(const std::filesystem::path& temp,
                                         const std::filesystem::path& target,
                                         ExistingFile existing);

// Folders: a new empty folder (0755) beside `target` to fill, and its move
// into place, which never replaces anything. Where RENAME_NOREPLACE is
// missing the fallback checks that the target is absent before renaming (a
// folder rename replaces only an empty folder).
std::optional<std::string> createTempFolderBeside(const std::filesystem::path& target,
                                                  std::filesystem::path& temp);
std::optional<std::string> placeFolder(const std::filesystem::path& temp,
                                       const std::filesystem::path& target);
// Swaps two existing folders in one step (renameat2(RENAME_EXCHANGE)): a
// replacement asked for, where the old folder stays whole until the new one
// is in place (it is then at `temp`, for the caller to remove).
std::optional<std::string> exchangeFolders(const std::filesystem::path& temp,
                                           const std::filesystem::path& target);

} // namespace clavio::platform
