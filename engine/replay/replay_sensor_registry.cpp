#include "engine/replay/replay_sensor_registry.h"

#include <filesystem>

#include "engine/sensing/tca_spu_sensor.h"

namespace clavio {

namespace {

class ReplayReportStream final : public SensorReportStream {
public:
    explicit ReplayReportStream(std::shared_ptr<ReplayTimeline> timeline)
        : _player(std::move(timeline), TraceRecord::Type::accel) {
        _player.setAccelSink(
            [this](const std::uint8_t* report, std::size_t length, std::uint64_t due) {
                _callback(_context, report, length, due);
            });
        // Batched like a device read in batches, so a live replay costs what
        // such a device would.
        _player.setBatching(kSensorBatchSeconds);
    }

    bool runSlice(double seconds, SensorReportCallback callback, void* context) override {
        _callback = callback;
        _context = context;
        _player.runSlice(seconds);
        // The replayed device stays open after its last report, quiet, until
        // the sensor stops: the end of a trace is not a device that vanished.
        return true;
    }

    void interrupt() noexcept override { _player.interrupt(); }
    void hurry(double holdSeconds) noexcept override { _player.hurry(holdSeconds); }

private:
    ReplayPlayer _player;
    SensorReportCallback _callback = nullptr;
    void* _context = nullptr;
};

class ReplaySensorDevice final : public SensorDevice {
public:
    explicit ReplaySensorDevice(std::shared_ptr<ReplayTimeline> timeline)
        : _timeline(std::move(timeline)) {}

    std::unique_ptr<SensorReportStream> open() override {
        return std::make_unique<ReplayReportStream>(_timeline);
    }

private:
    std::shared_ptr<ReplayTimeline> _timeline;
};

} // namespace

ReplaySensorRegistry::ReplaySensorRegistry(std::shared_ptr<ReplayTimeline> timeline)
    : _timeline(std::move(timeline)) {}

SensorService ReplaySensorRegistry::service() const {
    SensorService s;
    s.id = std::string(kReplayServicePrefix) + _timeline->sourceName();
    s.properties.emplace("PrimaryUsagePage", kAccelUsagePage);
    s.properties.emplace("PrimaryUsage", kAccelUsage);
    s.properties.emplace("Product", std::string("Trace Replay Accelerometer"));
    s.properties.emplace("Manufacturer", std::string("Clavio"));
    s.properties.emplace("SerialNumber",
                         std::filesystem::path(_timeline->sourceName()).filename().string());
    // No hardware stands behind a replay: the ids say so rather than borrow
    // a real product's.
    s.properties.emplace("VendorID", std::int64_t{0});
    s.properties.emplace("ProductID", std::int64_t{0});
    return s;
}

std::optional<std::vector<SensorService>>
ReplaySensorRegistry::matchingServices(std::string_view serviceClass) {
    std::vector<SensorService> services;
    if (serviceClass == kSensorDeviceClass && _timeline->hasAccel()) {
        services.push_back(service());
    }
    return services;
}

bool ReplaySensorRegistry::setProperty(const SensorService&, std::string_view, std::int32_t) {
    return false;
}

std::unique_ptr<SensorDevice> ReplaySensorRegistry::createDevice(const SensorService& service) {
    if (!_timeline->hasAccel() || service.id != this->service().id) {
        return nullptr;
    }
    return std::make_unique<ReplaySensorDevice>(_timeline);
}

} // namespace clavio
