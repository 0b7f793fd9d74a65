#include "platform/linux/system/safe_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace clavio::platform {

namespace fs = std::filesystem;

namespace {

std::string randomSuffix() {
    thread_local std::mt19937_64 rng{std::random_device{}()};
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 12; ++i) {
        s.push_back(kDigits[rng() % 16]);
    }
    return s;
}

fs::path folderOf(const fs::path& path) {
    return path.parent_path().empty() ? fs::path(".") : path.parent_path();
}

std::string errnoText() {
    return std::strerror(errno);
}

// The kernel's protected_symlinks rule: in a sticky, world-writable folder a
// link is followed only by its owner or when the folder's owner owns it.
bool mayFollow(const struct stat& link, const struct stat& folder) {
    const bool shared = (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
    return !shared || link.st_uid == ::geteuid() || link.st_uid == folder.st_uid;
}

// Identity of an output: (device, inode) of the file, or of its folder plus
// its name when it does not exist yet.
struct Identity {
    dev_t dev = 0;
    ino_t ino = 0;
    std::string name;
    bool operator==(const Identity&) const = default;
};

std::optional<Identity> identityOf(const fs::path& requested) {
    fs::path path;
    if (resolveOutput(requested, path)) {
        return std::nullopt;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        return Identity{st.st_dev, st.st_ino, {}};
    }
    if (::stat(folderOf(path).c_str(), &st) == 0) {
        return Identity{st.st_dev, st.st_ino, path.filename().string()};
    }
    return std::nullopt;
}

std::optional<std::string> hookBegin(const fs::path& target, FileSecrecy secrecy,
                                     fs::path& resolved, fs::path& temp) {
    if (auto error = resolveOutput(target, resolved)) {
        return error;
    }
    mode_t mode = modeFor(secrecy);
    struct stat st {};
    if (::stat(resolved.c_str(), &st) == 0) {
        // Never looser for others than the file replaced; the owner keeps
        // reading and writing (the stream reopens the file to write it).
        mode = (mode & st.st_mode & 07777) | S_IRUSR | S_IWUSR;
    }
    const int fd = createTempBeside(resolved, mode, temp);
    if (fd < 0) {
        return "cannot create a file in " + folderOf(resolved).string() + ": " + errnoText();
    }
    ::close(fd);
    return std::nullopt;
}

const FilePlacementHooks kHooks{&hookBegin, &moveIntoPlace};

} // namespace

bool fsyncPath(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

void installSafeFileWrites() noexcept {
    setFileSyncHook(&fsyncPath);
    setFilePlacementHooks(&kHooks);
}

mode_t modeFor(FileSecrecy secrecy) noexcept {
    return secrecy == FileSecrecy::keyCodes ? 0600 : 0644;
}

std::optional<std::string> resolveOutput(const fs::path& requested, fs::path& resolved) {
    if (requested.empty()) {
        return std::string("no output file given");
    }
    fs::path path = requested;
    for (int hops = 0;; ++hops) {
        if (hops == 40) {
            return requested.string() + ": too many levels of symbolic links";
        }
        struct stat link {};
        if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
            break;
        }
        struct stat folder {};
        if (::stat(folderOf(path).c_str(), &folder) == 0 && !mayFollow(link, folder)) {
            return requested.string() +
                   ": a symbolic link owned by another user in the shared "
                   "folder " +
                   folderOf(path).string() + "; not following it";
        }
        std::error_code ec;
        const fs::path next = fs::read_symlink(path, ec);
        if (ec) {
            return requested.string() + ": " + ec.message();
        }
        path = next.is_absolute() ? next : folderOf(path) / next;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return requested.string() + ": is a folder";
        }
        if (!S_ISREG(st.st_mode)) {
            return requested.string() + ": is not a regular file";
        }
    }
    const fs::path folder = folderOf(path);
    if (::stat(folder.c_str(), &st) != 0) {
        return requested.string() + ": folder " + folder.string() + " does not exist";
    }
    if (!S_ISDIR(st.st_mode)) {
        return requested.string() + ": " + folder.string() + " is not a folder";
    }
    resolved = path;
    return std::nullopt;
}

std::optional<std::string> checkOutput(const fs::path& requested, ExistingFile existing) {
    fs::path path;
    if (auto error = resolveOutput(requested, path)) {
        return error;
    }
    struct stat st {};
    if (existing == ExistingFile::keep && ::lstat(path.c_str(), &st) == 0) {
        return requested.string() + " already exists";
    }
    fs::path probe;
    const int fd = createTempBeside(path, 0600, probe);
    if (fd < 0) {
        return requested.string() + ": cannot create a file in " + folderOf(path).string() + ": " +
               errnoText();
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return std::nullopt;
}

bool sameOutput(const fs::path& a, const fs::path& b) {
    const auto ia = identityOf(a);
    return ia && ia == identityOf(b);
}

int createTempBeside(const fs::path& resolved, mode_t mode, fs::path& temp) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        temp = resolved.string() + ".tmp-" + randomSuffix();
        const int fd =
            ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

std::optional<std::string> moveIntoPlace(const fs::path& temp, const fs::path& target,
                                         ExistingFile existing) {
    if (existing == ExistingFile::replace) {
        if (::rename(temp.c_str(), target.c_str()) != 0) {
            return target.string() + ": cannot move into place: " + errnoText();
        }
        return std::nullopt;
    }
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        return std::nullopt;
    }
    if (errno == EINVAL || errno == ENOSYS) {
        // link(2) fails with EEXIST as atomically as RENAME_NOREPLACE does.
        if (::link(temp.c_str(), target.c_str()) == 0) {
            ::unlink(temp.c_str());
            return std::nullopt;
        }
    }
    if (errno == EEXIST) {
        return target.string() + " appeared while it was being written; it was left as it is";
    }
    return target.string() + ": cannot move into place: " + errnoText();
}

