#include "platform/linux/packs/pack_installer.h"

#include <sndfile.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "engine/core/paths.h"
#include "engine/keyboard/key_groups.h"
#include "engine/packs/sound_pack_manager.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "platform/linux/input/evdev_keymap.h"
#include "platform/linux/packs/safe_zip.h"
#include "platform/linux/system/safe_file.h"

namespace clavio::platform {

namespace fs = std::filesystem;

namespace {

using Result = DecodeResult<PackInstallResult>;

Result fail(std::string line) {
    return Result::failure(std::move(line));
}

// A temporary folder beside the target, removed unless released.
class TempFolder {
public:
    explicit TempFolder(const fs::path& parent, const char* prefix) {
        std::string pattern = (parent / (std::string(prefix) + "XXXXXX")).string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            _path = pattern;
        } else {
            _error = parent.string() + ": cannot create a temporary folder: " +
                     std::strerror(errno);
        }
    }
    ~TempFolder() {
        if (!_path.empty()) {
            std::error_code ec;
            fs::remove_all(_path, ec);
        }
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const fs::path& path() const { return _path; }
    const std::string& error() const { return _error; }
    void release() { _path.clear(); }

private:
    fs::path _path;
    std::string _error;
};

std::optional<std::string> writeFlac(const fs::path& path, const DecodedAudio& audio) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(audio.sampleRate);
    info.channels = static_cast<int>(audio.channelCount);
    info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        return path.string() + ": " + sf_strerror(nullptr);
    }
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const sf_count_t written = sf_writef_float(file, audio.frames.data(), audio.frameCount);
    const int closed = sf_close(file);
    if (written != sf_count_t(audio.frameCount) || closed != 0) {
        return path.string() + ": could not write the audio";
    }
    return std::nullopt;
}

bool holdsPack(const fs::path& folder) {
    std::error_code ec;
    if (fs::exists(folder / "config.json", ec)) {
        return true;
    }
    for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        if (it->path().extension() == ".wav") {
            return true;
        }
    }
    return false;
}

// A zip often holds the pack in one top folder: go down while there is
// nothing else (a "__MACOSX" folder of resource forks aside).
fs::path packRoot(fs::path folder) {
    for (int depth = 0; depth < 4 && !holdsPack(folder); ++depth) {
        std::vector<fs::path> folders;
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator();
             it.increment(ec)) {
            if (it->is_directory(ec) && !it->is_symlink(ec) &&
                it->path().filename() != "__MACOSX") {
                folders.push_back(it->path());
            }
        }
        if (folders.size() != 1) {
            break;
        }
        folder = folders.front();
    }
    return folder;
}

// Another pack already shown under the same name, in the built-in folder or
// the target folder (other than the folder being replaced).
std::optional<std::string> nameClash(const PackInstallRequest& request, const fs::path& into,
                                     const std::string& folderName, const std::string& name) {
    if (request.bundledPacks) {
        std::error_code ec;
        if (fs::exists(*request.bundledPacks / folderName / "pack.json", ec)) {
            return "a built-in pack is named \"" + folderName + "\"; choose another name (--name)";
        }
    }
    for (const auto& base : {request.bundledPacks.value_or(fs::path()), into}) {
        if (base.empty()) {
            continue;
        }
        std::error_code ec;
        for (fs::directory_iterator it(base, ec); !ec && it != fs::directory_iterator();
             it.increment(ec)) {
            if (base == into && it->path().filename() == folderName) {
                continue;
            }
            const auto manifest = readSoundPackManifest(it->path());
            if (manifest && manifest->name == name) {
                return "the pack in " + it->path().string() + " is already called \"" + name +
                       "\"; choose another name (--name)";
            }
        }
    }
    return std::nullopt;
}

} // namespace

fs::path userPackFolder() {
    return xdgDataHome() / "Clavio" / "SoundPacks";
}

std::string packFolderName(const std::string& name) {
    std::string out;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        out += (c == '/' || u < 0x20 || u == 0x7F) ? '_' : c;
    }
    while (!out.empty() && (out.front() == '.' || out.front() == ' ')) {
        out.erase(out.begin());
    }
    while (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    if (out.size() > 80) {
        out.resize(80);
        // Do not end inside a UTF-8 sequence.
        while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) {
            out.pop_back();
        }
        if (!out.empty() && static_cast<unsigned char>(out.back()) >= 0xC0) {
            out.pop_back();
        }
    }
    return out.empty() ? "Imported pack" : out;
}

