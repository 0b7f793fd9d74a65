// The per-user defaults store as a JSON object in "defaults.json" under
// $XDG_CONFIG_HOME/Clavio, rewritten atomically on every change.
//
// A file that does not parse (or is not a JSON object, or nests values more
// than 64 levels deep) reads as empty, with one log line; it is kept, not overwritten: the first
// write renames it to "defaults.json.unreadable" (or ".unreadable-2", ... if that exists) beside
// the new file. If it cannot be renamed, nothing is written over it. A write that fails keeps the
// value in memory and logs once per failure.
//
// Threading: any thread; one lock guards the values and the file.
#pragma once

#include <filesystem>
#include <mutex>

#include <nlohmann/json.hpp>

#include "engine/ports/defaults_store.h"

namespace clavio {

// The largest defaults file read; a larger one is unreadable (set aside as
// above, after a log line naming the file and the cap).
inline constexpr std::uintmax_t kMaxDefaultsBytes = 1u << 20;

class JsonDefaultsStore final : public DefaultsStore {
public:
    // The file under xdgConfigHome() at the time of construction.
    JsonDefaultsStore();
    explicit JsonDefaultsStore(std::filesystem::path file);

    static std::filesystem::path defaultPath();

    std::optional<std::string> stringForKey(std::string_view key) const override;
    void setString(std::string_view key, std::string value) override;
    std::int64_t integerForKey(std::string_view key) const override;
    void setInteger(std::string_view key, std::int64_t value) override;

    const std::filesystem::path& path() const noexcept { return _file; }

private:
    void saveLocked();

    const std::filesystem::path _file;
    mutable std::mutex _mutex;
    nlohmann::json _values = nlohmann::json::object();
    std::filesystem::path _unreadableBackup; // where an unreadable file goes at the first write
};

} // namespace clavio
