// Per-key strike levels: how strongly each key's strikes reach the sensor.
// The same force on a key next to the sensor reads up to twice as strong as
// on one at the far end of the case; once a key has a history, its scores
// are scaled by how its level compares with the level over all keys.
//
// A level is a running mean of the logarithm of the key's scores (those
// above the deadzone; a press without a strike says nothing about its key),
// over its last kKeyWindow strikes. A key's factor is
// exp((overall level - key level) x n / (n + kShrink)) for its n strikes:
// few strikes of a key only nudge it, as the spread of strike forces
// (an order of magnitude) dwarfs the spread of couplings (a factor of two).
// It is 1 below kMinimumStrikes and always within [kMinFactor, kMaxFactor].
//
// Key codes at or above kCodes are never corrected (the table is fixed, so a
// press allocates nothing).
//
// Threading: learn() and factor() run on the classify queue, reset(),
// encode() and the file functions on the main thread; each call takes the
// table's own lock, briefly. Nothing here runs on a real-time thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace clavio {

class KeyLevels {
public:
    static constexpr std::size_t kCodes = 256;
    static constexpr std::uint32_t kMinimumStrikes = 8;
    static constexpr std::uint32_t kKeyWindow = 400;
    static constexpr std::uint32_t kOverallWindow = 5000;
    static constexpr double kShrink = 10.0;
    static constexpr float kMinFactor = 0.5f;
    static constexpr float kMaxFactor = 2.0f;

    KeyLevels() = default;
    KeyLevels(const KeyLevels&) = delete;
    KeyLevels& operator=(const KeyLevels&) = delete;

    // Counts one measured score of `code`; scores not above `floor` (the
    // deadzone), not finite, or of a code outside the table are ignored.
    void learn(std::uint16_t code, float score, float floor) noexcept;
    // The factor the key's scores are multiplied by; 1 without history.
    float factor(std::uint16_t code) const noexcept;
    // Strikes counted for `code` (saturating), 0 outside the table.
    std::uint64_t strikes(std::uint16_t code) const noexcept;
    // Forgets everything learned.
    void reset() noexcept;
    // Strikes learned since the last markSaved() (or reset()).
    std::uint64_t unsaved() const noexcept;
    void markSaved() noexcept;
    // Whether some key has reached kMinimumStrikes.
    bool anyKeyLearned() const noexcept;

    // The file form: {"format":"clavio-key-levels","version":1,
    // "strikes":N,"level":L,"keys":[{"code":C,"strikes":n,"level":l},...]}
    std::string encode() const;
    // Replaces everything with the levels of `text`. A file that is not this
    // format, or holds what learning never produces (a level that is not
    // finite or no score could have, a key more than kAbsurdRatio away from
    // the overall level, a code outside the table or twice), is refused with
    // a one-line reason and changes nothing.
    std::optional<std::string> decode(std::string_view text);

    // The largest file read.
    static constexpr std::uintmax_t kMaxFileBytes = 256 * 1024;
    static constexpr double kAbsurdRatio = 16.0;

private:
    struct Level {
        std::uint64_t strikes = 0;
        double level = 0.0; // mean log score
    };
    static void add(Level& level, double x, std::uint32_t window) noexcept;
    bool anyKeyLearnedLocked() const noexcept;

    mutable std::mutex _lock; // guards everything below
    std::array<Level, kCodes> _keys{};
    Level _overall;
    std::uint64_t _unsaved = 0;
};

// Reads `path` into `levels`. A missing file is no error (nothing learned
// yet); an unreadable, oversized or refused one returns the reason, naming
// the file, and leaves both the file and `levels` as they were.
std::optional<std::string> loadKeyLevels(const std::filesystem::path& path, KeyLevels& levels);
// Writes the levels atomically, creating the folder. Returns an error
// naming the path on failure (the previous file is then untouched).
std::optional<std::string> saveKeyLevels(const std::filesystem::path& path,
                                         const KeyLevels& levels);

} // namespace clavio
