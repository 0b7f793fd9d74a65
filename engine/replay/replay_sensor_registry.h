// A SensorRegistry that plays a trace's accelerometer reports. When the
// trace holds reports it has one accelerometer service (usage page 0xFF00,
// usage 3, with product and maker properties naming the replay); its
// device's stream delivers every report, of whatever length, with its due
// time on the process clock as its timestamp, so the real sensor thread
// decodes them into the ring exactly as live reports. Like a device read in
// batches it delivers every kSensorBatchSeconds what fell due meanwhile, and
// a hurry (a key press) delivers what is due at once and each report at its
// moment for the hold.
// Without reports there is no service, and the sensor reports `unavailable`
// as on a machine without an accelerometer. Opening is always allowed.
//
// Threading contract: as the SensorRegistry port says. The registry keeps no
// mutable state of its own (the timeline's is atomic); a stream's runSlice on
// the sensor thread, interrupt() from any thread.
#pragma once

#include <memory>
#include <string>

#include "engine/ports/sensor_registry.h"
#include "engine/replay/replay_timeline.h"

namespace clavio {

inline constexpr std::string_view kReplayServicePrefix = "replay:";

class ReplaySensorRegistry final : public SensorRegistry {
public:
    explicit ReplaySensorRegistry(std::shared_ptr<ReplayTimeline> timeline);

    // The accelerometer service for kSensorDeviceClass when the trace has
    // reports; no services otherwise, and none of any other class (a replay
    // has no drivers to switch on).
    std::optional<std::vector<SensorService>>
    matchingServices(std::string_view serviceClass) override;
    // There is nothing to set: always false.
    bool setProperty(const SensorService& service, std::string_view name,
                     std::int32_t value) override;
    // A device for the replay's own service; null for any other.
    std::unique_ptr<SensorDevice> createDevice(const SensorService& service) override;

    const std::shared_ptr<ReplayTimeline>& timeline() const noexcept { return _timeline; }

private:
    SensorService service() const;

    std::shared_ptr<ReplayTimeline> _timeline;
};

} // namespace clavio
