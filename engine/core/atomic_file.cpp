#include "engine/core/atomic_file.h"

#include <atomic>
#include <random>

namespace clavio {

namespace {
std::atomic<FileSyncHook> gSyncHook{nullptr};
std::atomic<const FilePlacementHooks*> gPlacement{nullptr};

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

void setFilePlacementHooks(const FilePlacementHooks* hooks) noexcept {
    gPlacement.store(hooks);
}

AtomicFileStream::AtomicFileStream(std::filesystem::path target, FileSecrecy secrecy,
                                   ExistingFile existing)
    : _target(std::move(target)), _existing(existing) {
    if (const FilePlacementHooks* hooks = gPlacement.load()) {
        std::filesystem::path resolved;
        if (auto error = hooks->begin(_target, secrecy, resolved, _temp)) {
            _openError = std::move(error);
            _done = true;
            return;
        }
        _target = std::move(resolved);
    } else {
        _temp = _target.string() + uniqueSuffix();
    }
    // The platform made the file with its final mode; opening it again keeps
    // that mode.
    _out.open(_temp, std::ios::binary | std::ios::trunc);
    if (!_out) {
        _openError = "cannot create " + _temp.string();
        _done = true;
        std::error_code ec;
        std::filesystem::remove(_temp, ec);
    }
}

AtomicFileStream::~AtomicFileStream() {
    discard();
}

void AtomicFileStream::discard() noexcept {
    if (_done) {
        return;
    }
    _done = true;
    _out.close();
    std::error_code ec;
    std::filesystem::remove(_temp, ec);
}

std::optional<std::string> AtomicFileStream::commit() {
    if (_openError) {
        return _openError;
    }
    if (_done) {
        return "already finished writing " + _target.string();
    }
    _out.flush();
    const bool written = bool(_out);
    _out.close();
    if (!written || _out.fail()) {
        discard();
        return "cannot write " + _temp.string();
    }
    _done = true;
    std::error_code ec;
    const FileSyncHook sync = gSyncHook.load();
    if (sync && !sync(_temp)) {
        std::filesystem::remove(_temp, ec);
        return "cannot flush " + _temp.string() + " to disk";
    }
    if (const FilePlacementHooks* hooks = gPlacement.load()) {
        if (auto error = hooks->place(_temp, _target, _existing)) {
            std::filesystem::remove(_temp, ec);
            return error;
        }
    } else if (_existing == ExistingFile::keep && std::filesystem::exists(_target, ec)) {
        std::filesystem::remove(_temp, ec);
        return _target.string() + " already exists";
    } else {
        std::filesystem::rename(_temp, _target, ec);
        if (ec) {
            const std::string message = "cannot replace " + _target.string() + ": " + ec.message();
            std::filesystem::remove(_temp, ec);
            return message;
        }
    }
    if (sync) {
        sync(_target.parent_path().empty() ? std::filesystem::path(".") : _target.parent_path());
    }
    return std::nullopt;
}

std::optional<std::string> writeFileAtomically(const std::filesystem::path& path,
                                               std::string_view contents, FileSecrecy secrecy) {
    AtomicFileStream file(path, secrecy);
    if (file.openError()) {
        return file.openError();
    }
    file.stream().write(contents.data(), static_cast<std::streamsize>(contents.size()));
    return file.commit();
}

} // namespace clavio
