// `clavio-cli calibrate --trace FILE|demo [--pack NAME|DIR] [--settings FILE]`:
// classifies a trace's presses as the pipeline does (the offline render,
// with its audio dropped) and prints the calibration result as JSON, or says
// that too few presses were recorded (exit status 1). The presses are measured
// by the source the settings choose: the trace's microphone blocks for
// "microphone" (the cap is then on the microphone's scale, for
// microphoneHardCap), its accelerometer reports otherwise; a trace without
// them is refused. An offline run starts with no learned per-key levels, so
// its result is the same every time.
//
// `clavio-cli calibrate --reset-keys`: deletes the per-key strike levels the
// application learned (a running application forgets its own on the reset
// button; this one clears what it finds at its next start).
#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "cli/cli_commands.h"
#include "cli/trace_path.h"
#include "cli/trace_run_options.h"
#include "engine/core/paths.h"
#include "engine/render/offline_renderer.h"
#include "engine/sensing/calibration.h"
#include "engine/settings/tocca_settings.h"

namespace clavio::cli {

namespace {

int calibrate(const TraceRunOptions& options, const CliServices& services) {
    std::optional<TraceError> traceError;
    auto trace = LoadedTrace::read(resolveTracePath(options.trace), traceError);
    if (!trace) {
        std::cerr << "clavio-cli: " << traceError->text() << "\n";
        return 1;
    }
    RunSetup setup;
    if (auto error = prepareRun(options, setup)) {
        std::cerr << "clavio-cli: " << *error << "\n";
        return 1;
    }
    const bool microphone = setup.settings->velocitySource() == VelocitySource::microphone;
    if ((microphone ? trace->summary().micBlocks : trace->summary().accelReports) == 0) {
        std::cerr << "clavio-cli: " << trace->source()
                  << (microphone ? ": the trace holds no microphone blocks; calibration from "
                                   "the microphone needs them\n"
                                 : ": the trace holds no accelerometer reports; calibration "
                                   "needs them\n");
        return 1;
    }
    OfflineRenderConfig config;
    config.settings = setup.settings;
    config.audioDecoder = &services.decoder();
    config.bundledPacksFolder = setup.bundledPacksFolder;
    // No audio is kept, and idle stretches are jumped over: any trace the
    // reader accepts is classified in time proportional to its records.
    config.maxRenderTicks = kTraceMaxSpanTicks + OfflineRenderer::kMaximumTailTicks;
    const OfflineRenderResult result = OfflineRenderer(std::move(config)).render(std::move(trace));
    if (result.traceError || result.packRefusal) {
        std::cerr << "clavio-cli: "
                  << (result.traceError ? result.traceError->text() : *result.packRefusal) << "\n";
        return 1;
    }
    if (!result.calibration) {
        std::cerr << "clavio-cli: " << result.calibrationScores
                  << (result.calibrationScores == 1 ? " press was" : " presses were")
                  << " recorded; calibration needs at least "
                  << CalibrationCollector::kMinimumScores << "\n";
        return 1;
    }
    std::cout << encodeCalibrationResult(*result.calibration).dump(2) << "\n";
    return 0;
}

int resetKeys() {
    const std::filesystem::path file = keyLevelsFile();
    std::error_code ec;
    const bool removed = std::filesystem::remove(file, ec);
    if (ec) {
        std::cerr << "clavio-cli: " << file.string() << ": " << ec.message() << "\n";
        return 1;
    }
    std::cout << (removed ? "removed " + file.string() : "no per-key levels learned yet") << "\n";
    return 0;
}

} // namespace

void registerCalibrateCommand(CLI::App& app, const CliServices& services) {
    auto* cmd = app.add_subcommand(
        "calibrate", "Classify a trace's presses and print the recommended thresholds as JSON");
    auto options = std::make_shared<TraceRunOptions>();
    CLI::Option* trace = addTraceRunOptions(*cmd, *options);
    auto reset = std::make_shared<bool>(false);
    CLI::Option* resetOption = cmd->add_flag(
        "--reset-keys", *reset, "Forget the per-key strike levels the application has learned");
    trace->required(false);
    resetOption->excludes(trace);
    cmd->callback([options, reset, &services] {
        if (*reset) {
            setExitStatus(resetKeys());
        } else if (options->trace.empty()) {
            throw CLI::RequiredError("--trace or --reset-keys");
        } else {
            setExitStatus(calibrate(*options, services));
        }
    });
}

} // namespace clavio::cli
