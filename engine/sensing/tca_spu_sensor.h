// The native accelerometer reader: finds the accelerometer among the sensor
// services (usage page 0xFF00, usage 3), switches the drivers on, opens the
// device on a thread named "com.nomari.clavio.spu-sensor", runs its report
// stream in 0.25 s slices, decodes every 22-byte report into the motion ring
// and reports its status.
//
// Threading contract:
// - start, stop and the destructor: the owner's thread (main thread); not
//   concurrently with each other.
// - The sensor thread is the only writer of the ring and the only setter of
//   the status; it calls the status callback, on itself, after each change.
// - status() from any thread (atomic). The status callback may be replaced
//   from any non-real-time thread.
// - stop() interrupts the stream under a lock the thread takes to publish and
//   withdraw it, so the stream pointer is never used after the thread let go.
// - hurry() from any thread, the keyboard thread included: no lock, no
//   allocation. The sensor thread publishes its stream for it and, before
//   letting the stream go, waits out any hurry that is using it.
// - _hidReportCallback: sensor thread (or a replay driver while no sensor
//   thread runs); no lock, no allocation, no log, no system call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "engine/ports/sensor_registry.h"
#include "engine/runtime/atomic_handler.h"
#include "engine/sensing/ring_buffer.h"

namespace clavio {

inline constexpr std::int64_t kAccelUsagePage = 0xFF00;
inline constexpr std::int64_t kAccelUsage = 3;

// A property as a string / as a number; none when absent or of the other type.
std::optional<std::string> _registryString(const SensorService& service, std::string_view name);
std::optional<std::int64_t> _registryInt(const SensorService& service, std::string_view name);

// The first service of kSensorDeviceClass with "PrimaryUsagePage" 0xFF00 and
// "PrimaryUsage" 3 (both numbers), or none.
std::optional<SensorService> _findAccelService(SensorRegistry& registry);

// Switches every kSensorDriverClass driver on: "SensorPropertyReportingState"
// 1, "SensorPropertyPowerState" 1 and "ReportInterval" 1000, in this order.
// Failures are ignored: a driver without them may still deliver reports.
void _switchSensorDriversOn(SensorRegistry& registry);

// Report handler. `context` is the TCARingBuffer to write. Reports of any
// length but 22 are skipped.
void _hidReportCallback(void* context, const std::uint8_t* report, std::size_t length,
                        std::uint64_t timestamp) noexcept;

class TCASPUSensor {
public:
    static constexpr double kSliceSeconds = 0.25;

    // `sliceSeconds` is the longest wait between two looks at the stop
    // request; tests lengthen it to prove stop wakes the stream at once.
    TCASPUSensor(TCARingBuffer* ringBuffer, std::shared_ptr<SensorRegistry> registry,
                 double sliceSeconds = kSliceSeconds);
    ~TCASPUSensor();
    TCASPUSensor(const TCASPUSensor&) = delete;
    TCASPUSensor& operator=(const TCASPUSensor&) = delete;

    static bool isHardwareAvailable(SensorRegistry& registry);
    // Whichever of "Product", "SerialNumber", "Manufacturer", "ReadMode"
    // (strings) and "VendorID", "ProductID", "SampleRate" (numbers) the
    // accelerometer service has.
    static std::optional<SensorProperties> deviceInfo(SensorRegistry& registry);

    // Always true; starts the sensor thread unless one exists.
    bool start();
    // Stops the sensor thread and waits for it to finish.
    void stop();
    // Any thread; lock-free. Asks the running stream to pass on what has
    // arrived now and every report as it comes for `holdSeconds`
    // (SensorReportStream::hurry); nothing without a running stream.
    void hurry(double holdSeconds) noexcept;

    TCARingBuffer* ringBuffer() const noexcept { return _shared->ringBuffer; }
    std::int64_t status() const noexcept { return _shared->status.load(std::memory_order_acquire); }
    std::function<void(std::int64_t)> statusCallback() const {
        return _shared->statusCallback.get();
    }
    void setStatusCallback(std::function<void(std::int64_t)> callback) {
        _shared->statusCallback.set(std::move(callback));
    }

private:
    // Lives as long as the sensor object or its thread, whichever is longer.
    struct Shared {
        TCARingBuffer* ringBuffer = nullptr;
        std::shared_ptr<SensorRegistry> registry;
        double sliceSeconds = kSliceSeconds;
        std::atomic<std::int64_t> status{0};
        AtomicHandler<void(std::int64_t)> statusCallback;
        // The stream hurry() reaches, and the hurries using it right now.
        std::atomic<SensorReportStream*> hurryTarget{nullptr};
        std::atomic<int> hurrying{0};
    };
    // One per start().
    struct Run {
        std::atomic<bool> shouldStop{false};
        std::mutex streamLock;
        SensorReportStream* stream = nullptr; // guarded by streamLock
    };

    static void _sensorMain(std::shared_ptr<Shared> shared, std::shared_ptr<Run> run);
    static std::int64_t _runDevice(Shared& shared, Run& run);
    static void _setStatus(Shared& shared, std::int64_t status);

    std::shared_ptr<Shared> _shared;
    std::shared_ptr<Run> _run;
    std::thread _sensorThread;
};

} // namespace clavio
