// The catalogue of sound packs: finds the packs shipped with the application
// and those the user installed, names and sorts them, loads one manifest as
// the current pack and turns its entries into file paths inside that pack.
//
// Threading: not thread-safe. Every operation runs on the main thread, where
// observers of the published properties are notified (just before each
// change). Others get what they need from the returned values.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/packs/sound_pack_manifest.h"
#include "engine/runtime/observer_list.h"

namespace clavio {

class SoundPackManager {
public:
    // Chooses an index in [0, count); count > 0.
    using RandomIndex = std::function<std::size_t(std::size_t count)>;

    enum class Property { availablePacks, currentManifest, currentPackPath };

    // `bundledPacks` is the application's own "SoundPacks" folder (the engine
    // does not know where the executable lives); nothing when there is none.
    // `random` defaults to a generator seeded from the system. Scans once.
    explicit SoundPackManager(std::optional<std::filesystem::path> bundledPacks,
                              RandomIndex random = {});

    // The bundled folder when it exists, then $XDG_DATA_HOME/Clavio/SoundPacks
    // (never created here: users install packs by placing folders there).
    std::vector<std::filesystem::path> searchPaths() const;

    // Rescans the search paths, rebuilds the display names and publishes
    // availablePacks sorted by display name. The current pack is untouched.
    void refresh();

    // The pack's manifest name from the last refresh, else the folder name.
    std::string displayName(const std::string& folderName) const;

    // A folder of a search path that holds no usable pack, and why:
    // "no pack.json", "broken pack.json: <error>" or "no playable file" (no
    // entry of the manifest is a file in the folder).
    struct SkippedFolder {
        std::filesystem::path folder;
        std::string reason;
    };
    // Scans the search paths now, reading every manifest and looking for its
    // files; search path order, then folder name order.
    std::vector<SkippedFolder> skippedFolders() const;

    // The first search path whose folder of that name holds a "pack.json".
    std::optional<std::filesystem::path> packFolder(const std::string& folderName) const;

    // Decodes the pack from the first search path where it decodes and is
    // safe (no entry that is absolute or climbs out of the folder); on success
    // publishes it as the current pack. A name that is empty, "." or "..", or
    // holds "/" or NUL, is refused. Failure changes nothing and logs nothing.
    std::optional<SoundPackManifest> loadPack(const std::string& folderName);

    // The path of an existing regular file of the current pack for a manifest
    // entry; nothing when there is no current pack, the file is missing, or
    // the entry is unsafe or leads (also through a symbolic link) out of the
    // pack folder.
    std::optional<std::filesystem::path> resolveSamplePath(const std::string& entry) const;

    // A random entry of the current manifest's samplesFor(group, tier),
    // resolved; nothing when there is none or the chosen file is missing (no
    // other entry is tried).
    std::optional<std::filesystem::path> pickSample(KeyGroup group, VelocityTier tier);

    const std::vector<std::string>& availablePacks() const noexcept { return _availablePacks; }
    const std::optional<SoundPackManifest>& currentManifest() const noexcept {
        return _currentManifest;
    }
    const std::optional<std::filesystem::path>& currentPackPath() const noexcept {
        return _currentPackPath;
    }

    // Called just before a published property changes.
    ObserverToken subscribe(ObserverList<Property>::Callback callback) {
        return _observers.subscribe(std::move(callback));
    }
    void unsubscribe(ObserverToken token) { _observers.unsubscribe(token); }

private:
    std::optional<std::filesystem::path> _bundledPacks;
    RandomIndex _random;
    std::vector<std::string> _availablePacks;
    std::optional<SoundPackManifest> _currentManifest;
    std::optional<std::filesystem::path> _currentPackPath;
    std::map<std::string, std::string> _displayNames;
    ObserverList<Property> _observers;
};

// A pack folder name that stays inside a search path.
bool isValidPackName(const std::string& folderName);

// Where a manifest entry leads inside a pack folder.
struct ResolvedSample {
    enum class Status {
        ok,       // `path` is an existing regular file inside the folder
        unsafe,   // absolute, climbs out with "..", empty or holds NUL
        missing,  // nothing there
        notAFile, // a folder or a device, not a regular file
        outside,  // a symbolic link on the way leads out of the folder
    };
    Status status = Status::missing;
    std::filesystem::path path;
};
ResolvedSample resolveSampleIn(const std::filesystem::path& packFolder, const std::string& entry);

// Reads and decodes "<folder>/pack.json" (size limited), refusing manifests
// with unsafe entries. Used by the catalogue and by pack checks.
DecodeResult<SoundPackManifest> readSoundPackManifest(const std::filesystem::path& packFolder);

} // namespace clavio
