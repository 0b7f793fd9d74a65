// The sound pack manifest, "pack.json": descriptive data plus, per key group,
// the files of each velocity layer and optional release sounds; and the two
// lookups that decide which files sound for a key group and tier.
//
// Plain values: copied freely, never shared by reference across threads.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/core_types.h"
#include "engine/core/decode_result.h"

namespace clavio {

// The files of the four velocity layers of one key group. An absent member
// differs from one present with an empty array: the tier fallback skips only
// absent members.
struct KeyGroupSamples {
    std::optional<std::vector<std::string>> soft;
    std::optional<std::vector<std::string>> medium;
    std::optional<std::vector<std::string>> hard;
    std::optional<std::vector<std::string>> slam;

    // The first present member of the tier's chain (slam -> hard -> medium ->
    // soft; never upwards), as it is, even when empty. Silent is always empty.
    std::vector<std::string> samples(VelocityTier tier) const;

    // The member of that tier itself, without fallback (nothing for silent).
    const std::optional<std::vector<std::string>>& member(VelocityTier tier) const;

    friend bool operator==(const KeyGroupSamples&, const KeyGroupSamples&) = default;
};

struct SoundPackManifest {
    std::string name;
    std::string author;
    std::string license;
    std::optional<std::string> homepage;
    std::optional<std::int64_t> sampleRate;
    // Keyed by group name; names that are no group name are kept but unused.
    std::map<std::string, KeyGroupSamples> groups;
    std::optional<std::map<std::string, std::vector<std::string>>> release;

    // "alpha" ... "other".
    static std::string_view groupName(KeyGroup group) noexcept;

    // The group's files for the tier, or the "alpha" group's when the group
    // is missing or gives nothing; possibly empty.
    std::vector<std::string> samplesFor(KeyGroup group, VelocityTier tier) const;

    // The group's release files, or "alpha"'s when the group has none;
    // possibly empty.
    std::vector<std::string> releaseSamplesFor(KeyGroup group) const;

    // Every file entry with its JSON path: groups by name, tiers soft to slam,
    // then release sounds by group name; duplicates included.
    struct Entry {
        std::string jsonPath;
        std::string file;
    };
    std::vector<Entry> allEntries() const;

    // Entries a pack may not use: absolute paths, paths that climb out of the
    // pack folder with "..", empty entries and entries holding a NUL byte.
    // A pack holding any of them is refused by the catalogue.
    std::vector<Entry> unsafeEntries() const;

    friend bool operator==(const SoundPackManifest&, const SoundPackManifest&) = default;
};

// True when the entry names a file inside the pack folder by its text alone
// (symbolic links are checked when the file is resolved).
bool isSafeSampleEntry(std::string_view entry);

// The limit on the size of a "pack.json" the catalogue reads.
inline constexpr std::uintmax_t kMaxManifestBytes = 4u << 20;

DecodeResult<SoundPackManifest> decodeSoundPackManifest(std::string_view json);

// Compact JSON unless `pretty`; optional members are written only when present.
std::string encodeSoundPackManifest(const SoundPackManifest& manifest, bool pretty = false);

} // namespace clavio
