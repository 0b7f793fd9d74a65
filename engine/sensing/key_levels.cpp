#include "engine/sensing/key_levels.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <system_error>

#include <nlohmann/json.hpp>

#include "engine/core/atomic_file.h"
#include "engine/core/file_read.h"

namespace clavio {

namespace {

constexpr std::string_view kFormat = "clavio-key-levels";
constexpr std::int64_t kVersion = 1;
// Levels of scores between 1e-7 g and 64 g: anything else is no
// accelerometer's reading.
const double kLowestLevel = std::log(1e-7);
const double kHighestLevel = std::log(64.0);

bool usableLevel(const nlohmann::json& v) {
    if (!v.is_number()) {
        return false;
    }
    const double level = v.get<double>();
    return std::isfinite(level) && level >= kLowestLevel && level <= kHighestLevel;
}

bool usableStrikes(const nlohmann::json& v) {
    return v.is_number_unsigned() && v.get<std::uint64_t>() <= (std::uint64_t(1) << 40);
}

} // namespace

void KeyLevels::add(Level& level, double x, std::uint32_t window) noexcept {
    if (level.strikes < std::numeric_limits<std::uint64_t>::max()) {
        ++level.strikes;
    }
    const double n = double(std::min<std::uint64_t>(level.strikes, window));
    level.level += (x - level.level) / n;
}

void KeyLevels::learn(std::uint16_t code, float score, float floor) noexcept {
    if (code >= kCodes || !std::isfinite(score) || !(score > floor) || !(score > 0.0f)) {
        return;
    }
    const double x = std::log(double(score));
    std::lock_guard lock(_lock);
    add(_keys[code], x, kKeyWindow);
    add(_overall, x, kOverallWindow);
    ++_unsaved;
}

float KeyLevels::factor(std::uint16_t code) const noexcept {
    if (code >= kCodes) {
        return 1.0f;
    }
    std::lock_guard lock(_lock);
    const Level& key = _keys[code];
    if (key.strikes < kMinimumStrikes || _overall.strikes == 0) {
        return 1.0f;
    }
    const double n = double(std::min<std::uint64_t>(key.strikes, kKeyWindow));
    const double f = std::exp((_overall.level - key.level) * n / (n + kShrink));
    return std::clamp(float(f), kMinFactor, kMaxFactor);
}

std::uint64_t KeyLevels::strikes(std::uint16_t code) const noexcept {
    if (code >= kCodes) {
        return 0;
    }
    std::lock_guard lock(_lock);
    return _keys[code].strikes;
}

void KeyLevels::reset() noexcept {
    std::lock_guard lock(_lock);
    _keys.fill(Level{});
    _overall = Level{};
    _unsaved = 0;
}

std::uint64_t KeyLevels::unsaved() const noexcept {
    std::lock_guard lock(_lock);
    return _unsaved;
}

void KeyLevels::markSaved() noexcept {
    std::lock_guard lock(_lock);
    _unsaved = 0;
}

bool KeyLevels::anyKeyLearnedLocked() const noexcept {
    return std::any_of(_keys.begin(), _keys.end(),
                       [](const Level& l) { return l.strikes >= kMinimumStrikes; });
}

bool KeyLevels::anyKeyLearned() const noexcept {
    std::lock_guard lock(_lock);
    return anyKeyLearnedLocked();
}

std::string KeyLevels::encode() const {
    nlohmann::ordered_json keys = nlohmann::ordered_json::array();
    nlohmann::ordered_json out;
    {
        std::lock_guard lock(_lock);
        out["format"] = kFormat;
        out["version"] = kVersion;
        out["strikes"] = _overall.strikes;
        out["level"] = _overall.level;
        for (std::size_t code = 0; code < kCodes; ++code) {
            if (_keys[code].strikes > 0) {
                keys.push_back({{"code", code},
                                {"strikes", _keys[code].strikes},
                                {"level", _keys[code].level}});
            }
        }
    }
    out["keys"] = std::move(keys);
    return out.dump(1) + "\n";
}

std::optional<std::string> KeyLevels::decode(std::string_view text) {
    const nlohmann::json root = nlohmann::json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        return "not a JSON object";
    }
    if (!root.contains("format") || !root["format"].is_string() ||
        root["format"].get<std::string>() != kFormat) {
        return "not a key-levels file";
    }
    if (!root.contains("version") || !root["version"].is_number_integer() ||
        root["version"].get<std::int64_t>() != kVersion) {
        return "an unknown version";
    }
    if (!root.contains("strikes") || !usableStrikes(root["strikes"]) || !root.contains("level") ||
        !usableLevel(root["level"])) {
        return "the overall level is missing or absurd";
    }
    if (!root.contains("keys") || !root["keys"].is_array()) {
        return "the keys are missing";
    }
    Level overall{root["strikes"].get<std::uint64_t>(), root["level"].get<double>()};
    std::array<Level, kCodes> keys{};
    const double absurd = std::log(kAbsurdRatio);
    for (const auto& key : root["keys"]) {
        if (!key.is_object() || !key.contains("code") || !key["code"].is_number_unsigned() ||
            !key.contains("strikes") || !usableStrikes(key["strikes"]) || !key.contains("level") ||
            !usableLevel(key["level"])) {
            return "a key's entry is malformed or absurd";
        }
        const auto code = key["code"].get<std::uint64_t>();
        if (code >= kCodes) {
            return "key code " + std::to_string(code) + " is outside the table";
        }
        if (keys[code].strikes > 0) {
            return "key code " + std::to_string(code) + " appears twice";
        }
        const double level = key["level"].get<double>();
        if (std::fabs(level - overall.level) > absurd) {
            return "key code " + std::to_string(code) + " is more than " +
                   std::to_string(int(kAbsurdRatio)) + " times off the overall level";
        }
        keys[code] = Level{key["strikes"].get<std::uint64_t>(), level};
    }
    std::lock_guard lock(_lock);
    _keys = keys;
    _overall = overall;
    _unsaved = 0;
    return std::nullopt;
}

std::optional<std::string> loadKeyLevels(const std::filesystem::path& path, KeyLevels& levels) {
    FileReadResult read = readFileLimited(path, KeyLevels::kMaxFileBytes);
    if (read.status == FileReadResult::Status::missing) {
        return std::nullopt;
    }
    if (!read.ok()) {
        return read.error;
    }
    if (auto error = levels.decode(read.contents)) {
        return path.string() + ": " + *error;
    }
    return std::nullopt;
}

std::optional<std::string> saveKeyLevels(const std::filesystem::path& path,
                                         const KeyLevels& levels) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) {
        return path.parent_path().string() + ": " + ec.message();
    }
    // Key codes with their strike counts tell what was typed: owner only.
    return writeFileAtomically(path, levels.encode(), FileSecrecy::keyCodes);
}

} // namespace clavio
