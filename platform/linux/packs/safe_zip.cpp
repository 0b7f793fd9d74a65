#include "platform/linux/packs/safe_zip.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace clavio::platform {

namespace fs = std::filesystem;

namespace {

struct ArchiveCloser {
    void operator()(archive* a) const { archive_read_free(a); }
};

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// The entry's path when it stays inside the folder by its text alone.
std::optional<fs::path> safeRelativePath(const char* name) {
    if (name == nullptr || *name == '\0') {
        return std::nullopt;
    }
    const fs::path path(name);
    if (path.is_absolute() || path.has_root_path()) {
        return std::nullopt;
    }
    for (const auto& part : path) {
        if (part == "..") {
            return std::nullopt;
        }
    }
    const fs::path normal = path.lexically_normal();
    if (normal.empty() || normal == ".") {
        return std::nullopt;
    }
    return normal;
}

std::string quoted(const char* name) {
    std::string s = name ? name : "";
    for (char& c : s) {
        if (static_cast<unsigned char>(c) < 0x20) {
            c = '?';
        }
    }
    return "\"" + s + "\"";
}

// libarchive's message, which may be absent.
std::string errorText(archive* reader) {
    const char* text = archive_error_string(reader);
    return text != nullptr ? text : "unknown error";
}

// Folders an entry may sit in: a pack needs a few; thousands of entries each
// thousands of folders deep would make millions of folders.
constexpr std::size_t kMaxEntryDepth = 8;

} // namespace

std::optional<std::string> unpackZip(const fs::path& zip, const fs::path& folder,
                                     const ZipLimits& limits) {
    std::unique_ptr<archive, ArchiveCloser> reader(archive_read_new());
    archive_read_support_format_zip(reader.get());
    if (archive_read_open_filename(reader.get(), zip.c_str(), 64 * 1024) != ARCHIVE_OK) {
        return zip.string() + ": not a zip file (" + errorText(reader.get()) + ")";
    }
    std::uint64_t totalBytes = 0;
    std::uint64_t files = 0;
    archive_entry* entry = nullptr;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) {
            break;
        }
        if (status < ARCHIVE_WARN) {
            return zip.string() + ": damaged zip (" + errorText(reader.get()) + ")";
        }
        const char* name = archive_entry_pathname(entry);
        const auto relative = safeRelativePath(name);
        if (!relative) {
            return zip.string() + ": entry " + quoted(name) +
                   " is absolute or climbs out of the folder; refused";
        }
        if (std::distance(relative->begin(), relative->end()) > std::ptrdiff_t(kMaxEntryDepth)) {
            return zip.string() + ": entry " + quoted(name) + " lies more than " +
                   std::to_string(kMaxEntryDepth) + " folders deep; refused";
        }
        const auto type = archive_entry_filetype(entry);
        if (archive_entry_hardlink(entry) != nullptr || archive_entry_symlink(entry) != nullptr ||
            type == AE_IFLNK) {
            return zip.string() + ": entry " + quoted(name) + " is a link; refused";
        }
        // Folders count too: a million empty ones are no better than files.
        if (++files > limits.maxFiles) {
            return zip.string() + ": more than " + std::to_string(limits.maxFiles) +
                   " entries; refused";
        }
        const fs::path target = folder / *relative;
        std::error_code ec;
        if (type == AE_IFDIR) {
            fs::create_directories(target, ec);
            if (ec) {
                return target.string() + ": " + ec.message();
            }
            continue;
        }
        if (type != AE_IFREG) {
            return zip.string() + ": entry " + quoted(name) + " is not a file or folder; refused";
        }
        fs::create_directories(target.parent_path(), ec);
        if (ec) {
            return target.parent_path().string() + ": " + ec.message();
        }
        // A new file only: no entry may replace another or follow a link.
        FdCloser out{::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            0644)};
        if (out.fd < 0) {
            return zip.string() + ": entry " + quoted(name) + ": " + std::strerror(errno);
        }
        for (;;) {
            const la_ssize_t got = archive_read_data(reader.get(), buffer.data(), buffer.size());
            if (got == 0) {
                break;
            }
            if (got < 0) {
                return zip.string() + ": entry " + quoted(name) + ": " +
                       errorText(reader.get());
            }
            totalBytes += static_cast<std::uint64_t>(got);
            if (totalBytes > limits.maxTotalBytes) {
                return zip.string() + ": unpacks to more than " +
                       (limits.maxTotalBytes >= (1u << 20)
                            ? std::to_string(limits.maxTotalBytes >> 20) + " MB"
                            : std::to_string(limits.maxTotalBytes) + " bytes") +
                       "; refused";
            }
            for (la_ssize_t done = 0; done < got;) {
                const ssize_t n = ::write(out.fd, buffer.data() + done, std::size_t(got - done));
                if (n < 0) {
                    if (errno == EINTR) {
                        continue;
                    }
                    return target.string() + ": " + std::strerror(errno);
                }
                done += n;
            }
        }
    }
    return std::nullopt;
}

} // namespace clavio::platform
