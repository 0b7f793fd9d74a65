// What render, play and calibrate share: the --pack and --settings options
// and the settings a run uses.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

namespace clavio {
class ToccaSettings;
}

namespace clavio::cli {

struct TraceRunOptions {
    std::string trace;
    std::string pack;         // empty: the settings' selected pack
    std::string settingsFile; // empty: the user's own settings
};

// Adds --trace (required) and, unless `withPack` is false, --pack and
// --settings. Returns the --trace option.
CLI::Option* addTraceRunOptions(CLI::App& cmd, TraceRunOptions& options, bool withPack = true);

struct RunSetup {
    std::shared_ptr<ToccaSettings> settings;
    std::filesystem::path bundledPacksFolder;
};

// The settings of a run: a --settings file that cannot be read or does not
// decode is an error (the user asked for that file); the user's own
// settings file falls back to the defaults as the application does. Never
// writes a settings file. With --pack, the pack replaces the selected one:
// a catalogue folder name ("Biscuit"), or a path to a pack folder (anything
// holding a "/", such as ./MyPack), found through its parent folder; a
// --pack that is no usable pack is an error naming the installed packs.
// Returns the error on stderr's behalf: one line, or nothing.
std::optional<std::string> prepareRun(const TraceRunOptions& options, RunSetup& out);

// One line on stderr when the pack left the mixer without samples; true
// when it did.
bool warnIfSilent(bool packLoaded, std::size_t loadedSamples, const ToccaSettings& settings);

} // namespace clavio::cli