std::vector<std::string> describeInstall(const PackInstallResult& result) {
    const auto& s = result.summary;
    std::vector<std::string> lines;
    lines.push_back((result.replaced ? "Replaced " : "Imported ") + std::string("\"") +
                    s.manifest.name + "\" (" + s.format + ") into " + result.folder.string());
    for (KeyGroup group : kAllKeyGroups) {
        const std::string g(SoundPackManifest::groupName(group));
        auto it = s.manifest.groups.find(g);
        if (it == s.manifest.groups.end()) {
            lines.push_back("  " + g + ": none (plays \"alpha\")");
            continue;
        }
        const auto variants = it->second.hard ? it->second.hard->size() : 0;
        lines.push_back("  " + g + ": " + std::to_string(variants) +
                        (variants == 1 ? " variant" : " variants") +
                        " x soft, medium, hard, slam");
    }
    if (s.manifest.release) {
        std::string line = "  release:";
        for (const auto& [g, files] : *s.manifest.release) {
            line += " " + g + " " + std::to_string(files.size());
        }
        lines.push_back(line);
    } else {
        lines.push_back("  release: none (key releases make no sound)");
    }
    lines.push_back("  " + std::to_string(s.filesWritten) + " files written (FLAC) and pack.json");
    for (const auto& note : s.leftOut) {
        lines.push_back("  left out: " + note);
    }
    return lines;
}

DecodeResult<PackInstallResult> installForeignPack(const PackInstallRequest& request) {
    std::error_code ec;
    const fs::path into = request.into.empty() ? userPackFolder() : request.into;
    const auto sourceStatus = fs::status(request.source, ec);
    if (!fs::is_directory(sourceStatus) && !fs::is_regular_file(sourceStatus)) {
        return fail(request.source.string() + ": no such folder or zip file");
    }
    fs::create_directories(into, ec);
    if (ec || !fs::is_directory(into, ec)) {
        return fail(into.string() + ": cannot create the pack folder");
    }

    fs::path sourceFolder = request.source;
    std::optional<TempFolder> unpacked;
    if (fs::is_regular_file(sourceStatus)) {
        unpacked.emplace(into, ".clavio-unzip-");
        if (unpacked->path().empty()) {
            return fail(unpacked->error());
        }
        if (auto error = unpackZip(request.source, unpacked->path())) {
            return fail(*error);
        }
        sourceFolder = packRoot(unpacked->path());
    }

    TempFolder staging(into, ".clavio-import-");
    if (staging.path().empty()) {
        return fail(staging.error());
    }
    const SndfileDecoder decoder;
    PackImportOptions options;
    options.name = request.name;
    options.fallbackName = fs::path(request.source).replace_extension().filename().string();
    PackImportPorts ports;
    ports.decoder = &decoder;
    ports.groupOf = [](std::uint16_t evdev) {
        return keyGroupForKeyCode(evdevToVirtualKeyCode(evdev));
    };
    ports.writeAudio = [&](const std::string& file, const DecodedAudio& audio) {
        return writeFlac(staging.path() / file, audio);
    };
    auto imported = importForeignPack(sourceFolder, options, ports);
    if (!imported) {
        return fail(imported.error().text());
    }
    PackInstallResult result;
    result.summary = std::move(imported.value());
    const std::string folderName = packFolderName(result.summary.manifest.name);
    if (auto clash = nameClash(request, into, folderName, result.summary.manifest.name)) {
        return fail(*clash);
    }
    {
        std::ofstream out(staging.path() / "pack.json", std::ios::binary | std::ios::trunc);
        out << encodeSoundPackManifest(result.summary.manifest, true) << "\n";
        out.close();
        if (!out) {
            return fail((staging.path() / "pack.json").string() + ": could not write");
        }
    }
    ::chmod(staging.path().c_str(), 0755);
    // Every file on disk before the folder appears under its name, so a
    // crash never leaves an installed pack of empty files.
    for (const auto& file : fs::directory_iterator(staging.path(), ec)) {
        if (!fsyncPath(file.path())) {
            return fail(file.path().string() + ": cannot flush to disk");
        }
    }
    if (ec || !fsyncPath(staging.path())) {
        return fail(staging.path().string() + ": cannot flush to disk");
    }

    // Into place in one step: never over an existing folder unless asked,
    // and then by exchanging the two, so the old pack stays whole until the
    // new one is there.
    // (The check only chooses the message: placeFolder itself never
    // replaces, whatever appears meanwhile.)
    result.folder = into / folderName;
    if (!fs::exists(fs::symlink_status(result.folder, ec))) {
        if (auto error = placeFolder(staging.path(), result.folder)) {
            return fail(*error);
        }
        staging.release();
        return result;
    }
    if (!request.replace) {
        return fail("a pack folder \"" + folderName + "\" already exists in " + into.string() +
                    "; use --force to replace it");
    }
    // --force replaces a pack, never a file or a folder that holds none.
    if (!fs::is_directory(fs::symlink_status(result.folder, ec)) ||
        !fs::is_regular_file(fs::symlink_status(result.folder / "pack.json", ec))) {
        return fail(result.folder.string() + " is not a sound pack folder; it was left as it is");
    }
    if (auto error = exchangeFolders(staging.path(), result.folder)) {
        return fail(*error);
    }
    result.replaced = true;
    return result; // `staging` now holds the old pack and is removed
}

} // namespace clavio::platform
