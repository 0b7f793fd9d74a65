// `clavio-cli play --trace FILE|demo [--pack NAME|DIR] [--settings FILE]
//  [--tail SECONDS]`: replays a session trace in real time through the real
// threads (the coordinator on this thread's RunLoop, the classify queue's
// worker, the keyboard and sensor threads playing the trace, SDL's audio
// thread) and the audio device. Ends when the trace has played out and the
// tail has passed, or on Ctrl-C.
//
// It measures itself how long each press waits for its sound: from the key
// event to the start of the first render cycle that mixes its voice
// (LatencyProbeOutput), and prints the median, 99th percentile and worst
// case, also net of the designed classification delay (searchPostMs + 10 ms).
//
// Then the output: the period it got, how many render cycles came late (a
// gap of more than two periods), and its latency: what the sound server
// states for this process's stream, asked about once a second while the
// trace plays (PulseAudio or PipeWire's PulseAudio server; the median of
// the answers), else the buffer arithmetic of one period. The key-to-ear
// estimate is each press's delay to its first rendered frame plus that
// output latency.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <vector>

#include "cli/cli_commands.h"
#include "cli/number_options.h"
#include "cli/press_table.h"
#include "cli/trace_path.h"
#include "cli/trace_run_options.h"
#include "engine/audio/audio_engine.h"
#include "engine/audio/latency_probe_output.h"
#include "engine/packs/sound_pack_manager.h"
#include "engine/pipeline/tocca_coordinator.h"
#include "engine/ports/clock.h"
#include "engine/render/seeded_random.h"
#include "engine/replay/replay_key_source.h"
#include "engine/replay/replay_microphone.h"
#include "engine/replay/replay_sensor_registry.h"
#include "engine/replay/replay_timeline.h"
#include "engine/runtime/run_loop.h"
#include "engine/runtime/serial_deadline_queue.h"
#include "engine/runtime/termination_center.h"
#include "engine/settings/tocca_settings.h"
#include "platform/linux/desktop/termination_signals.h"

