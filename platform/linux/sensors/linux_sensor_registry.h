// The Linux sensor registry: every accelerometer source as a service with the
// properties a sensor service has ("PrimaryUsagePage", "PrimaryUsage",
// "Product", "Manufacturer", "SerialNumber", "VendorID", "ProductID").
//
// Sources, in this order, each in its number order:
// - hidraw devices (<sys>/class/hidraw/hidrawN, node <dev>/hidrawN): usage
//   from the report descriptor, names and ids from the uevent; reports are
//   read as they are.
// - IIO accelerometers (<sys>/bus/iio/devices/iio:deviceN, buffer device
//   <dev>/iio:deviceN): scans of the x, y and z channels are converted to g.
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
// Service ids are "hidraw:<node>", "iio:<node>" and "evdev:<node>".
//
// Threading: keeps no mutable state; any non-real-time thread.
#pragma once

#include <filesystem>
#include <memory>

#include "engine/ports/sensor_registry.h"
#include "platform/linux/system/evdev_probe.h"

namespace clavio::platform {

struct LinuxSensorRoots {
    std::filesystem::path sysRoot = "/sys";
    std::filesystem::path devRoot = "/dev";
    std::filesystem::path inputRoot = "/dev/input";
    std::shared_ptr<EvdevProbe> probe; // null: libevdev
};

class LinuxSensorRegistry final : public SensorRegistry {
public:
    explicit LinuxSensorRegistry(LinuxSensorRoots roots = {});

    std::optional<std::vector<SensorService>>
    matchingServices(std::string_view serviceClass) override;
    bool setProperty(const SensorService& service, std::string_view name,
                     std::int32_t value) override;
    std::unique_ptr<SensorDevice> createDevice(const SensorService& service) override;

    const LinuxSensorRoots& roots() const noexcept { return _roots; }

private:
    std::vector<SensorService> hidrawServices() const;
    std::vector<SensorService> iioServices() const;
    std::vector<SensorService> evdevServices() const;

    LinuxSensorRoots _roots;
};

} // namespace clavio::platform
