// Port: the registry of sensor services and the report streams they open
// into. Linux implements it over hidraw, IIO and evdev
// (platform/linux/sensors/linux_sensor_registry.cpp); a trace replay can implement it
// too. Every source delivers 22-byte accelerometer reports (accel_report.h).
//
// Threading contract:
// - SensorRegistry: any non-real-time thread (the main thread asks for
//   availability while the sensor thread opens the device); implementations
//   keep no unsynchronised mutable state.
// - SensorDevice::open and every SensorReportStream call except interrupt():
//   the sensor thread.
// - SensorReportStream::interrupt and hurry: any thread while the stream
//   exists; hurry takes no lock and allocates nothing (the keyboard thread
//   calls it on every key press).
// - The report callback runs on the sensor thread; a stream passes each
//   report without allocating or locking on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace clavio {

// Service classes asked for: the sensor devices searched for the
// accelerometer, and the drivers switched on before opening it.
inline constexpr std::string_view kSensorDeviceClass = "AppleSPUHIDDevice";
inline constexpr std::string_view kSensorDriverClass = "AppleSPUHIDDriver";

// A property is a number or a string.
using SensorPropertyValue = std::variant<std::int64_t, std::string>;
using SensorProperties = std::map<std::string, SensorPropertyValue, std::less<>>;

struct SensorService {
    std::string id; // the registry's own handle (for Linux "kind:/dev/node")
    SensorProperties properties;
};

// One report: its bytes, their length and the tick timestamp (hostTicks()).
using SensorReportCallback = void (*)(void* context, const std::uint8_t* report, std::size_t length,
                                      std::uint64_t timestamp) noexcept;

class SensorReportStream {
public:
    virtual ~SensorReportStream() = default;

    // Sensor thread. Waits up to `seconds` for reports and passes each to
    // `callback`. Returns early after interrupt() (a pending interrupt makes
    // the next slice return at once). False when the device is gone.
    virtual bool runSlice(double seconds, SensorReportCallback callback, void* context) = 0;

    // Any thread. Makes the running (or the next) slice return at once.
    virtual void interrupt() noexcept = 0;

    // Any thread; no lock, no allocation. A stream may gather reports into
    // batches (one wake-up for several reports, each keeping its own time)
    // while nothing needs them at once. A hurry makes the running (or the
    // next) slice pass on what has already arrived, and the stream then
    // passes each report as it arrives for `holdSeconds`, so a key press is
    // classified on reports that never wait for a batch. Streams that do not
    // batch have nothing to do.
    virtual void hurry(double holdSeconds) noexcept { (void)holdSeconds; }
};

// The batch a stream gathers while not hurried.
inline constexpr double kSensorBatchSeconds = 0.016;

// A device object created for a service, not yet open.
class SensorDevice {
public:
    virtual ~SensorDevice() = default;
    // Sensor thread. The open report stream, or null when opening failed
    // (for example when the system refuses access).
    virtual std::unique_ptr<SensorReportStream> open() = 0;
};

class SensorRegistry {
public:
    virtual ~SensorRegistry() = default;

    // The services of a class, in the registry's order; none when the query
    // itself failed.
    virtual std::optional<std::vector<SensorService>>
    matchingServices(std::string_view serviceClass) = 0;

    // Sets a signed 32-bit number property; false when it was not set.
    virtual bool setProperty(const SensorService& service, std::string_view name,
                             std::int32_t value) = 0;

    // A device object for the service, or null when it cannot be created.
    virtual std::unique_ptr<SensorDevice> createDevice(const SensorService& service) = 0;
};

} // namespace clavio
