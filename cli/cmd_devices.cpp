// `clavio-cli devices`: the keyboards found and whether they can be read, the
// accelerometer services with their properties, how each is read (buffer,
// polling, hidraw, evdev) at what rate or what to do when it cannot be, the
// one chosen, the sensor's status after a short start, and the sound capture
// devices the microphone strike source can use. Hidden options point it at a
// fake device tree (tests); SDL_AUDIODRIVER chooses the sound system.
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "cli/cli_commands.h"
#include "cli/number_options.h"
#include "cli/printable.h"
#include "engine/ports/microphone.h"
#include "engine/sensing/spu_sensor.h"
#include "engine/sensing/tca_spu_sensor.h"
#include "platform/linux/input/evdev_key_source.h"
#include "platform/linux/sensors/linux_sensor_registry.h"

namespace clavio::cli {

namespace {

struct DevicesOptions {
    DeviceRoots roots;
    double waitSeconds = 0.5;
};

std::string formatValue(const SensorPropertyValue& value) {
    if (const auto* n = std::get_if<std::int64_t>(&value)) {
        return std::to_string(*n);
    }
    return "\"" + printable(std::get<std::string>(value)) + "\"";
}

void printKeyboards(platform::EvdevKeySource& source) {
    std::cout << "Keyboards in " << printable(source.deviceRoot()) << ":\n";
    const auto devices = source.listDevices();
    if (devices.empty()) {
        std::cout << "  (none)\n";
    }
    for (const auto& device : devices) {
        std::cout << "  " << printable(device.node) << "  ";
        if (device.opened) {
            std::cout << "\"" << printable(device.name) << "\"  readable\n";
        } else {
            std::cout << "cannot be opened: " << printable(device.error) << "\n";
        }
    }
    if (source.hasAccess()) {
        std::cout << "Keyboard access: granted\n";
    } else {
        std::cout << "Keyboard access: not granted. "
                  << platform::EvdevKeySource::accessInstructions() << "\n";
    }
}

void printSensor(platform::LinuxSensorRegistry& registry,
                 const std::shared_ptr<SensorRegistry>& shared, double waitSeconds) {
    // Listed while the sensor runs, so that the rate and read mode are those
    // it switched the device to and reads it with.
    auto sensor = SPUSensor::create(shared);
    sensor->start();
    std::this_thread::sleep_for(std::chrono::duration<double>(waitSeconds));
    const SensorStatus status = sensor->status();
    const auto samples = sensor->totalSamples();

    std::cout << "Accelerometer services:\n";
    const auto services = registry.matchingServices(kSensorDeviceClass);
    const auto chosen = _findAccelService(registry);
    bool anyAccelerometer = false;
    if (!services || services->empty()) {
        std::cout << "  (none)\n";
    } else {
        for (const auto& service : *services) {
            const bool isChosen = chosen && chosen->id == service.id;
            std::cout << (isChosen ? "* " : "  ") << printable(service.id);
            for (const auto& [name, value] : service.properties) {
                std::cout << "  " << printable(name) << "=" << formatValue(value);
            }
            std::cout << "\n";
            if (_registryInt(service, "PrimaryUsagePage") == kAccelUsagePage &&
                _registryInt(service, "PrimaryUsage") == kAccelUsage) {
                anyAccelerometer = true;
                std::cout << "    " << registry.access(service).text << "\n";
            }
        }
    }
    if (!anyAccelerometer) {
        std::cout << "No accelerometer: every key plays at a fixed strength. "
                  << platform::LinuxSensorRegistry::noAccelerometerAdvice() << "\n";
    }
    std::cout << "Chosen accelerometer: " << (chosen ? printable(chosen->id) : std::string("none"))
              << "\n";

    sensor->stop();
    std::cout << "Sensor status after " << waitSeconds << " s: " << name(status) << " (" << samples
              << " samples)\n";
}

// Listed only: nothing is opened or captured.
void printMicrophones(Microphone& microphone) {
    std::cout << "Capture devices (for the \"microphone\" strike source; an empty "
                 "microphoneDevice uses the system default):\n";
    const auto names = microphone.deviceNames();
    if (names.empty()) {
        std::cout << "  (none: no sound server reachable or no source)\n";
    }
    for (const auto& name : names) {
        std::cout << "  \"" << printable(name) << "\"\n";
    }
}

} // namespace

void registerDevicesCommand(CLI::App& app, const CliServices& services) {
    auto options = std::make_shared<DevicesOptions>();
    auto* cmd = app.add_subcommand(
        "devices", "List keyboards, accelerometer services and capture devices, with access and sensor status");
    cmd->add_option("--wait", options->waitSeconds,
                    "Seconds to run the accelerometer before reporting its status")
        ->check(finiteRange(0.0, 60.0));
    CliServices::addDeviceOptions(*cmd, options->roots);

    cmd->callback([options, &services] {
        printKeyboards(*services.keyboards(options->roots));
        const auto registry = services.sensors(options->roots);
        printSensor(*registry, registry, options->waitSeconds);
        printMicrophones(*services.microphone());
        setExitStatus(0);
    });
}

} // namespace clavio::cli
