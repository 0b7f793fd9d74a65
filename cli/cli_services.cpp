#include "cli/cli_services.h"

#include <unistd.h>

#include "platform/linux/audio/sdl_audio_output.h"
#include "platform/linux/audio/sdl_microphone.h"
#include "platform/linux/desktop/resource_dir.h"
#include "platform/linux/desktop/termination_signals.h"
#include "platform/linux/input/evdev_key_source.h"
#include "platform/linux/sensors/linux_sensor_registry.h"
#include "platform/linux/system/evdev_probe.h"

namespace clavio::cli {

namespace {

std::shared_ptr<platform::EvdevProbe> probeFor(const DeviceRoots& roots) {
    return roots.described ? platform::makeSidecarEvdevProbe() : platform::makeLibevdevProbe();
}

} // namespace

void CliServices::addDeviceOptions(CLI::App& command, DeviceRoots& roots) {
    command.add_option("--input-root", roots.input)->group("");
    command.add_option("--sys-root", roots.sys)->group("");
    command.add_option("--dev-root", roots.dev)->group("");
    command.add_flag("--described-devices", roots.described)->group("");
}

std::unique_ptr<AudioOutput> CliServices::soundCard(std::uint32_t periodFrames) const {
    return std::make_unique<platform::SdlAudioOutput>(periodFrames);
}

std::optional<platform::PulseStreamLatency>
CliServices::statedOutputLatency(std::chrono::milliseconds timeout, std::string& error) const {
    return platform::queryPulseStreamLatency(getpid(), timeout, error);
}

std::unique_ptr<Microphone> CliServices::microphone() const {
    return std::make_unique<platform::SdlMicrophone>();
}

std::shared_ptr<platform::EvdevKeySource> CliServices::keyboards(const DeviceRoots& roots) const {
    return std::make_shared<platform::EvdevKeySource>(
        platform::EvdevKeySourceOptions{roots.input, probeFor(roots)});
}

std::shared_ptr<platform::LinuxSensorRegistry>
CliServices::sensors(const DeviceRoots& roots) const {
    return std::make_shared<platform::LinuxSensorRegistry>(
        platform::LinuxSensorRoots{roots.sys, roots.dev, roots.input, probeFor(roots)});
}

std::unique_ptr<platform::TerminationSignals>
CliServices::signals(TerminationNotifier& notifier) const {
    return std::make_unique<platform::TerminationSignals>(notifier);
}

std::filesystem::path CliServices::resourceDir() const {
    return platform::resourceDir();
}

} // namespace clavio::cli
