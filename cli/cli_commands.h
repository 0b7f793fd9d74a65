// Each command lives in its own file and registers itself here. A command's
// callback stores its exit status with setExitStatus().
#pragma once

#include <CLI/CLI.hpp>

namespace clavio::cli {

void registerCommands(CLI::App& app);
void setExitStatus(int status);
int exitStatus();

// One registration function per command file.
void registerVersionCommand(CLI::App& app);
void registerTraceCheckCommand(CLI::App& app);
void registerDevicesCommand(CLI::App& app);
void registerPacksCommand(CLI::App& app);
void registerPackCheckCommand(CLI::App& app);
void registerRecordCommand(CLI::App& app);
void registerRenderCommand(CLI::App& app);
void registerPlayCommand(CLI::App& app);
void registerCalibrateCommand(CLI::App& app);

} // namespace clavio::cli
