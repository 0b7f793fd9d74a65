#include "cli/cli_commands.h"

#include <iostream>

namespace clavio::cli {

namespace {
int gExitStatus = 0;
}

void setExitStatus(int status) { gExitStatus = status; }
int exitStatus() { return gExitStatus; }

void registerVersionCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand("version", "Print the version");
    cmd->callback([] { std::cout << "clavio-cli " << CLAVIO_VERSION << "\n"; });
}

void registerCommands(CLI::App& app, const CliServices& services) {
    registerVersionCommand(app);
    registerTraceCheckCommand(app, services);
    registerDevicesCommand(app, services);
    registerPacksCommand(app, services);
    registerPackCheckCommand(app, services);
    registerPackImportCommand(app, services);
    registerRecordCommand(app, services);
    registerRenderCommand(app, services);
    registerPlayCommand(app, services);
    registerCalibrateCommand(app, services);
}

} // namespace clavio::cli
