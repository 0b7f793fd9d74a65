// The command line's composition root: the one place that chooses the Linux
// implementations of the engine's ports. main() makes one CliServices and
// hands it to every command's registration; a command asks it for what it
// needs when it runs, so a command that needs no device opens none.
//
// Threading: main thread (the commands run there); the objects it makes have
// their own contracts.
#pragma once

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/audio/pulse_latency.h"
#include "platform/linux/audio/sndfile_decoder.h"

namespace clavio {
class AudioOutput;
class Microphone;
class TerminationNotifier;
} // namespace clavio

namespace clavio::platform {
class EvdevKeySource;
class LinuxSensorRegistry;
class TerminationSignals;
class WavWriter;
} // namespace clavio::platform

namespace clavio::cli {

// Where devices are looked for: this machine's /dev/input, /sys and /dev, or
// a fake device tree of folders, FIFOs and "eventN.json" descriptions of
// evdev nodes (hidden options; the tests drive the real reading code so).
struct DeviceRoots {
    std::string input = "/dev/input";
    std::string sys = "/sys";
    std::string dev = "/dev";
    bool described = false;
};

class CliServices {
public:
    // Adds the hidden --input-root, --sys-root, --dev-root and
    // --described-devices options of a command that reads devices.
    static void addDeviceOptions(CLI::App& command, DeviceRoots& roots);

    // libsndfile.
    const AudioDecoder& decoder() const noexcept { return _decoder; }
    // The sound card, through SDL2; periodFrames: the device period to ask
    // for instead of the mixer's (0: the mixer's).
    std::unique_ptr<AudioOutput> soundCard(std::uint32_t periodFrames = 0) const;
    // The output latency the sound server (PulseAudio, or PipeWire's
    // PulseAudio server) states for this process's playback stream; nullopt
    // with the reason when it states none. Blocks for at most `timeout`.
    std::optional<platform::PulseStreamLatency>
    statedOutputLatency(std::chrono::milliseconds timeout, std::string& error) const;
    // The microphone, through SDL2's capture devices. Opens nothing until
    // started.
    std::unique_ptr<Microphone> microphone() const;
    // The keyboards under roots.input, through evdev.
    std::shared_ptr<platform::EvdevKeySource> keyboards(const DeviceRoots& roots) const;
    // The accelerometers: hidraw, IIO and evdev sensors under the roots.
    std::shared_ptr<platform::LinuxSensorRegistry> sensors(const DeviceRoots& roots) const;
    // SIGTERM and SIGINT delivered as a termination notice while it lives.
    std::unique_ptr<platform::TerminationSignals> signals(TerminationNotifier& notifier) const;
    // The built-in packs and the bundled demo session.
    std::filesystem::path resourceDir() const;

private:
    platform::SndfileDecoder _decoder;
};

} // namespace clavio::cli
