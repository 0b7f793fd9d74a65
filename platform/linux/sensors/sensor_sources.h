// The three accelerometer sources behind LinuxSensorRegistry, and the pieces
// of their formats that are worth testing on their own.
//
// Threading: devices and streams follow the SensorRegistry port; the parsing
// helpers are pure.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/ports/sensor_registry.h"
#include "platform/linux/system/evdev_probe.h"
#include "platform/linux/system/fd_util.h"

namespace clavio::platform {

inline constexpr double kStandardGravity = 9.80665; // m/s² per g

// A stream over one device descriptor: a slice polls the descriptor and an
// eventfd (interrupt) and reads what arrived.
class PollingReportStream : public SensorReportStream {
public:
    explicit PollingReportStream(UniqueFd fd) : _fd(std::move(fd)) {}
    bool runSlice(double seconds, SensorReportCallback callback, void* context) final;
    void interrupt() noexcept final { _wake.signal(); }

protected:
    // Reads everything pending; false when the device is gone.
    virtual bool readReports(SensorReportCallback callback, void* context) = 0;
    int fd() const noexcept { return _fd.get(); }

private:
    UniqueFd _fd;
    WakeEvent _wake;
};

// How an IIO accelerometer is read by this process: through the buffer
// device, by polling the in_accel_*_raw attributes on a timer, or not at all.
enum class IioReadMode { buffer, polling, none };
// Why the buffer is not used.
enum class IioBufferProblem {
    none,       // it is used
    noBuffer,   // no buffer device or no scan elements
    permission, // the node or the sysfs buffer attributes are not ours
    busy,       // another service (such as iio-sensor-proxy) holds it
    failed,     // something else went wrong (errno text in IioReadPlan::detail)
};
struct IioReadPlan {
    IioReadMode mode = IioReadMode::none;
    IioBufferProblem bufferProblem = IioBufferProblem::none;
    double rateHz = 0;  // 0 when unknown
    std::string detail; // the system's words for the last refusal, if any
};

// The highest polling rate. A sample is a timer wake-up plus three pread()
// calls on sysfs. Measured on a fake tree: the three reads take 1.3 us (2.2 us
// on real sysfs attributes) and the whole sample, wake-up included, about
// 30 us of CPU, so 250 Hz costs under 1% of a core. On a real accelerometer
// each raw read is a bus transfer (an I2C register read is 0.1 to 0.3 ms) that
// blocks the thread, so three of them would fill most of a 1 kHz period;
// 250 Hz leaves them room and still puts several samples on a key strike.
inline constexpr double kIioPollingCapHz = 250;
// Polling rate for a device that offers no frequency at all.
inline constexpr double kIioPollingDefaultHz = 100;

// What opening the device now would do, without keeping anything open or
// changing any attribute (a buffer this process holds counts as read by it).
IioReadPlan planIioRead(const std::filesystem::path& sysDir, const std::filesystem::path& node);
// The polling rate: the highest offered frequency (sampling_frequency_available
// or in_accel_sampling_frequency_available) up to kIioPollingCapHz; the current
// frequency, capped, when none is offered; kIioPollingDefaultHz otherwise.
double iioPollingRate(const std::filesystem::path& sysDir);
// The frequency the device samples at now, if it says.
std::optional<double> iioSamplingFrequency(const std::filesystem::path& sysDir);

std::unique_ptr<SensorDevice> createHidrawDevice(const std::filesystem::path& node);
std::unique_ptr<SensorDevice> createIioDevice(const std::filesystem::path& sysDir,
                                              const std::filesystem::path& node,
                                              const std::filesystem::path& sysRoot);
std::unique_ptr<SensorDevice> createEvdevAccelDevice(const std::filesystem::path& node,
                                                     std::shared_ptr<EvdevProbe> probe);

// An IIO scan element type such as "le:s16/16>>0" or "be:u12/16>>4".
struct IioScanType {
    bool bigEndian = false;
    bool isSigned = false;
    unsigned bits = 0;
    unsigned storageBits = 0;
    unsigned shift = 0;
};
std::optional<IioScanType> parseIioScanType(std::string_view text) noexcept;
// The channel's value from its storage bytes.
std::int64_t decodeIioSample(const IioScanType& type, const std::uint8_t* storage) noexcept;

// From a sampling_frequency_available list ("12.5 25 50 ..." or a range
// "[min step max]"), the highest frequency up to `targetHz`, or the lowest
// offered when all are higher. None when nothing numeric is offered.
std::optional<double> chooseSamplingFrequency(std::string_view available, double targetHz);

} // namespace clavio::platform