namespace clavio::cli {

namespace {

struct PlayOptions {
    TraceRunOptions run;
    double tailSeconds = 1.0;
    bool listDelays = false;
    std::uint32_t periodFrames = 0; // 0: the mixer's
};

constexpr auto kPollInterval = std::chrono::milliseconds(50);
// The server is asked for its latency every this many polls, each answer
// awaited at most kLatencyTimeout (on this thread, which the key path does
// not cross).
constexpr int kLatencyPolls = 20;
constexpr auto kLatencyTimeout = std::chrono::milliseconds(250);
constexpr std::uint64_t kStartLeadTicks = 500'000'000;

int fail(const std::string& message) {
    std::cerr << "clavio-cli: " << message << "\n";
    return 1;
}

// Nearest-rank percentile of sorted values.
double percentile(const std::vector<double>& sorted, double p) {
    const auto rank = std::size_t(std::ceil(p / 100.0 * double(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

struct Spread {
    double median, p95, p99, worst;
};

Spread spreadOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {percentile(values, 50), percentile(values, 95), percentile(values, 99), values.back()};
}

// What the sound server stated over the run.
struct StatedLatency {
    std::vector<double> totalMs;
    platform::PulseStreamLatency last;
    std::string error; // the last reason no answer came; empty when never asked
};

// The output's period, its late cycles and its latency (stated, else by
// buffer arithmetic); the output latency in ms, or nullopt when unknown.
std::optional<double> printOutput(const LatencyProbeOutput& probe, const StatedLatency& stated) {
    const AudioOutputStart& start = probe.started();
    const double periodMs = start.bufferFrames && start.sampleRate > 0.0
                                ? start.bufferFrames / start.sampleRate * 1e3
                                : 0.0;
    char line[400];
    std::cout << "\nOutput: " << (start.driver.empty() ? "unknown driver" : start.driver);
    if (periodMs > 0.0) {
        std::snprintf(line, sizeof line, ", %u-frame period at %.0f Hz (%.2f ms)",
                      start.bufferFrames, start.sampleRate, periodMs);
        std::cout << line;
    }
    std::snprintf(line, sizeof line,
                  "; %llu render cycles, %llu late by more than a period (longest gap %.2f ms)\n",
                  (unsigned long long)probe.cycles(), (unsigned long long)probe.lateCycles(),
                  double(probe.longestGapTicks()) * 1e-6);
    std::cout << line;
    if (!stated.totalMs.empty()) {
        std::vector<double> sorted = stated.totalMs;
        std::sort(sorted.begin(), sorted.end());
        const double ms = percentile(sorted, 50);
        std::snprintf(line, sizeof line,
                      "Output latency: %.2f ms, stated by %s for sink %s (median of %zu answers; "
                      "the last: %.2f ms queued + %.2f ms sink, configured %.2f ms)\n",
                      ms, stated.last.server.c_str(), stated.last.sink.c_str(), sorted.size(),
                      stated.last.bufferMs, stated.last.sinkMs, stated.last.configuredMs);
        std::cout << line;
        return ms;
    }
    const std::string why = stated.error.empty()
                                ? "the " + start.driver + " driver has no sound server to ask"
                                : stated.error;
    if (periodMs > 0.0) {
        std::snprintf(line, sizeof line,
                      "Output latency: %.2f ms by buffer arithmetic (one period; any buffering "
                      "beyond it unknown: %s)\n",
                      periodMs, why.c_str());
        std::cout << line;
        return periodMs;
    }
    std::cout << "Output latency: unknown (" << why << ")\n";
    return std::nullopt;
}

// The delays, and where they arise: from the key event to the
// classification step (the designed delay plus any lateness of the replay
// and classify threads) and from there to the first render cycle.
// Returns each measured press's delay to its first rendered frame, in ms.
std::vector<double> printLatency(const std::vector<LatencyProbeOutput::Measurement>& measured,
                                 const std::vector<ToccaCoordinator::PressReport>& presses,
                                 std::uint64_t dropped, double designedMs, bool list,
                                 std::uint64_t originTicks) {
    if (measured.empty()) {
        std::cout << "\nNo press sounded, so no delay was measured.\n";
        return {};
    }
    std::map<std::uint64_t, std::uint64_t> classifiedAt;
    for (const auto& press : presses) {
        classifiedAt.emplace(press.keyEvent.timestamp, press.classifiedAt);
    }
    char line[320];
    if (list) {
        std::cout << "\n    TIME   FIRST FRAME   DELAY      CLASSIFIED\n";
    }
    std::vector<double> total, toClassify, toFrame;
    for (const auto& m : measured) {
        total.push_back(double(m.delayTicks()) * 1e-6);
        const auto it = classifiedAt.find(m.keyTicks);
        if (it != classifiedAt.end()) {
            toClassify.push_back(double(std::int64_t(it->second - m.keyTicks)) * 1e-6);
            toFrame.push_back(double(std::int64_t(m.firstFrameTicks - it->second)) * 1e-6);
        }
        if (list) {
            std::snprintf(line, sizeof line, "%8.3f  %12llu  %6.2f ms  %6.2f ms\n",
                          double(m.keyTicks - originTicks) * 1e-9, (unsigned long long)m.firstFrame,
                          total.back(), it != classifiedAt.end() ? toClassify.back() : 0.0);
            std::cout << line;
        }
    }
    const Spread all = spreadOf(total);
    std::snprintf(line, sizeof line,
                  "\nKey event to first rendered frame, %zu presses%s:\n"
                  "  median %.2f ms, p99 %.2f ms, worst %.2f ms\n"
                  "  beyond the designed %.0f ms classification delay: median %.2f ms, p99 %.2f "
                  "ms, worst %.2f ms\n",
                  total.size(), dropped ? " (some not measured)" : "", all.median, all.p99,
                  all.worst, designedMs, all.median - designedMs, all.p99 - designedMs,
                  all.worst - designedMs);
    std::cout << line;
    if (!toClassify.empty()) {
        const Spread a = spreadOf(toClassify), b = spreadOf(toFrame);
        std::snprintf(line, sizeof line,
                      "  of which key event to classification: median %.2f ms, p99 %.2f ms, "
                      "worst %.2f ms\n"
                      "           classification to first frame: median %.2f ms, p99 %.2f ms, "
                      "worst %.2f ms\n",
                      a.median, a.p99, a.worst, b.median, b.p99, b.worst);
        std::cout << line;
    }
    return total;
}

int play(const PlayOptions& options, const CliServices& cli) {
    std::optional<TraceError> traceError;
    auto timeline = ReplayTimeline::open(resolveTracePath(options.run.trace), traceError);
    if (!timeline) {
        return fail(traceError ? traceError->text() : "the trace cannot be read");
    }
    RunSetup setup;
    if (auto error = prepareRun(options.run, setup)) {
        return fail(*error);
    }
    if (!(options.tailSeconds >= 0.0 && options.tailSeconds <= 60.0)) {
        return fail("--tail must lie between 0 and 60 seconds");
    }

    RunLoop loop;
    SerialDeadlineQueue classifyQueue;
    const std::unique_ptr<AudioOutput> device = cli.soundCard(options.periodFrames);
    LatencyProbeOutput probe(*device);
    const AudioDecoder& decoder = cli.decoder();
    TerminationCenter termination(loop);
    const auto signals = cli.signals(termination);
    std::atomic<bool> interrupted{false};
    termination.addQuitObserver([&] {
        interrupted = true;
        loop.quit();
    });
    SeededRandom random(std::random_device{}());

    CoordinatorServices services;
    services.queues = {&loop, &classifyQueue};
    services.devices = {std::make_shared<ReplaySensorRegistry>(timeline),
                        std::make_shared<ReplayKeySource>(timeline), &decoder, &probe};
    // A trace with microphone blocks brings its microphone; the coordinator
    // listens to it only when velocitySource is "microphone".
    TimelineMicrophone microphone(timeline);
    if (timeline->recordCount(TraceRecord::Type::mic) > 0) {
        services.devices.microphone = &microphone;
    }
    services.random = {SeededRandom::indexFunction(random), SeededRandom::jitterFunction(random)};
    services.termination = &termination;
    services.bundledPacksFolder = setup.bundledPacksFolder;

    const double designedMs = std::trunc(setup.settings->searchPostMs()) + 10.0;
    if (!setup.settings->soundEnabled()) {
        std::cerr << "clavio-cli: sound is switched off in the settings: nothing will sound\n";
    }
    auto coordinator = ToccaCoordinator::create(setup.settings, std::move(services));
    // The trace's clock starts a moment from now, once start() (posted by
    // construction: pack loading, audio, sensor and keyboard threads) has
    // run, so that its first records are not already overdue.
    timeline->start(hostTicks() + kStartLeadTicks);
    // Classify queue: note the press for the probe first, then keep the
    // report for the table (read once the queue is idle).
    std::mutex pressesLock;
    std::vector<ToccaCoordinator::PressReport> presses;
    coordinator->setPressReporter([&](const ToccaCoordinator::PressReport& press) {
        if (std::any_of(press.layers.begin(), press.layers.end(),
                        [](const auto& l) { return l.sampleIndex >= 0; })) {
            probe.notePress(press.keyEvent.timestamp);
        }
        std::lock_guard lock(pressesLock);
        presses.push_back(press);
    });
    if (!coordinator->sensorAvailable() && setup.settings->soundEnabled()) {
        std::cerr << "clavio-cli: the trace holds no accelerometer reports: every press "
                     "plays at the fixed strength of "
                  << fixedStrengthPercent(setup.settings->fixedVelocity()) << "\n";
    }

    std::vector<LatencyProbeOutput::Measurement> measured;
    bool audioFailed = false;
    bool checkedStart = false;
    StatedLatency stated;
    int pollsToQuery = kLatencyPolls;
    const std::uint64_t tailTicks = std::uint64_t((options.tailSeconds + designedMs * 1e-3) * 1e9);
    TimerHandle poll = loop.scheduleRepeating(kPollInterval, [&] {
        probe.drain(measured);
        if (!checkedStart && coordinator->isRunning()) {
            checkedStart = true;
            warnIfSilent(coordinator->packManager().currentManifest().has_value(),
                         coordinator->audioEngine().loadedSampleCount(), *setup.settings);
            if (!coordinator->audioEngine().isRunning()) {
                audioFailed = true;
                loop.quit();
                return;
            }
        }
        const std::string& driver = probe.started().driver;
        if (checkedStart && (driver == "pulseaudio" || driver == "pipewire") &&
            --pollsToQuery == 0) {
            pollsToQuery = kLatencyPolls;
            std::string error;
            if (auto answer = cli.statedOutputLatency(kLatencyTimeout, error)) {
                stated.totalMs.push_back(answer->totalMs());
                stated.last = *answer;
            } else {
                stated.error = error;
            }
        }
        const auto end = timeline->endTicks();
        // With sound off nothing plays the trace: the time alone ends the run.
        if (end && hostTicks() >= *end + tailTicks &&
            (timeline->finished() || !coordinator->isRunning())) {
            loop.quit();
        }
    });
    loop.run();
    poll.invalidate();
    coordinator->stop();
    classifyQueue.waitUntilIdle(std::chrono::seconds(2));
    coordinator->setPressReporter(nullptr);
    probe.drain(measured);
    std::lock_guard lock(pressesLock);

    if (audioFailed) {
        return fail("no audio output could be started (see the log line above)");
    }
    std::sort(presses.begin(), presses.end(), [](const auto& a, const auto& b) {
        return a.keyEvent.timestamp < b.keyEvent.timestamp;
    });
    printPressTable(std::cout, presses, timeline->startTicks().value_or(0));
    if (interrupted) {
        std::cout << "\nStopped before the end of the trace.\n";
    }
    const std::vector<double> delays =
        printLatency(measured, presses, probe.dropped(), designedMs, options.listDelays,
                     timeline->startTicks().value_or(0));
    const std::optional<double> outputMs = printOutput(probe, stated);
    if (!delays.empty()) {
        const Spread spread = spreadOf(delays);
        char line[240];
        if (outputMs) {
            std::snprintf(line, sizeof line,
                          "Key to ear, estimated: median %.2f ms, p95 %.2f ms (key event to first "
                          "rendered frame plus the output latency)\n",
                          spread.median + *outputMs, spread.p95 + *outputMs);
        } else {
            std::snprintf(line, sizeof line,
                          "Key to ear: unknown; key event to first rendered frame median %.2f ms, "
                          "p95 %.2f ms, plus an unknown output latency\n",
                          spread.median, spread.p95);
        }
        std::cout << line;
    }
    return 0;
}

} // namespace

void registerPlayCommand(CLI::App& app, const CliServices& services) {
    auto* cmd =
        app.add_subcommand("play", "Replay a session trace in real time through the audio device");
    auto options = std::make_shared<PlayOptions>();
    addTraceRunOptions(*cmd, options->run);
    cmd->add_option("--tail", options->tailSeconds,
                    "Seconds to keep playing after the last record (default 1)")
        ->check(finiteRange(0.0, 60.0));
    cmd->add_option("--period", options->periodFrames,
                    "Frames per audio period to ask the device for, 16 to 8192 (default: 256)")
        ->check(CLI::Range(16, 8192));
    cmd->add_flag("--delays", options->listDelays,
                  "List each press's delay and the output frame its sound starts at");
    cmd->callback([options, &services] { setExitStatus(play(*options, services)); });
}

} // namespace clavio::cli
