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

void registerCommands(CLI::App& app) {
    registerVersionCommand(app);
    registerTraceCheckCommand(app);
    registerDevicesCommand(app);
    registerPacksCommand(app);
    registerPackCheckCommand(app);
    registerRecordCommand(app);
    registerRenderCommand(app);
    registerPlayCommand(app);
    registerCalibrateCommand(app);
}

} // namespace clavio::cli
