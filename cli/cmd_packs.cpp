// `clavio-cli packs`: the installed sound packs, as the application lists
// them (display-name order), with the search path each one comes from, then
// the folders that hold no usable pack and why.
#include <algorithm>
#include <iostream>

#include "cli/cli_commands.h"
#include "cli/printable.h"
#include "engine/packs/sound_pack_manager.h"

namespace clavio::cli {

namespace {

void listPacks(const CliServices& services) {
    SoundPackManager manager(services.resourceDir() / "SoundPacks");
    const auto skipped = manager.skippedFolders();
    auto isSkipped = [&](const std::filesystem::path& folder) {
        return std::any_of(skipped.begin(), skipped.end(),
                           [&](const auto& s) { return s.folder == folder; });
    };
    std::vector<std::string> packs;
    for (const auto& pack : manager.availablePacks()) {
        const auto folder = manager.packFolder(pack);
        if (!folder || !isSkipped(*folder)) {
            packs.push_back(pack);
        }
    }
    if (packs.empty()) {
        std::cout << "No sound packs found. Searched:\n";
        for (const auto& path : manager.searchPaths()) {
            std::cout << "  " << printable(path) << "\n";
        }
    } else {
        std::size_t folderWidth = 6; // "FOLDER"
        std::size_t nameWidth = 4;   // "NAME"
        for (const auto& pack : packs) {
            folderWidth = std::max(folderWidth, printable(pack).size());
            nameWidth = std::max(nameWidth, printable(manager.displayName(pack)).size());
        }
        auto row = [&](const std::string& rawFolder, const std::string& rawName,
                       const std::string& rawPath) {
            const std::string folder = printable(rawFolder), name = printable(rawName);
            const std::string path = printable(rawPath);
            std::cout << folder << std::string(folderWidth - folder.size() + 2, ' ') << name
                      << std::string(nameWidth - name.size() + 2, ' ') << path << "\n";
        };
        row("FOLDER", "NAME", "SEARCH PATH");
        for (const auto& pack : packs) {
            const auto folder = manager.packFolder(pack);
            row(pack, manager.displayName(pack),
                folder ? folder->parent_path().string() : std::string("?"));
        }
    }
    if (!skipped.empty()) {
        std::cout << "\nSkipped folders:\n";
        for (const auto& s : skipped) {
            std::cout << "  " << printable(s.folder) << ": " << printable(s.reason) << "\n";
        }
    }
    // The catalogue's last search path is the user's own.
    std::cout << "\nUser packs go in " << manager.searchPaths().back().string()
              << " (a folder per pack; `clavio-cli pack-import` adds packs of other formats)\n";
}

} // namespace

void registerPacksCommand(CLI::App& app, const CliServices& services) {
    auto* cmd = app.add_subcommand("packs", "List the installed sound packs (folder name, display "
                                            "name, search path) and the folders skipped");
    cmd->callback([&services] {
        listPacks(services);
        setExitStatus(0);
    });
}

} // namespace clavio::cli
