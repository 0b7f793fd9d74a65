// `clavio-cli pack-import SOURCE [--name NAME] [--into DIR] [--force]`:
// turns a pack of another format (a config.json folder or a folder of
// scan-code WAV files, or a .zip of either) into a Clavio pack in the user
// pack folder, with four velocity layers made from its single one, and
// prints what it made. Exit status 0 when installed, 1 with one error line
// otherwise (the pack folder is then as it was).
#include <iostream>

#include "cli/cli_commands.h"
#include "cli/printable.h"
#include "platform/linux/packs/pack_installer.h"

namespace clavio::cli {

void registerPackImportCommand(CLI::App& app, const CliServices& services) {
    auto* cmd = app.add_subcommand(
        "pack-import", "Import a sound pack of another format (a folder with config.json, a "
                       "folder of scan-code WAV files, or a .zip of either) as a Clavio pack");
    auto request = std::make_shared<platform::PackInstallRequest>();
    auto source = std::make_shared<std::string>();
    auto into = std::make_shared<std::string>();
    cmd->add_option("SOURCE", *source, "The pack folder or .zip file")->required();
    cmd->add_option("--name", request->name, "The pack's name (default: the pack's own)");
    cmd->add_option("--into", *into,
                    "The folder to install into (default: " +
                        platform::userPackFolder().string() + ")");
    cmd->add_flag("--force", request->replace, "Replace a pack of the same name there");
    cmd->callback([request, source, into, &services] {
        request->source = *source;
        request->into = *into;
        request->bundledPacks = services.resourceDir() / "SoundPacks";
        const auto result = platform::installForeignPack(*request);
        if (!result) {
            std::cerr << "clavio-cli: " << printable(result.error().text()) << "\n";
            setExitStatus(1);
            return;
        }
        for (const auto& line : platform::describeInstall(result.value())) {
            std::cout << printable(line) << "\n";
        }
        setExitStatus(0);
    });
}

} // namespace clavio::cli
