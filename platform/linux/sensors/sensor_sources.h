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
