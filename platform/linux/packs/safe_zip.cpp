#include "platform/linux/packs/safe_zip.h"

#include <archive.h>
#include <archive_entry.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace clavio::platform {

namespace fs = std::filesystem;

namespace {

// libarchive opened on the first unpacking (dlopen) rather than linked: it and
// what it pulls in (libxml2, nettle, several compressors) stay out of the tray
// app, which unpacks only when the user imports a pack.
struct ArchiveLibrary {
    decltype(&::archive_read_new) read_new;
    decltype(&::archive_read_free) read_free;
    decltype(&::archive_read_support_format_zip) read_support_format_zip;
    decltype(&::archive_read_open_filename) read_open_filename;
    decltype(&::archive_read_next_header) read_next_header;
    decltype(&::archive_read_data) read_data;
    decltype(&::archive_error_string) error_string;
    decltype(&::archive_entry_pathname) entry_pathname;
    decltype(&::archive_entry_filetype) entry_filetype;
    decltype(&::archive_entry_hardlink) entry_hardlink;
    decltype(&::archive_entry_symlink) entry_symlink;
};

// The soname of the libarchive the headers come from (libarchive13).
constexpr const char* kArchiveSoname = "libarchive.so.13";

// The library, loaded once for the process; nullptr and `error` when it cannot be.
const ArchiveLibrary* archiveLibrary(std::string& error) {
    static std::string loadError;
    static const ArchiveLibrary* const lib = []() -> const ArchiveLibrary* {
        void* handle = dlopen(kArchiveSoname, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* why = dlerror();
            loadError = why ? why : kArchiveSoname;
            return nullptr;
        }
        static ArchiveLibrary l{};
        const auto bind = [&](auto& slot, const char* name) {
            void* symbol = dlsym(handle, name);
            if (!symbol && loadError.empty()) {
                loadError = std::string(kArchiveSoname) + " lacks " + name;
            }
            slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(symbol);
        };
        bind(l.read_new, "archive_read_new");
        bind(l.read_free, "archive_read_free");
        bind(l.read_support_format_zip, "archive_read_support_format_zip");
        bind(l.read_open_filename, "archive_read_open_filename");
        bind(l.read_next_header, "archive_read_next_header");
        bind(l.read_data, "archive_read_data");
        bind(l.error_string, "archive_error_string");
        bind(l.entry_pathname, "archive_entry_pathname");
        bind(l.entry_filetype, "archive_entry_filetype");
        bind(l.entry_hardlink, "archive_entry_hardlink");
        bind(l.entry_symlink, "archive_entry_symlink");
        return loadError.empty() ? &l : nullptr;
    }();
    error = loadError;
    return lib;
}

struct ArchiveCloser {
    const ArchiveLibrary* lib;
    void operator()(archive* a) const { lib->read_free(a); }
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
std::string errorText(const ArchiveLibrary& lib, archive* reader) {
    const char* text = lib.error_string(reader);
    return text != nullptr ? text : "unknown error";
}

// Folders an entry may sit in: a pack needs a few; thousands of entries each
// thousands of folders deep would make millions of folders.
constexpr std::size_t kMaxEntryDepth = 8;

} // namespace

std::optional<std::string> unpackZip(const fs::path& zip, const fs::path& folder,
                                     const ZipLimits& limits) {
    std::string loadError;
    const ArchiveLibrary* lib = archiveLibrary(loadError);
    if (!lib) {
        return zip.string() + ": cannot unpack zip files here (" + loadError + ")";
    }
    std::unique_ptr<archive, ArchiveCloser> reader(lib->read_new(), ArchiveCloser{lib});
    if (!reader) {
        return zip.string() + ": cannot unpack zip files here (out of memory)";
    }
    lib->read_support_format_zip(reader.get());
    if (lib->read_open_filename(reader.get(), zip.c_str(), 64 * 1024) != ARCHIVE_OK) {
        return zip.string() + ": not a zip file (" + errorText(*lib, reader.get()) + ")";
    }
    std::uint64_t totalBytes = 0;
    std::uint64_t files = 0;
    archive_entry* entry = nullptr;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const int status = lib->read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) {
            break;
        }
        if (status < ARCHIVE_WARN) {
            return zip.string() + ": damaged zip (" + errorText(*lib, reader.get()) + ")";
        }
        const char* name = lib->entry_pathname(entry);
        const auto relative = safeRelativePath(name);
        if (!relative) {
            return zip.string() + ": entry " + quoted(name) +
                   " is absolute or climbs out of the folder; refused";
        }
        if (std::distance(relative->begin(), relative->end()) > std::ptrdiff_t(kMaxEntryDepth)) {
            return zip.string() + ": entry " + quoted(name) + " lies more than " +
                   std::to_string(kMaxEntryDepth) + " folders deep; refused";
        }
        const auto type = lib->entry_filetype(entry);
        if (lib->entry_hardlink(entry) != nullptr || lib->entry_symlink(entry) != nullptr ||
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
        FdCloser out{
            ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644)};
        if (out.fd < 0) {
            return zip.string() + ": entry " + quoted(name) + ": " + std::strerror(errno);
        }
        for (;;) {
            const la_ssize_t got = lib->read_data(reader.get(), buffer.data(), buffer.size());
            if (got == 0) {
                break;
            }
            if (got < 0) {
                return zip.string() + ": entry " + quoted(name) + ": " +
                       errorText(*lib, reader.get());
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
