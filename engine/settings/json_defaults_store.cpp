#include "engine/settings/json_defaults_store.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

#include "engine/core/atomic_file.h"
#include "engine/core/file_read.h"
#include "engine/core/log.h"
#include "engine/core/paths.h"

namespace clavio {

namespace {

constexpr int kMaxDefaultsDepth = 64;

std::filesystem::path unusedBackupPath(const std::filesystem::path& file) {
    std::error_code ec;
    std::filesystem::path candidate = file.string() + ".unreadable";
    for (int n = 2; std::filesystem::exists(candidate, ec) && n < 1000; ++n) {
        candidate = file.string() + ".unreadable-" + std::to_string(n);
    }
    return candidate;
}

} // namespace

std::filesystem::path JsonDefaultsStore::defaultPath() {
    return xdgConfigHome() / "Clavio" / "defaults.json";
}

JsonDefaultsStore::JsonDefaultsStore() : JsonDefaultsStore(defaultPath()) {}

JsonDefaultsStore::JsonDefaultsStore(std::filesystem::path file) : _file(std::move(file)) {
    std::error_code ec;
    if (!std::filesystem::exists(_file, ec)) {
        return;
    }
    // Anything but a regular file (a folder, a FIFO that would block) is
    // unreadable too, and is set aside the same way.
    nlohmann::json parsed;
    if (std::filesystem::is_regular_file(_file, ec)) {
        // Read within a cap: a huge file would take memory many times its
        // size as parsed JSON, at every start.
        const auto read = readFileLimited(_file, kMaxDefaultsBytes);
        if (read.status == FileReadResult::Status::tooLarge) {
            logLine("[Clavio] " + read.error);
        }
        // Every member is written back at each change, and writing recurses
        // once per nesting level: a file nested deeper than any defaults
        // need would overflow the stack at the first write, on every launch.
        bool tooDeep = false;
        parsed = nlohmann::json::parse(
            read.ok() ? read.contents : std::string(),
            [&tooDeep](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
                tooDeep = tooDeep || depth > kMaxDefaultsDepth;
                return true;
            },
            false);
        if (tooDeep) {
            parsed = nlohmann::json(nlohmann::json::value_t::discarded);
        }
    }
    if (!parsed.is_object()) {
        _unreadableBackup = unusedBackupPath(_file);
        logLine("[Clavio] Defaults file " + _file.string() +
                " is unreadable; starting with empty defaults (the file is kept as " +
                _unreadableBackup.filename().string() + ")");
        return;
    }
    _values = std::move(parsed);
}

std::optional<std::string> JsonDefaultsStore::stringForKey(std::string_view key) const {
    std::lock_guard lock(_mutex);
    const auto it = _values.find(key);
    if (it == _values.end() || !it->is_string()) {
        return std::nullopt;
    }
    return it->get<std::string>();
}

void JsonDefaultsStore::setString(std::string_view key, std::string value) {
    std::lock_guard lock(_mutex);
    _values[std::string(key)] = std::move(value);
    saveLocked();
}

std::int64_t JsonDefaultsStore::integerForKey(std::string_view key) const {
    std::lock_guard lock(_mutex);
    const auto it = _values.find(key);
    if (it == _values.end()) {
        return 0;
    }
    if (it->is_number_unsigned()) {
        const auto value = it->get<std::uint64_t>();
        constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
        return value > kMax ? std::numeric_limits<std::int64_t>::max()
                            : static_cast<std::int64_t>(value);
    }
    if (it->is_number_integer()) {
        return it->get<std::int64_t>();
    }
    return 0;
}

void JsonDefaultsStore::setInteger(std::string_view key, std::int64_t value) {
    std::lock_guard lock(_mutex);
    _values[std::string(key)] = value;
    saveLocked();
}

void JsonDefaultsStore::saveLocked() {
    std::error_code ec;
    std::filesystem::create_directories(_file.parent_path(), ec);
    if (!_unreadableBackup.empty()) {
        std::filesystem::rename(_file, _unreadableBackup, ec);
        std::error_code existsError;
        if (ec && std::filesystem::exists(_file, existsError)) {
            // Never write over a file that could not be set aside.
            logLine("[Clavio] Cannot set the unreadable defaults file aside (" + ec.message() +
                    "); defaults are kept in memory only");
            return;
        }
        _unreadableBackup.clear();
    }
    const std::string text =
        _values.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    if (auto error = writeFileAtomically(_file, text)) {
        logLine("[Clavio] Cannot save defaults: " + *error);
    }
}

} // namespace clavio
