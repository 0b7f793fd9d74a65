#include "engine/packs/sound_pack_manager.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <random>

#include "engine/core/file_read.h"
#include "engine/core/paths.h"
#include "engine/packs/localized_compare.h"

namespace clavio {

namespace fs = std::filesystem;

namespace {
bool isDirectory(const fs::path& p) {
    std::error_code ec;
    return fs::is_directory(p, ec);
}

SoundPackManager::RandomIndex systemRandom() {
    auto engine = std::make_shared<std::mt19937_64>(std::random_device{}());
    return [engine](std::size_t count) {
        return std::uniform_int_distribution<std::size_t>(0, count - 1)(*engine);
    };
}
} // namespace

bool isValidPackName(const std::string& folderName) {
    return !folderName.empty() && folderName != "." && folderName != ".." &&
           folderName.find('/') == std::string::npos && folderName.find('\0') == std::string::npos;
}

DecodeResult<SoundPackManifest> readSoundPackManifest(const fs::path& packFolder) {
    const auto read = readFileLimited(packFolder / "pack.json", kMaxManifestBytes);
    if (!read.ok()) {
        return DecodeError{"$", read.error};
    }
    auto manifest = decodeSoundPackManifest(read.contents);
    if (!manifest) {
        return manifest;
    }
    if (auto unsafe = manifest.value().unsafeEntries(); !unsafe.empty()) {
        // Quoted as JSON, so an entry holding a line break or a NUL cannot
        // split or cut the one-line error.
        const std::string quoted =
            nlohmann::json(unsafe.front().file)
                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        return DecodeError{unsafe.front().jsonPath,
                           quoted + " is not a file inside the pack folder"};
    }
    return manifest;
}

SoundPackManager::SoundPackManager(std::optional<fs::path> bundledPacks, RandomIndex random)
    : _bundledPacks(std::move(bundledPacks)), _random(random ? std::move(random) : systemRandom()) {
    refresh();
}

std::vector<fs::path> SoundPackManager::searchPaths() const {
    std::vector<fs::path> paths;
    if (_bundledPacks && isDirectory(*_bundledPacks)) {
        paths.push_back(*_bundledPacks);
    }
    paths.push_back(xdgDataHome() / "Clavio" / "SoundPacks");
    return paths;
}

void SoundPackManager::refresh() {
    const auto paths = searchPaths();

    std::vector<std::string> names;
    for (const auto& base : paths) {
        std::error_code ec;
        fs::directory_iterator it(base, ec);
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            if (!isDirectory(it->path())) {
                continue;
            }
            std::string name = it->path().filename().string();
            if (std::find(names.begin(), names.end(), name) != names.end()) {
                continue;
            }
            std::error_code existsError;
            if (fs::exists(it->path() / "pack.json", existsError)) {
                names.push_back(std::move(name));
            }
        }
    }

    std::map<std::string, std::string> displayNames;
    for (const auto& base : paths) {
        for (const auto& name : names) {
            if (displayNames.contains(name)) {
                continue;
            }
            const auto read = readFileLimited(base / name / "pack.json", kMaxManifestBytes);
            if (!read.ok()) {
                continue;
            }
            if (auto manifest = decodeSoundPackManifest(read.contents)) {
                displayNames.emplace(name, manifest.value().name);
            }
        }
    }
    _displayNames = std::move(displayNames);

    std::stable_sort(names.begin(), names.end(), [this](const auto& a, const auto& b) {
        return localizedCaseInsensitiveCompare(displayName(a), displayName(b)) < 0;
    });

    _observers.notify(Property::availablePacks);
    _availablePacks = std::move(names);
}

