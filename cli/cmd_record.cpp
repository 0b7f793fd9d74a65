// `clavio-cli record --out FILE [--seconds N] [--mic [--mic-device NAME]]`:
// records a live session from the keyboards, the accelerometer and, only
// when asked, the microphone into a session trace.
//
// The keyboard's tap events are recorded as the tap delivers them, before
// the event logic tells modifier presses from releases (that is what a trace
// holds, and replay runs the logic again); the accelerometer's reports are
// recorded raw, 22 bytes as they come; the microphone's blocks as SDL's
// capture thread hands them over (mono float samples, stamped on the key
// clock). One thread waits on each device; the
// main thread merges them in time order into the trace (TraceRecorder) and
// ends on --seconds, Ctrl-C (SIGINT) or SIGTERM. The trace appears under its
// name only when it is complete; a failure leaves no file.
//
// Hidden options point it at a fake device tree (tests), as for `devices`.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "cli/cli_commands.h"
#include "cli/number_options.h"
#include "cli/printable.h"
#include "engine/ports/clock.h"
#include "engine/ports/microphone.h"
#include "engine/replay/replay_delivery.h"
#include "engine/replay/trace_recorder.h"
#include "engine/sensing/tca_spu_sensor.h"
#include "platform/linux/input/evdev_key_source.h"
#include "platform/linux/sensors/linux_sensor_registry.h"
#include "platform/linux/system/safe_file.h"

