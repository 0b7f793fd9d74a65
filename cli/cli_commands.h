// Each command lives in its own file and registers itself here. A command's
// callback stores its exit status with setExitStatus(). Commands take what
// they need of the platform from the CliServices main() made; they build
// none of it themselves.
#pragma once

#include <CLI/CLI.hpp>

#include "cli/cli_services.h"

namespace clavio::cli {

void registerCommands(CLI::App& app, const CliServices& services);
void setExitStatus(int status);
int exitStatus();

// One registration function per command file.
void registerVersionCommand(CLI::App& app);
void registerTraceCheckCommand(CLI::App& app, const CliServices& services);
void registerDevicesCommand(CLI::App& app, const CliServices& services);
void registerPacksCommand(CLI::App& app, const CliServices& services);
void registerPackCheckCommand(CLI::App& app, const CliServices& services);
void registerPackImportCommand(CLI::App& app, const CliServices& services);
void registerRecordCommand(CLI::App& app, const CliServices& services);
void registerRenderCommand(CLI::App& app, const CliServices& services);
void registerPlayCommand(CLI::App& app, const CliServices& services);
void registerCalibrateCommand(CLI::App& app, const CliServices& services);

} // namespace clavio::cli
