// The Linux sensor registry: every accelerometer source as a service with the
// properties a sensor service has ("PrimaryUsagePage", "PrimaryUsage",
// "Product", "Manufacturer", "SerialNumber", "VendorID", "ProductID").
//
// Sources, in this order, each in its number order:
// - hidraw devices (<sys>/class/hidraw/hidrawN, node <dev>/hidrawN): usage
//   from the report descriptor, names and ids from the uevent; reports are
//   read as they are.
// - IIO accelerometers (<sys>/bus/iio/devices/iio:deviceN, buffer device
//   <dev>/iio:deviceN): scans of the x, y and z channels are converted to g;
//   when the buffer cannot be had (needs root, or another service holds it)
//   the in_accel_*_raw attributes are polled instead (sensor_sources.h).
// - evdev devices with INPUT_PROP_ACCELEROMETER (<input>/eventN): the axes
//   are converted to g with their resolution (units per g).
// IIO and evdev samples are encoded into the 22-byte report and registered
// with usage page 0xFF00 and usage 3, so every source goes through the one
// decoder and the one service search.
//
// The drivers switched on before opening are the IIO accelerometers:
// "ReportInterval" (microseconds) sets the sampling frequency to the highest
// the device offers up to 1/interval.
//
// Every accelerometer source also has "ReadMode" ("hidraw", "evdev", or for
// IIO "buffer" or "polling", left out when it cannot be read at all) and,
// when known, "SampleRate" (Hz): for IIO the device's sampling frequency
// through the buffer, the polling rate when polled.
//
// Service ids are "hidraw:<node>", "iio:<node>" and "evdev:<node>".
//
// Threading: keeps no mutable state; any non-real-time thread.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "engine/ports/sensor_registry.h"
#include "platform/linux/system/evdev_probe.h"

namespace clavio::platform {

struct LinuxSensorRoots {
    std::filesystem::path sysRoot = "/sys";
    std::filesystem::path devRoot = "/dev";
    std::filesystem::path inputRoot = "/dev/input";
    std::shared_ptr<EvdevProbe> probe; // null: libevdev
};

// How a service can be read by this user, in a sentence for `clavio-cli
// devices`: the way and rate, or why not and what to do.
struct SensorAccess {
    bool readable = false;
    std::string text;
};

// The udev rule that gives the logged-in user the accelerometer device nodes:
// <prefix>/lib/udev/rules.d/70-clavio-accelerometer.rules, the prefix being
// the running executable's (installPrefix()).
std::filesystem::path accelerometerUdevRule();

class LinuxSensorRegistry final : public SensorRegistry {
public:
    explicit LinuxSensorRegistry(LinuxSensorRoots roots = {});

    std::optional<std::vector<SensorService>>
    matchingServices(std::string_view serviceClass) override;
    bool setProperty(const SensorService& service, std::string_view name,
                     std::int32_t value) override;
    std::unique_ptr<SensorDevice> createDevice(const SensorService& service) override;

    // Opens nothing for good and changes no attribute.
    SensorAccess access(const SensorService& service) const;
    // What to do when no accelerometer is listed.
    static std::string noAccelerometerAdvice();

    const LinuxSensorRoots& roots() const noexcept { return _roots; }

private:
    std::vector<SensorService> hidrawServices() const;
    // `withReadMode`: probe how each is read (the drivers' list needs not).
    std::vector<SensorService> iioServices(bool withReadMode) const;
    std::vector<SensorService> evdevServices() const;

    LinuxSensorRoots _roots;
};

} // namespace clavio::platform
