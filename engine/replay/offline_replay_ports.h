// The key source and sensor registry of offline rendering. On virtual time
// the driving thread hands every trace record to the live entry points
// itself (the capture's event logic and the report decoder writing the
// ring, see connectReplaySinks), so the capture and sensor threads the
// coordinator starts must deliver nothing: their tap and report stream only
// wait, on real time, until they are stopped. The coordinator still sees the
// machine a trace describes: keyboard access granted, and an accelerometer
// exactly when the trace holds reports (without one it sounds every press as
// medium, as on a machine without the sensor).
//
// Threading contract: as the KeySource and SensorRegistry ports say. The
// objects are immutable after construction; a tap's or stream's runSlice
// waits on its own condition variable, which interrupt() signals from any
// thread.
#pragma once

#include <memory>

#include "engine/ports/key_source.h"
#include "engine/ports/sensor_registry.h"

namespace clavio {

class OfflineKeySource final : public KeySource {
public:
    bool hasAccess() override { return true; }
    void requestAccess() override {}
    // A tap that never delivers an event.
    std::unique_ptr<KeyEventTap> createTap() override;
};

class OfflineSensorRegistry final : public SensorRegistry {
public:
    // With `hasAccelerometer`, one accelerometer service (usage page 0xFF00,
    // usage 3) whose stream never delivers a report; otherwise no service.
    explicit OfflineSensorRegistry(bool hasAccelerometer) : _hasAccelerometer(hasAccelerometer) {}

    std::optional<std::vector<SensorService>>
    matchingServices(std::string_view serviceClass) override;
    // There are no drivers to switch on: always false.
    bool setProperty(const SensorService&, std::string_view, std::int32_t) override {
        return false;
    }
    std::unique_ptr<SensorDevice> createDevice(const SensorService& service) override;

private:
    const bool _hasAccelerometer;
};

} // namespace clavio
