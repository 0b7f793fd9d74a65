// clavio-cli trace-check FILE: validates a session trace and prints what it
// holds. Exit status 1, with the error naming the line, for a broken trace.
#include <cstdio>
#include <iostream>
#include <memory>

#include "cli/cli_commands.h"
#include "cli/trace_path.h"
#include "engine/replay/session_trace.h"

namespace clavio::cli {

namespace {
void printSummary(const std::filesystem::path& path, const TraceSummary& s) {
    const double seconds = double(s.durationTicks()) * 1e-9;
    char line[160];
    std::cout << path.string() << ": clavio trace, version " << kTraceVersion << "\n";
    std::snprintf(line, sizeof line, "key downs:        %llu (%llu autorepeat)\n",
                  (unsigned long long)s.keyDowns, (unsigned long long)s.repeats);
    std::cout << line;
    std::snprintf(line, sizeof line, "key ups:          %llu\n", (unsigned long long)s.keyUps);
    std::cout << line;
    std::snprintf(line, sizeof line, "modifier changes: %llu\n", (unsigned long long)s.flagChanges);
    std::cout << line;
    std::snprintf(line, sizeof line, "accel reports:    %llu (%llu of the wrong length, skipped)\n",
                  (unsigned long long)s.accelReports, (unsigned long long)s.accelWrongLength);
    std::cout << line;
    if (s.accelReports > 1 && seconds > 0.0) {
        std::snprintf(line, sizeof line, "accel rate:       %.1f Hz\n",
                      double(s.accelReports - 1) / seconds);
        std::cout << line;
    }
    if (s.micBlocks > 0) {
        std::snprintf(line, sizeof line, "mic blocks:       %llu (%.3f s of samples at %u Hz)\n",
                      (unsigned long long)s.micBlocks, double(s.micSamples) / s.micRate,
                      unsigned(s.micRate));
        std::cout << line;
    }
    std::snprintf(line, sizeof line, "duration:         %.3f s\n", seconds);
    std::cout << line;
}
} // namespace

void registerTraceCheckCommand(CLI::App& app, const CliServices& /*services*/) {
    auto* cmd = app.add_subcommand("trace-check", "Validate a session trace and count its records");
    auto file = std::make_shared<std::string>();
    cmd->add_option("FILE", *file,
                    "Trace file (JSON Lines), or \"demo\" for the bundled demo session")
        ->required();
    cmd->callback([file] {
        const std::filesystem::path path = resolveTracePath(*file);
        TraceReader reader(path);
        TraceSummary summary;
        if (auto error = summarizeTrace(reader, summary)) {
            std::cerr << "clavio-cli: " << error->text() << "\n";
            setExitStatus(1);
            return;
        }
        printSummary(path, summary);
    });
}

} // namespace clavio::cli
