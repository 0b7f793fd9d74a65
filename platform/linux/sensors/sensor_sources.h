// The three accelerometer sources behind LinuxSensorRegistry, and the pieces
// of their formats that are worth testing on their own.
//
// Threading: devices and streams follow the SensorRegistry port; the parsing
// helpers are pure.
#pragma once

#include <atomic>
#include <cstddef>
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

// Stamps for `count` reports read together at `now` from a source that
// carries no time of its own, oldest first into `out`: spaced by the measured
// report interval back from `now`, all after `after` (the later of the
// previous report's stamp and the previous read) and none after `now`. When
// the interval is unknown (0) or the spacing would reach back to `after`, the
// reports are spread evenly over (after, now]. Never out of order.
void restampBatch(std::uint64_t now, std::uint64_t after, double intervalTicks, std::size_t count,
                  std::uint64_t* out) noexcept;

// A stream over one device descriptor: a slice polls the descriptor and an
// eventfd (interrupt, hurry) and reads what arrived. How reports are batched:
// - none: one wake-up per report, each stamped when read;
// - sleepAndDrain: while reports flow, the slice sleeps `batchSeconds` and
//   reads everything queued in the kernel, stamped back from the read time at
//   the measured rate (restampBatch); with nothing flowing it waits on the
//   descriptor as before;
// - kernel: the device itself wakes the poll once per batch (an IIO buffer's
//   watermark) and its reports carry their own times.
// A hurry reads what is queued at once and, for its hold, waits on the
// descriptor again (a kernel-batched device is looked at every millisecond).
class PollingReportStream : public SensorReportStream {
public:
    enum class Batching { none, sleepAndDrain, kernel };
    // Reports a batch holds at most; more in one read are passed on early.
    static constexpr std::size_t kBatchCapacity = 128;
    static constexpr std::size_t kBatchSlotBytes = 32;

    explicit PollingReportStream(UniqueFd fd, Batching batching = Batching::none,
                                 double batchSeconds = kSensorBatchSeconds);
    bool runSlice(double seconds, SensorReportCallback callback, void* context) final;
    void interrupt() noexcept final;
    void hurry(double holdSeconds) noexcept final;

    // Sensor thread. The measured interval between reports, in ticks (0 until measured).
    double reportIntervalTicks() const noexcept { return _intervalTicks; }

protected:
    // Reads everything pending; false when the device is gone. Restamped
    // sources hand each report to queueReport, timed ones to passTimed.
    virtual bool readReports(SensorReportCallback callback, void* context) = 0;
    int fd() const noexcept { return _fd.get(); }
    void setBatching(Batching batching) noexcept { _batching = batching; }

    void queueReport(const std::uint8_t* report, std::size_t length, SensorReportCallback callback,
                     void* context) noexcept;
    // A report with its own time, held between the previous stamp and now.
    void passTimed(const std::uint8_t* report, std::size_t length, std::uint64_t timestamp,
                   SensorReportCallback callback, void* context) noexcept;

private:
    bool drain(SensorReportCallback callback, void* context) noexcept;
    void flushQueued(std::uint64_t now, SensorReportCallback callback, void* context) noexcept;
    // After the wake descriptor fired: true for a hurry (read now), false
    // for an interrupt or nothing.
    bool takeWake() noexcept;

    UniqueFd _fd;
    WakeEvent _wake;
    Batching _batching;
    std::uint64_t _batchTicks;
    std::atomic<bool> _interruptPending{false};
    std::atomic<bool> _hurryPending{false};
    std::atomic<std::uint64_t> _hurryHoldTicks{0};
    std::uint64_t _hurriedUntil = 0;
    bool _flowing = false;        // the last read found reports
    std::uint64_t _lastRead = 0;  // when the last read ended
    std::uint64_t _lastStamp = 0; // the last report's stamp
    double _intervalTicks = 0;
    std::size_t _delivered = 0; // reports passed by the current read
    std::size_t _queued = 0;
    std::uint8_t _queueLength[kBatchCapacity] = {};
    std::uint8_t _queue[kBatchCapacity][kBatchSlotBytes] = {};
    std::uint64_t _stamps[kBatchCapacity] = {};
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
