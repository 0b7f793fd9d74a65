#include "clavio/atomic_file.h"

#include <atomic>
#include <fstream>
#include <random>

namespace clavio {

namespace {
std::atomic<FileSyncHook> gSyncHook{nullptr};

std::string uniqueSuffix() {
    thread_local std::mt19937_64 rng{std::random_device{}()};
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s = ".tmp-";
    for (int i = 0; i < 12; ++i) {
        s.push_back(kDigits[rng() % 16]);
    }
    return s;
}
} // namespace

void setFileSyncHook(FileSyncHook hook) noexcept {
    gSyncHook.store(hook);
}

std::optional<std::string> writeFileAtomically(const std::filesystem::path& path,
                                               std::string_view contents) {
    const std::filesystem::path temp = path.string() + uniqueSuffix();
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            return "cannot create " + temp.string();
        }
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        out.flush();
        if (!out) {
            std::error_code ec;
            out.close();
            std::filesystem::remove(temp, ec);
            return "cannot write " + temp.string();
        }
    }
    const FileSyncHook sync = gSyncHook.load();
    if (sync && !sync(temp)) {
        std::error_code ec;
        std::filesystem::remove(temp, ec);
        return "cannot flush " + temp.string() + " to disk";
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    if (ec) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        return "cannot replace " + path.string() + ": " + ec.message();
    }
    if (sync) {
        sync(path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path());
    }
    return std::nullopt;
}

} // namespace clavio