SafeFile::~SafeFile() {
    discard();
}

std::optional<std::string> SafeFile::open(const fs::path& target, FileSecrecy secrecy,
                                          ExistingFile existing) {
    discard();
    _error.reset();
    _requested = target;
    _existing = existing;
    if (auto error = checkOutput(target, existing)) {
        return error;
    }
    if (auto error = hookBegin(target, secrecy, _target, _temp)) {
        _temp.clear();
        return target.string() + ": " + *error;
    }
    _fd = ::open(_temp.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (_fd < 0) {
        const std::string error = target.string() + ": " + errnoText();
        discard();
        return error;
    }
    return std::nullopt;
}

int SafeFile::releaseFd() noexcept {
    const int fd = _fd;
    _fd = -1;
    return fd;
}

std::optional<std::string> SafeFile::write(const void* data, std::size_t size) {
    if (_error) {
        return _error;
    }
    const char* bytes = static_cast<const char*>(data);
    while (size > 0 && _fd >= 0) {
        const ssize_t n = ::write(_fd, bytes, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            _error = _requested.string() + ": " + (n < 0 ? errnoText() : "nothing written");
            return _error;
        }
        bytes += n;
        size -= std::size_t(n);
    }
    if (_fd < 0) {
        _error = _requested.string() + ": not open";
    }
    return _error;
}

std::optional<std::string> SafeFile::sync() {
    if (_error) {
        return _error;
    }
    if (_temp.empty()) {
        return _requested.string() + ": not open";
    }
    const bool synced = _fd >= 0 ? ::fsync(_fd) == 0 : fsyncPath(_temp);
    if (_fd >= 0 && ::close(releaseFd()) != 0) {
        _error = _requested.string() + ": " + errnoText();
    } else if (!synced) {
        _error = _requested.string() + ": cannot flush to disk";
    }
    return _error;
}

std::optional<std::string> SafeFile::place() {
    if (_error || _temp.empty()) {
        const auto error = _error.value_or(_requested.string() + ": not open");
        discard();
        return error;
    }
    if (auto error = moveIntoPlace(_temp, _target, _existing)) {
        discard();
        return error;
    }
    _temp.clear();
    fsyncPath(folderOf(_target));
    return std::nullopt;
}

std::optional<std::string> SafeFile::commit() {
    if (auto error = sync()) {
        discard();
        return error;
    }
    return place();
}

void SafeFile::discard() noexcept {
    if (_fd >= 0) {
        ::close(releaseFd());
    }
    if (!_temp.empty()) {
        ::unlink(_temp.c_str());
        _temp.clear();
    }
}

std::optional<std::string> commitTogether(std::initializer_list<SafeFile*> files) {
    std::optional<std::string> error;
    for (SafeFile* file : files) {
        if (!error) {
            error = file->sync();
        }
    }
    for (SafeFile* file : files) {
        if (error) {
            file->discard();
        } else {
            error = file->place();
        }
    }
    return error;
}

std::optional<std::string> createTempFolderBeside(const fs::path& target, fs::path& temp) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        temp = target.string() + ".tmp-" + randomSuffix();
        if (::mkdir(temp.c_str(), 0755) == 0) {
            return std::nullopt;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return "cannot create a folder beside " + target.string() + ": " + errnoText();
}

std::optional<std::string> placeFolder(const fs::path& temp, const fs::path& target) {
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        fsyncPath(folderOf(target));
        return std::nullopt;
    }
    if (errno == EINVAL || errno == ENOSYS) {
        struct stat st {};
        if (::lstat(target.c_str(), &st) == 0) {
            errno = EEXIST;
        } else if (::rename(temp.c_str(), target.c_str()) == 0) {
            fsyncPath(folderOf(target));
            return std::nullopt;
        } else if (errno == ENOTEMPTY) {
            errno = EEXIST;
        }
    }
    if (errno == EEXIST) {
        return target.string() + " already exists; it was left as it is";
    }
    return target.string() + ": cannot move into place: " + errnoText();
}

std::optional<std::string> exchangeFolders(const fs::path& temp, const fs::path& target) {
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0) {
        return target.string() + ": cannot replace: " + errnoText();
    }
    fsyncPath(folderOf(target));
    return std::nullopt;
}

} // namespace clavio::platform
