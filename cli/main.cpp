// clavio-cli: headless commands. The composition root for the command line:
// the only place that wires Linux implementations to the engine's ports.
#include <CLI/CLI.hpp>

#include <iostream>

#include "cli/cli_commands.h"
#include "platform/linux/system/safe_file.h"
#include "platform/linux/system/thread_naming.h"

int main(int argc, char** argv) {
    clavio::platform::installThreadNaming();
    clavio::platform::installSafeFileWrites();
    CLI::App app{"clavio-cli: Clavio's headless commands"};
    app.set_version_flag("--version", std::string("clavio-cli ") + CLAVIO_VERSION);
    app.require_subcommand(1);
    const clavio::cli::CliServices services;
    clavio::cli::registerCommands(app, services);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    return clavio::cli::exitStatus();
}
