#include "engine/replay/offline_replay_ports.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "engine/sensing/tca_spu_sensor.h"

namespace clavio {

namespace {

constexpr std::string_view kServiceId = "offline:accelerometer";

// Waits out a slice on real time, or until interrupted. A pending interrupt
// makes the next wait return at once, as the ports require.
class IdleWait {
public:
    void wait(double seconds) {
        std::unique_lock lock(_mutex);
        _wake.wait_for(lock, std::chrono::duration<double>(seconds),
                       [this] { return _interrupted; });
        _interrupted = false;
    }
    void interrupt() noexcept {
        {
            std::lock_guard lock(_mutex);
            _interrupted = true;
        }
        _wake.notify_all();
    }

private:
    std::mutex _mutex;
    std::condition_variable _wake;
    bool _interrupted = false;
};

class IdleTap final : public KeyEventTap {
public:
    bool runSlice(double seconds, TapEventCallback, void*) override {
        _idle.wait(seconds);
        return true;
    }
    void interrupt() noexcept override { _idle.interrupt(); }

private:
    IdleWait _idle;
};

class IdleStream final : public SensorReportStream {
public:
    bool runSlice(double seconds, SensorReportCallback, void*) override {
        _idle.wait(seconds);
        return true;
    }
    void interrupt() noexcept override { _idle.interrupt(); }

private:
    IdleWait _idle;
};

class IdleDevice final : public SensorDevice {
public:
    std::unique_ptr<SensorReportStream> open() override { return std::make_unique<IdleStream>(); }
};

} // namespace

std::unique_ptr<KeyEventTap> OfflineKeySource::createTap() {
    return std::make_unique<IdleTap>();
}

std::optional<std::vector<SensorService>>
OfflineSensorRegistry::matchingServices(std::string_view serviceClass) {
    std::vector<SensorService> services;
    if (_hasAccelerometer && serviceClass == kSensorDeviceClass) {
        SensorService service;
        service.id = std::string(kServiceId);
        service.properties.emplace("PrimaryUsagePage", std::int64_t(kAccelUsagePage));
        service.properties.emplace("PrimaryUsage", std::int64_t(kAccelUsage));
        service.properties.emplace("Product", std::string("Session trace"));
        service.properties.emplace("Manufacturer", std::string("Clavio offline render"));
        services.push_back(std::move(service));
    }
    return services;
}

std::unique_ptr<SensorDevice> OfflineSensorRegistry::createDevice(const SensorService& service) {
    if (!_hasAccelerometer || service.id != kServiceId) {
        return nullptr;
    }
    return std::make_unique<IdleDevice>();
}

} // namespace clavio