namespace clavio::cli {

namespace {

// Slices are short so that each lane's watermark moves often and the merge
// holds little back; a stop interrupts them anyway.
constexpr double kSliceSeconds = 0.1;
constexpr auto kDrainInterval = std::chrono::milliseconds(50);

struct RecordOptions {
    std::string out;
    double seconds = 0.0; // 0: until Ctrl-C
    bool force = false;
    bool mic = false;
    std::string micDevice; // empty: the system's default source
    DeviceRoots roots;
};

std::atomic<bool> gStopSignal{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void onStopSignal(int) {
    gStopSignal.store(true, std::memory_order_relaxed);
}

// Routes SIGINT and SIGTERM to the stop flag while recording.
class StopSignals {
public:
    StopSignals() {
        gStopSignal.store(false);
        struct sigaction action {};
        action.sa_handler = &onStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &_previousInt);
        sigaction(SIGTERM, &action, &_previousTerm);
    }
    ~StopSignals() {
        sigaction(SIGINT, &_previousInt, nullptr);
        sigaction(SIGTERM, &_previousTerm, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction _previousInt {};
    struct sigaction _previousTerm {};
};

void onKey(void* context, const TCATapEvent& event) noexcept {
    if (const auto key = traceKeyFromTapEvent(event)) {
        // Stamped as the event logic stamps live keys: the clock read now.
        static_cast<TraceRecorder*>(context)->pushKey(event.timestamp.value_or(hostTicks()), *key);
    }
}

void onMicBlock(void* context, const float* samples, std::uint32_t count, double rate,
                std::uint64_t firstSampleTicks) noexcept {
    static_cast<TraceRecorder*>(context)->pushMic(firstSampleTicks, samples, count,
                                                  std::uint32_t(std::lround(rate)));
}

// Blocks of about 5 ms, as the strike sensing captures them.
constexpr double kMicBlockSeconds = 0.005;

void onReport(void* context, const std::uint8_t* report, std::size_t length,
              std::uint64_t timestamp) noexcept {
    static_cast<TraceRecorder*>(context)->pushReport(timestamp, report, length);
}

// The accelerometer's open report stream, or null with a note of why not.
std::unique_ptr<SensorReportStream> openAccelerometer(SensorRegistry& registry,
                                                      std::string& chosen) {
    _switchSensorDriversOn(registry);
    const auto service = _findAccelService(registry);
    if (!service) {
        std::cerr << "clavio-cli: no accelerometer found; recording without accelerometer "
                     "reports\n";
        return nullptr;
    }
    auto device = registry.createDevice(*service);
    auto stream = device ? device->open() : nullptr;
    if (!stream) {
        std::cerr << "clavio-cli: the accelerometer " << service->id << " cannot be "
                  << (device ? "opened (access denied)" : "set up")
                  << "; recording without accelerometer reports\n";
        return nullptr;
    }
    chosen = service->id;
    return stream;
}

bool fail(const std::string& message) {
    std::cerr << "clavio-cli: " << printable(message) << "\n";
    setExitStatus(1);
    return false;
}

bool record(const RecordOptions& options, const CliServices& services) {
    // From here on Ctrl-C ends the recording with a complete trace; a signal
    // taking the default action could leave the temporary file behind.
    StopSignals signals;
    const std::filesystem::path out = options.out;
    // The output is checked before any device is touched: a path that cannot
    // be written is an error before any work is done. Without --force the
    // trace is moved into place only if the name is still free then, so a
    // file created there meanwhile is kept.
    const ExistingFile existing = options.force ? ExistingFile::replace : ExistingFile::keep;
    if (auto error = platform::checkOutput(out, existing)) {
        return fail(existing == ExistingFile::keep && error->ends_with(" already exists")
                        ? *error + "; choose another name or pass --force"
                        : *error);
    }
    TraceFileWriter file(out, existing);
    if (file.openError()) {
        return fail("cannot write " + out.string() + ": " + *file.openError());
    }

    const auto keys = services.keyboards(options.roots);
    // Tap and stream are made here, so that what is missing is known before
    // recording starts, and then handed to their threads.
    std::unique_ptr<KeyEventTap> tap = keys->createTap();
    if (!tap) {
        std::cerr << "clavio-cli: no keyboard can be read; recording without keys. "
                  << platform::EvdevKeySource::accessInstructions() << "\n";
    }
    const auto registry = services.sensors(options.roots);
    std::string accelerometer;
    std::unique_ptr<SensorReportStream> stream = openAccelerometer(*registry, accelerometer);
    // The microphone only when asked for; asked for and not there is an error.
    std::unique_ptr<Microphone> microphone = options.mic ? services.microphone() : nullptr;
    if (!microphone && !tap && !stream) {
        return fail("nothing to record: no keyboard and no accelerometer can be opened");
    }

    TraceRecorder recorder(TraceRecorder::kDefaultCapacity,
                           microphone ? TraceRecorder::kDefaultMicSlots : 0);
    if (microphone) {
        const MicrophoneStart started =
            microphone->start(options.micDevice, kMicBlockSeconds, &onMicBlock, &recorder);
        if (!started.started) {
            return fail(started.error + "; no trace was written");
        }
        std::cerr << "Recording the microphone "
                  << (started.deviceName.empty() ? std::string("(the system default source)")
                                                 : "\"" + printable(started.deviceName) + "\"")
                  << " at " << started.sampleRate
                  << " Hz: its samples go into the trace file only\n";
    }
    if (!tap) {
        recorder.closeLane(TraceRecorder::Lane::keys);
    }
    if (!stream) {
        recorder.closeLane(TraceRecorder::Lane::reports);
    }

    std::atomic<bool> stop{false};
    std::atomic<bool> keyboardGone{false};
    std::atomic<bool> accelerometerGone{false};
    std::thread keyThread;
    std::thread sensorThread;
    if (tap) {
        keyThread = std::thread([&] {
            while (!stop.load(std::memory_order_acquire)) {
                recorder.beginSlice(TraceRecorder::Lane::keys, hostTicks());
                if (!tap->runSlice(kSliceSeconds, &onKey, &recorder)) {
                    keyboardGone.store(true, std::memory_order_release);
                    break;
                }
            }
            recorder.closeLane(TraceRecorder::Lane::keys);
        });
    }
    if (stream) {
        sensorThread = std::thread([&] {
            while (!stop.load(std::memory_order_acquire)) {
                recorder.beginSlice(TraceRecorder::Lane::reports, hostTicks());
                if (!stream->runSlice(kSliceSeconds, &onReport, &recorder)) {
                    accelerometerGone.store(true, std::memory_order_release);
                    break;
                }
            }
            recorder.closeLane(TraceRecorder::Lane::reports);
        });
    }

    std::cerr << "Recording " << (tap ? "keys" : "no keys") << (microphone ? ", " : " and ")
              << (stream ? "the accelerometer " + accelerometer : std::string("no accelerometer"))
              << (microphone ? " and the microphone" : "") << " to " << out.string() << "; ";
    if (options.seconds > 0.0) {
        std::cerr << "stopping after " << options.seconds << " s or on Ctrl-C\n";
    } else {
        std::cerr << "press Ctrl-C to stop\n";
    }

    const auto began = std::chrono::steady_clock::now();
    const auto deadline = began + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(options.seconds));
    bool writeOk = true;
    bool keyboardNoted = false;
    bool accelerometerNoted = false;
    bool microphoneNoted = false;
    for (;;) {
        std::this_thread::sleep_for(kDrainInterval);
        writeOk = recorder.drain(file.writer());
        if (!keyboardNoted && keyboardGone.load(std::memory_order_acquire)) {
            std::cerr << "clavio-cli: the keyboards went away; recording goes on without them\n";
            keyboardNoted = true;
        }
        if (!accelerometerNoted && accelerometerGone.load(std::memory_order_acquire)) {
            std::cerr << "clavio-cli: the accelerometer went away; recording goes on without it\n";
            accelerometerNoted = true;
        }
        if (!microphoneNoted && microphone && microphone->lost()) {
            // Its lane is closed once its callback can no longer run, so the
            // other lanes are not held back waiting for blocks.
            microphone->stop();
            recorder.closeLane(TraceRecorder::Lane::mic);
            std::cerr << "clavio-cli: the microphone went away; recording goes on without it\n";
            microphoneNoted = true;
        }
        const bool nothingLeft = (!tap || keyboardNoted) && (!stream || accelerometerNoted) &&
                                 (!microphone || microphoneNoted);
        if (!writeOk || nothingLeft || gStopSignal.load(std::memory_order_relaxed) ||
            (options.seconds > 0.0 && std::chrono::steady_clock::now() >= deadline)) {
            break;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    stop.store(true, std::memory_order_release);
    if (tap) {
        tap->interrupt();
    }
    if (stream) {
        stream->interrupt();
    }
    if (keyThread.joinable()) {
        keyThread.join();
    }
    if (sensorThread.joinable()) {
        sensorThread.join();
    }
    if (microphone) {
        microphone->stop(); // the last block has been pushed when this returns
        recorder.closeLane(TraceRecorder::Lane::mic);
    }

    if (!writeOk || !recorder.flush(file.writer())) {
        return fail("writing " + out.string() + " failed; no trace was written");
    }
    if (auto error = file.finish()) {
        return fail(*error);
    }
    if (recorder.dropped() > 0) {
        std::cerr << "clavio-cli: " << recorder.dropped()
                  << " records were lost because the writer fell behind\n";
    }
    if (recorder.oversized() > 0) {
        std::cerr << "clavio-cli: " << recorder.oversized() << " reports longer than "
                  << TraceRecorder::kMaxReportLength
                  << " bytes (not accelerometer reports) were left out\n";
    }
    char line[200];
    if (microphone) {
        std::snprintf(line, sizeof line,
                      "Recorded %llu key events, %llu accelerometer reports and %llu microphone "
                      "blocks in %.1f s to ",
                      static_cast<unsigned long long>(recorder.keysWritten()),
                      static_cast<unsigned long long>(recorder.reportsWritten()),
                      static_cast<unsigned long long>(recorder.micBlocksWritten()), seconds);
    } else {
        std::snprintf(line, sizeof line,
                      "Recorded %llu key events and %llu accelerometer reports in %.1f s to ",
                      static_cast<unsigned long long>(recorder.keysWritten()),
                      static_cast<unsigned long long>(recorder.reportsWritten()), seconds);
    }
    std::cout << line << out.string() << "\n";
    setExitStatus(0);
    return true;
}

} // namespace

void registerRecordCommand(CLI::App& app, const CliServices& services) {
    auto options = std::make_shared<RecordOptions>();
    auto* cmd = app.add_subcommand(
        "record", "Record a live session from the keyboard, the accelerometer and (with --mic) "
                  "the microphone into a trace");
    cmd->add_option("--out", options->out, "Trace file to write (JSON Lines)")->required();
    cmd->add_option("--seconds", options->seconds,
                    "Stop after this many seconds (default: on Ctrl-C)")
        ->check(finiteRange(0.0, 365.0 * 86400.0, false));
    cmd->add_flag("--force", options->force, "Replace the file if it exists");
    cmd->add_flag("--mic", options->mic,
                  "Also record the microphone's samples into the trace (only then is it opened)");
    cmd->add_option("--mic-device", options->micDevice,
                    "The capture device to record with --mic, as devices lists it (default: the "
                    "system's default source)")
        ->needs("--mic");
    CliServices::addDeviceOptions(*cmd, options->roots);
    cmd->callback([options, &services] { record(*options, services); });
}

} // namespace clavio::cli