std::vector<SoundPackManager::SkippedFolder> SoundPackManager::skippedFolders() const {
    std::vector<SkippedFolder> skipped;
    for (const auto& base : searchPaths()) {
        std::vector<fs::path> folders;
        std::error_code ec;
        fs::directory_iterator it(base, ec);
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            if (isDirectory(it->path())) {
                folders.push_back(it->path());
            }
        }
        std::sort(folders.begin(), folders.end());
        for (const auto& folder : folders) {
            std::error_code existsError;
            if (!fs::exists(folder / "pack.json", existsError)) {
                skipped.push_back({folder, "no pack.json"});
                continue;
            }
            const auto manifest = readSoundPackManifest(folder);
            if (!manifest) {
                skipped.push_back({folder, "broken pack.json: " + manifest.error().text()});
                continue;
            }
            const auto entries = manifest.value().allEntries();
            const bool playable = std::any_of(entries.begin(), entries.end(), [&](const auto& e) {
                return resolveSampleIn(folder, e.file).status == ResolvedSample::Status::ok;
            });
            if (!playable) {
                skipped.push_back({folder, "no playable file"});
            }
        }
    }
    return skipped;
}

std::string SoundPackManager::displayName(const std::string& folderName) const {
    auto it = _displayNames.find(folderName);
    return it != _displayNames.end() ? it->second : folderName;
}

std::optional<fs::path> SoundPackManager::packFolder(const std::string& folderName) const {
    if (!isValidPackName(folderName)) {
        return std::nullopt;
    }
    for (const auto& base : searchPaths()) {
        std::error_code ec;
        if (isDirectory(base / folderName) && fs::exists(base / folderName / "pack.json", ec)) {
            return base / folderName;
        }
    }
    return std::nullopt;
}

std::optional<SoundPackManifest> SoundPackManager::loadPack(const std::string& folderName) {
    if (!isValidPackName(folderName)) {
        return std::nullopt;
    }
    for (const auto& base : searchPaths()) {
        const fs::path candidate = base / folderName;
        auto manifest = readSoundPackManifest(candidate);
        if (!manifest) {
            continue;
        }
        _observers.notify(Property::currentManifest);
        _currentManifest = manifest.value();
        _observers.notify(Property::currentPackPath);
        _currentPackPath = candidate;
        return std::move(manifest).value();
    }
    return std::nullopt;
}

ResolvedSample resolveSampleIn(const fs::path& packFolder, const std::string& entry) {
    using Status = ResolvedSample::Status;
    if (!isSafeSampleEntry(entry)) {
        return {Status::unsafe, {}};
    }
    const fs::path file = packFolder / fs::path(entry).lexically_normal();
    std::error_code ec;
    const auto type = fs::status(file, ec).type();
    if (type == fs::file_type::not_found || type == fs::file_type::none) {
        return {Status::missing, file};
    }
    if (type != fs::file_type::regular) {
        return {Status::notAFile, file};
    }
    // Follow every symbolic link, in the pack folder's path too (a pack may
    // itself be a link into another folder), and require the file to stay
    // inside the folder.
    const fs::path realFolder = fs::canonical(packFolder, ec);
    if (ec) {
        return {Status::missing, file};
    }
    const fs::path realFile = fs::canonical(file, ec);
    if (ec) {
        return {Status::missing, file};
    }
    const auto relative = realFile.lexically_relative(realFolder);
    if (relative.empty() || relative == "." || *relative.begin() == "..") {
        return {Status::outside, file};
    }
    return {Status::ok, file};
}

std::optional<fs::path> SoundPackManager::resolveSamplePath(const std::string& entry) const {
    if (!_currentPackPath) {
        return std::nullopt;
    }
    auto resolved = resolveSampleIn(*_currentPackPath, entry);
    if (resolved.status != ResolvedSample::Status::ok) {
        return std::nullopt;
    }
    return std::move(resolved.path);
}

std::optional<fs::path> SoundPackManager::pickSample(KeyGroup group, VelocityTier tier) {
    if (!_currentManifest) {
        return std::nullopt;
    }
    const auto files = _currentManifest->samplesFor(group, tier);
    if (files.empty()) {
        return std::nullopt;
    }
    const std::size_t index = std::min(_random(files.size()), files.size() - 1);
    return resolveSamplePath(files[index]);
}

} // namespace clavio
