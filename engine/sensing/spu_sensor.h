// The accelerometer front used by the coordinator: owns the motion ring and
// the native reader, exposes availability, device information, start/stop,
// the status as SensorStatus and read-only views of the ring.
// A facade: callers never reach the native reader through it.
//
// Threading contract:
// - start, stop, the destructor: the owner's thread (main thread).
// - status, totalSamples, latestSample, ringBuffer: any thread (the ring's
//   readers are lock-free, see ring_buffer.h).
// - onStatusChange is called on the sensor thread; a listener that touches
//   the user interface hops to the main thread itself. It may be replaced
//   from any non-real-time thread; the native callback holds the front weakly.
// - The ring outlives its writer: the destructor stops the native reader
//   (waiting for its thread) before freeing the ring.
// - Create with create(): the status callback needs a weak reference.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "engine/core/core_types.h"
#include "engine/runtime/atomic_handler.h"
#include "engine/sensing/tca_spu_sensor.h"

namespace clavio {

class SPUSensor : public std::enable_shared_from_this<SPUSensor> {
public:
    using StatusHandler = std::function<void(SensorStatus)>;

    static std::shared_ptr<SPUSensor> create(std::shared_ptr<SensorRegistry> registry,
                                             double sliceSeconds = TCASPUSensor::kSliceSeconds);
    ~SPUSensor();
    SPUSensor(const SPUSensor&) = delete;
    SPUSensor& operator=(const SPUSensor&) = delete;

    static bool isAvailable(SensorRegistry& registry);
    static std::optional<SensorProperties> deviceInfo(SensorRegistry& registry);

    bool start() { return _native->start(); }
    void stop() { _native->stop(); }
    // Any thread, lock-free (the key-down handler calls it): the stream
    // passes on what it holds now and each report as it comes for
    // `holdSeconds`.
    void hurry(double holdSeconds) noexcept { _native->hurry(holdSeconds); }
    // The native status; values outside 0..4 read as `error`.
    SensorStatus status() const noexcept;
    TCARingBuffer* ringBuffer() const noexcept { return _ringBuffer.get(); }
    std::uint64_t totalSamples() const noexcept;
    // The newest sample (x, y, z, magnitude, timestamp); none on an empty ring.
    std::optional<TCAMotionSample> latestSample() const noexcept;

    // Installs a forwarding status callback on the native reader (also for
    // an empty handler, which then forwards nothing).
    void setOnStatusChange(StatusHandler handler);
    StatusHandler onStatusChange() const { return _onStatusChange.get(); }

private:
    struct Passkey {};

public:
    SPUSensor(Passkey, std::shared_ptr<SensorRegistry> registry, double sliceSeconds);

private:
    std::unique_ptr<TCARingBuffer> _ringBuffer;
    std::unique_ptr<TCASPUSensor> _native;
    AtomicHandler<void(SensorStatus)> _onStatusChange;
};

// A native status as a SensorStatus; values outside 0..4 are `error`.
SensorStatus sensorStatusFromNative(std::int64_t status) noexcept;

} // namespace clavio
