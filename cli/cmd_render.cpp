// `clavio-cli render --trace FILE|demo [--pack NAME|DIR] [--settings FILE]
//  [--seed N] [--rate HZ] [--out FILE.wav] [--events FILE.jsonl]`: replays a
// session trace through the real coordinator, keystroke pipeline and mixer
// on virtual time (OfflineRenderer), writes the mixer's output as a 32-bit
// float stereo WAV and prints the table of presses.
//
// Order of work, so that a mistake costs nothing: the trace is read whole (once),
// the settings file read, and the outputs checked writable before anything
// is rendered; the WAV appears under its name only once complete, so a
// failed render leaves none. The events and the press table are written as
// the presses come, so a render's memory does not grow with its length.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "cli/cli_commands.h"
#include "cli/number_options.h"
#include "cli/press_table.h"
#include "cli/printable.h"
#include "cli/trace_path.h"
#include "cli/trace_run_options.h"
#include "engine/pipeline/tocca_coordinator.h"
#include "engine/render/offline_renderer.h"
#include "engine/render/render_events.h"
#include "engine/replay/session_trace.h"
#include "engine/settings/tocca_settings.h"
#include "platform/linux/audio/wav_writer.h"
#include "platform/linux/system/safe_file.h"

namespace clavio::cli {

namespace fs = std::filesystem;

namespace {

struct RenderOptions {
    TraceRunOptions run;
    std::uint64_t seed = 0;
    std::uint32_t rate = 48000;
    std::string out;
    std::string events;
};

int fail(const std::string& message) {
    std::cerr << "clavio-cli: " << printable(message) << "\n";
    return 1;
}

// "demo.trace.jsonl" -> "demo.wav", in the current folder.
fs::path defaultOutput(const fs::path& trace) {
    std::string stem = trace.filename().string();
    for (const std::string suffix : {".jsonl", ".json", ".trace"}) {
        if (stem.size() > suffix.size() && stem.ends_with(suffix)) {
            stem.resize(stem.size() - suffix.size());
        }
    }
    return fs::path(stem.empty() ? "render" : stem).concat(".wav");
}

// "\r45% (9.6 of 21.3 s)" on a terminal, once a render has taken a moment.
class Progress {
public:
    Progress() : _tty(::isatty(STDERR_FILENO) == 1), _start(std::chrono::steady_clock::now()) {}
    ~Progress() { finish(); }
    // Clears the line; nothing is shown afterwards.
    void finish() {
        if (_shown) {
            std::cerr << "\r\033[K" << std::flush;
        }
        _shown = false;
        _tty = false;
    }
    void operator()(const OfflineRenderProgress& p) {
        if (!_tty || std::chrono::steady_clock::now() - _start < std::chrono::milliseconds(500)) {
            return;
        }
        const double done = double(p.renderedTicks) * 1e-9;
        const double total = double(std::max(p.expectedTicks, p.renderedTicks)) * 1e-9;
        char line[96];
        std::snprintf(line, sizeof line, "\rrendering %3.0f%% (%.1f of %.1f s)",
                      total > 0 ? 100.0 * done / total : 100.0, done, total);
        std::cerr << line << std::flush;
        _shown = true;
    }

private:
    bool _tty;
    bool _shown = false;
    std::chrono::steady_clock::time_point _start;
};

// The press table's lines, kept in an unnamed temporary file until the
// render has succeeded: a failed render prints no table, and a long one
// holds no presses in memory. The file goes with its descriptor.
class TableSpool {
public:
    std::optional<std::string> open() {
        _file.reset(std::tmpfile());
        if (!_file) {
            return std::string("no temporary file for the press table: ") + std::strerror(errno);
        }
        return add(pressTableHeading());
    }
    std::optional<std::string> add(const std::string& line) {
        if (std::fwrite(line.data(), 1, line.size(), _file.get()) != line.size()) {
            return std::string("the press table's temporary file: ") + std::strerror(errno);
        }
        return std::nullopt;
    }
    std::optional<std::string> copyTo(std::ostream& out) {
        if (std::fflush(_file.get()) != 0 || std::fseek(_file.get(), 0, SEEK_SET) != 0) {
            return std::string("the press table's temporary file: ") + std::strerror(errno);
        }
        char chunk[1 << 16];
        while (const std::size_t n = std::fread(chunk, 1, sizeof chunk, _file.get())) {
            out.write(chunk, std::streamsize(n));
        }
        if (std::ferror(_file.get())) {
            return "the press table's temporary file could not be read";
        }
        return std::nullopt;
    }

private:
    struct Close {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Close> _file;
};

int render(const RenderOptions& options, const CliServices& services) {
    const fs::path trace = resolveTracePath(options.run.trace);
    // Read once: the trace may be a pipe.
    std::optional<TraceError> traceError;
    auto loaded = LoadedTrace::read(trace, traceError);
    if (!loaded) {
        return fail(traceError->text());
    }
    RunSetup setup;
    if (auto error = prepareRun(options.run, setup)) {
        return fail(*error);
    }
    if (options.rate < 8000 || options.rate > 384000) {
        return fail("--rate must lie between 8000 and 384000 Hz");
    }
    const fs::path out = options.out.empty() ? defaultOutput(trace) : fs::path(options.out);
    const std::optional<fs::path> events =
        options.events.empty() ? std::nullopt : std::optional<fs::path>(options.events);
    // Compared as files, not as text: a link or a second path to one file
    // would otherwise have one output overwrite the other, or the trace.
    if (events && platform::sameOutput(out, *events)) {
        return fail("--out and --events name the same file");
    }
    for (const auto& target : {std::optional<fs::path>(out), events}) {
        if (!target) {
            continue;
        }
        if (platform::sameOutput(*target, trace)) {
            return fail(target->string() + ": is the trace itself; choose another output");
        }
        if (auto error = platform::checkOutput(*target)) {
            return fail(*error);
        }
    }

    // Both outputs are written under temporary names and renamed only once
    // both are complete, so a failure leaves each as it was.
    platform::WavWriter wav;
    if (auto error = wav.open(out, int(options.rate), 2)) {
        return fail(*error);
    }
    platform::SafeFile eventsFile;
    if (events) {
        if (auto error = eventsFile.open(*events, FileSecrecy::keyCodes, ExistingFile::replace)) {
            return fail(*error);
        }
    }
    TableSpool table;
    if (auto error = table.open()) {
        return fail(*error);
    }
    const AudioDecoder& decoder = services.decoder();
    Progress progress;
    std::optional<std::string> writeError;
    OfflineRenderConfig config;
    config.settings = setup.settings;
    config.audioDecoder = &decoder;
    config.bundledPacksFolder = setup.bundledPacksFolder;
    config.seed = options.seed;
    config.sampleRate = options.rate;
    // No longer than a WAV file can hold at this rate, refused before writing.
    config.maxRenderTicks = std::min<std::uint64_t>(
        OfflineRendererLimits::kMaxRenderTicks,
        platform::WavWriter::kMaxDataBytes / (2 * sizeof(float)) * 1'000'000'000ull / options.rate);
    config.audioSink = [&](const float* frames, std::uint32_t count) {
        writeError = wav.write(frames, count);
        return !writeError;
    };
    config.progress = [&](const OfflineRenderProgress& p) { progress(p); };
    // Events come in key order, as the file lists them; the table lists the
    // presses in the same order.
    config.keepEvents = false;
    // The renderer's frame 0, as its result gives it afterwards.
    const std::uint64_t origin = loaded->summary().firstTicks.value_or(0);
    config.eventSink = [&](const RenderEvent& event) {
        if (const auto* press = std::get_if<ToccaCoordinator::PressReport>(&event)) {
            writeError = table.add(pressTableLine(*press, origin));
        }
        if (events && !writeError) {
            std::string line = encodeEventLine(event);
            line += '\n';
            writeError = eventsFile.write(line.data(), line.size());
        }
        return !writeError;
    };

    const auto started = std::chrono::steady_clock::now();
    const OfflineRenderResult result = OfflineRenderer(std::move(config)).render(std::move(loaded));
    const double wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    progress.finish();

    if (result.traceError || result.packRefusal) {
        wav.discard();
        return fail(result.traceError ? result.traceError->text() : *result.packRefusal);
    }
    if (result.sinkError) {
        wav.discard();
        return fail(writeError.value_or(*result.sinkError));
    }
    if (auto error = wav.complete()) {
        return fail(*error);
    }
    if (auto error =
            events ? platform::commitTogether({&wav.file(), &eventsFile}) : wav.file().commit()) {
        return fail(*error);
    }

    if (auto error = table.copyTo(std::cout)) {
        return fail(*error);
    }
    if (!setup.settings->soundEnabled()) {
        std::cerr << "clavio-cli: warning: sound is switched off in the settings: the presses "
                     "are classified but the render is silent\n";
    } else {
        warnIfSilent(result.packLoaded, result.loadedSamples, *setup.settings);
    }
    if (result.strikeSource.mode == StrikeSource::Mode::fixed) {
        const bool microphone = setup.settings->velocitySource() == VelocitySource::microphone;
        const std::string& reason = result.strikeSource.reason;
        const char* micSays = reason == "microphone silent" ? "the microphone blocks are silent"
                              : reason == "microphone clipping"
                                  ? "the microphone blocks clip"
                                  : "the trace holds no microphone blocks";
        std::cerr << "clavio-cli: "
                  << (microphone               ? micSays
                      : result.sensorAvailable ? "the settings choose a fixed strength"
                                               : "the trace holds no accelerometer reports")
                  << ": every press plays at the fixed strength of "
                  << fixedStrengthPercent(setup.settings->fixedVelocity()) << "\n";
    }
    char line[256];
    std::snprintf(line, sizeof line,
                  "\n%zu presses, %zu releases; %.2f s of audio at %u Hz rendered in %.2f s "
                  "(pack %s, seed %llu)\n",
                  result.pressCount, result.releaseCount, result.seconds(), options.rate,
                  wallSeconds, printable(setup.settings->selectedPackName()).c_str(),
                  (unsigned long long)options.seed);
    std::cout << line;
    std::error_code ec;
    std::cout << "Wrote " << printable(fs::absolute(out, ec).lexically_normal()) << "\n";
    if (events) {
        std::cout << "Events: " << printable(fs::absolute(*events, ec).lexically_normal()) << "\n";
    }
    return 0;
}

} // namespace

void registerRenderCommand(CLI::App& app, const CliServices& services) {
    auto* cmd = app.add_subcommand(
        "render", "Render a session trace through the keystroke pipeline to a WAV file");
    auto options = std::make_shared<RenderOptions>();
    addTraceRunOptions(*cmd, options->run);
    cmd->add_option("--seed", options->seed,
                    "Seed of the random sample choice and variation (default 0); the same "
                    "trace, pack, settings and seed give the same file")
        ->check(unsignedDigits());
    cmd->add_option("--rate", options->rate, "Output sample rate in Hz (default 48000)")
        ->check(finiteRange(8000, 384000));
    cmd->add_option("--out", options->out,
                    "WAV file to write (default: the trace's name with .wav, in the current "
                    "folder); an existing file is replaced once the render is complete");
    cmd->add_option("--events", options->events,
                    "Also write one JSON object per press and release to this file");
    cmd->callback([options, &services] { setExitStatus(render(*options, services)); });
}

} // namespace clavio::cli
