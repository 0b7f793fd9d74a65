#include "cli/trace_run_options.h"

#include <algorithm>
#include <iostream>
#include <system_error>

#include "cli/printable.h"
#include "engine/core/file_read.h"
#include "engine/packs/sound_pack_manager.h"
#include "engine/settings/settings_values.h"
#include "engine/settings/tocca_settings.h"
#include "platform/linux/desktop/resource_dir.h"

namespace clavio::cli {

namespace fs = std::filesystem;

CLI::Option* addTraceRunOptions(CLI::App& cmd, TraceRunOptions& options, bool withPack) {
    CLI::Option* trace = cmd.add_option("--trace", options.trace,
                   "Session trace (JSON Lines), or \"demo\" for the bundled demo session")
        ->required();
    if (withPack) {
        cmd.add_option("--pack", options.pack,
                       "Sound pack: a folder name from `clavio-cli packs`, or a path to a pack "
                       "folder (./NAME for one in the current folder); default: the selected "
                       "pack of the settings");
    }
    cmd.add_option("--settings", options.settingsFile,
                   "Settings file (settings.json format) instead of the user's own; it is "
                   "only read");
    return trace;
}

namespace {

// A --pack that names no usable pack is refused before anything is written,
// naming the packs there are.
std::optional<std::string> checkPack(const std::string& given, const RunSetup& setup) {
    SoundPackManager catalogue(setup.bundledPacksFolder);
    const std::string name = setup.settings->selectedPackName();
    if (catalogue.loadPack(name)) {
        return std::nullopt;
    }
    if (const auto folder = catalogue.packFolder(name)) {
        const auto manifest = readSoundPackManifest(*folder);
        return "sound pack '" + given + "' cannot be used: " + (*folder / "pack.json").string() +
               ": " + (manifest ? std::string("unsafe entries") : manifest.error().text());
    }
    // The packs that can be used: listed, and not among the skipped folders.
    const SoundPackManager installed(platform::resourceDir() / "SoundPacks");
    const auto skipped = installed.skippedFolders();
    std::string names;
    for (const auto& pack : installed.availablePacks()) {
        const auto folder = installed.packFolder(pack);
        if (std::none_of(skipped.begin(), skipped.end(),
                         [&](const auto& s) { return folder && s.folder == *folder; })) {
            names += (names.empty() ? "" : ", ") + pack;
        }
    }
    return "no sound pack '" + given + "'; " +
           (names.empty() ? std::string("no sound packs are installed")
                          : "the packs are: " + names);
}

} // namespace

std::optional<std::string> prepareRun(const TraceRunOptions& options, RunSetup& out) {
    if (options.settingsFile.empty()) {
        out.settings = std::make_shared<ToccaSettings>(ToccaSettings::load());
        // The file stays as it is (commands never write settings); the
        // application sets it aside when it starts.
        if (out.settings->hasUnreadableFile()) {
            std::cerr << "clavio-cli: warning: " << printable(out.settings->unreadableFileReason())
                      << "; using the default settings\n";
        }
    } else {
        const auto read = readFileLimited(options.settingsFile, kMaxSettingsBytes);
        if (!read.ok()) {
            return read.error;
        }
        auto decoded = decodeSettings(read.contents);
        if (!decoded) {
            return options.settingsFile + ": " + decoded.error().text();
        }
        out.settings = std::make_shared<ToccaSettings>(decoded.value());
    }

    out.bundledPacksFolder = platform::resourceDir() / "SoundPacks";
    if (!options.pack.empty()) {
        const bool isPath = options.pack.find('/') != std::string::npos || options.pack == "." ||
                            options.pack == "..";
        if (isPath) {
            // The pack's own folder name inside its parent, which is searched
            // first; canonical, so "." and "../x" have a real name.
            std::error_code ec;
            fs::path folder = fs::weakly_canonical(fs::absolute(options.pack), ec);
            if (ec) {
                folder = fs::absolute(options.pack).lexically_normal();
            }
            if (!folder.has_filename()) {
                folder = folder.parent_path();
            }
            out.bundledPacksFolder = folder.parent_path();
            out.settings->setSelectedPackName(folder.filename().string());
        } else {
            out.settings->setSelectedPackName(options.pack);
        }
        return checkPack(options.pack, out);
    }
    return std::nullopt;
}

bool warnIfSilent(bool packLoaded, std::size_t loadedSamples, const ToccaSettings& settings) {
    if (!packLoaded) {
        std::cerr << "clavio-cli: warning: the sound pack '"
                  << printable(settings.selectedPackName())
                  << "' could not be loaded; every key is silent\n";
        return true;
    }
    if (loadedSamples == 0) {
        std::cerr << "clavio-cli: warning: no sample of the sound pack '"
                  << printable(settings.selectedPackName())
                  << "' could be decoded; every key is silent\n";
        return true;
    }
    return false;
}

} // namespace clavio::cli
