// Installing a sound pack of another format (a folder or a .zip of it) as a
// Clavio pack in the user pack folder: unpacks a zip safely, runs the
// engine's import with libsndfile decoding (bounded) and FLAC writing, and
// moves the finished folder into place in one rename, so a failed import
// leaves nothing behind and an existing pack is replaced only when asked.
//
// Threading: any non-real-time thread; blocks on disk work.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/packs/pack_import.h"

namespace clavio::platform {

struct PackInstallRequest {
    std::filesystem::path source; // a folder or a .zip file
    std::string name;             // empty: the pack's own name
    // Empty: $XDG_DATA_HOME/Clavio/SoundPacks (created when missing).
    std::filesystem::path into;
    bool replace = false; // replace a pack of the same folder name there
    // The built-in packs' folder, whose names an import may not take.
    std::optional<std::filesystem::path> bundledPacks;
};

struct PackInstallResult {
    std::filesystem::path folder; // where the pack now is
    PackImportSummary summary;
    bool replaced = false;
};

// The user pack folder the catalogue scans.
std::filesystem::path userPackFolder();

// A folder name for a pack name: no "/", no control characters, no leading
// dot, at most 80 bytes; "Imported pack" when nothing is left.
std::string packFolderName(const std::string& name);

// What an import made, one line each: the pack and its folder, its groups
// with their variants and tiers, release sounds, files, and what was left out.
std::vector<std::string> describeInstall(const PackInstallResult& result);

// Imports and installs; an error is one line and leaves the target folder as
// it was.
DecodeResult<PackInstallResult> installForeignPack(const PackInstallRequest& request);

} // namespace clavio::platform
