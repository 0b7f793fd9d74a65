#include "engine/sensing/tca_spu_sensor.h"

#include "engine/core/core_types.h"
#include "engine/runtime/thread_naming.h"
#include "engine/sensing/accel_report.h"

namespace clavio {

namespace {
constexpr std::int64_t kStatusStopped = 0;
constexpr std::int64_t kStatusRunning = 1;
constexpr std::int64_t kStatusUnavailable = 2;
constexpr std::int64_t kStatusAccessDenied = 3;
constexpr std::int64_t kStatusError = 4;

constexpr std::string_view kInfoStrings[] = {"Product", "SerialNumber", "Manufacturer", "ReadMode"};
constexpr std::string_view kInfoNumbers[] = {"VendorID", "ProductID", "SampleRate"};
} // namespace

std::optional<std::string> _registryString(const SensorService& service, std::string_view name) {
    const auto it = service.properties.find(name);
    if (it == service.properties.end()) {
        return std::nullopt;
    }
    if (const auto* s = std::get_if<std::string>(&it->second)) {
        return *s;
    }
    return std::nullopt;
}

std::optional<std::int64_t> _registryInt(const SensorService& service, std::string_view name) {
    const auto it = service.properties.find(name);
    if (it == service.properties.end()) {
        return std::nullopt;
    }
    if (const auto* n = std::get_if<std::int64_t>(&it->second)) {
        return *n;
    }
    return std::nullopt;
}

std::optional<SensorService> _findAccelService(SensorRegistry& registry) {
    auto services = registry.matchingServices(kSensorDeviceClass);
    if (!services) {
        return std::nullopt;
    }
    for (auto& service : *services) {
        const auto page = _registryInt(service, "PrimaryUsagePage");
        const auto usage = _registryInt(service, "PrimaryUsage");
        if (page && usage && *page == kAccelUsagePage && *usage == kAccelUsage) {
            return std::move(service);
        }
    }
    return std::nullopt;
}

void _switchSensorDriversOn(SensorRegistry& registry) {
    if (auto drivers = registry.matchingServices(kSensorDriverClass)) {
        for (const auto& driver : *drivers) {
            registry.setProperty(driver, "SensorPropertyReportingState", 1);
            registry.setProperty(driver, "SensorPropertyPowerState", 1);
            registry.setProperty(driver, "ReportInterval", 1000);
        }
    }
}

void _hidReportCallback(void* context, const std::uint8_t* report, std::size_t length,
                        std::uint64_t timestamp) noexcept {
    AccelAxes axes;
    if (!decodeAccelReport(report, length, &axes)) {
        return;
    }
    tca_ring_write(static_cast<TCARingBuffer*>(context), timestamp, axes.x, axes.y, axes.z);
}

TCASPUSensor::TCASPUSensor(TCARingBuffer* ringBuffer, std::shared_ptr<SensorRegistry> registry,
                           double sliceSeconds)
    : _shared(std::make_shared<Shared>()) {
    _shared->ringBuffer = ringBuffer;
    _shared->registry = std::move(registry);
    _shared->sliceSeconds = sliceSeconds;
}

TCASPUSensor::~TCASPUSensor() {
    stop();
}

bool TCASPUSensor::isHardwareAvailable(SensorRegistry& registry) {
    return _findAccelService(registry).has_value();
}

std::optional<SensorProperties> TCASPUSensor::deviceInfo(SensorRegistry& registry) {
    const auto service = _findAccelService(registry);
    if (!service) {
        return std::nullopt;
    }
    SensorProperties info;
    for (const auto key : kInfoStrings) {
        if (auto s = _registryString(*service, key)) {
            info.emplace(std::string(key), std::move(*s));
        }
    }
    for (const auto key : kInfoNumbers) {
        if (auto n = _registryInt(*service, key)) {
            info.emplace(std::string(key), *n);
        }
    }
    return info;
}

bool TCASPUSensor::start() {
    if (_sensorThread.joinable()) {
        return true;
    }
    _run = std::make_shared<Run>();
    _sensorThread = std::thread(&TCASPUSensor::_sensorMain, _shared, _run);
    return true;
}

void TCASPUSensor::stop() {
    if (!_sensorThread.joinable()) {
        return;
    }
    _run->shouldStop.store(true, std::memory_order_release);
    {
        std::lock_guard lock(_run->streamLock);
        if (_run->stream != nullptr) {
            _run->stream->interrupt();
        }
    }
    if (std::this_thread::get_id() == _sensorThread.get_id()) {
        // Called from the status callback on the sensor thread (the owner
        // went away there): the thread sees the stop request when the
        // callback returns, writes nothing more and ends by itself.
        _sensorThread.detach();
    } else {
        _sensorThread.join();
    }
    _run.reset();
}

void TCASPUSensor::hurry(double holdSeconds) noexcept {
    // Sequentially consistent on both sides: either the withdrawing sensor
    // thread sees this hurry counted, or this hurry sees the stream gone.
    _shared->hurrying.fetch_add(1);
    if (SensorReportStream* stream = _shared->hurryTarget.load()) {
        stream->hurry(holdSeconds);
    }
    _shared->hurrying.fetch_sub(1);
}

void TCASPUSensor::_setStatus(Shared& shared, std::int64_t status) {
    shared.status.store(status, std::memory_order_release);
    shared.statusCallback.call(status);
}

void TCASPUSensor::_sensorMain(std::shared_ptr<Shared> shared, std::shared_ptr<Run> run) {
    nameCurrentThread(kSensorThreadLabel);
    _setStatus(*shared, _runDevice(*shared, *run));
}

std::int64_t TCASPUSensor::_runDevice(Shared& shared, Run& run) {
    SensorRegistry& registry = *shared.registry;
    _switchSensorDriversOn(registry);

    const auto service = _findAccelService(registry);
    if (!service) {
        return kStatusUnavailable;
    }
    auto device = registry.createDevice(*service);
    if (!device) {
        return kStatusError;
    }
    auto stream = device->open();
    if (!stream) {
        return kStatusAccessDenied;
    }
    {
        std::lock_guard lock(run.streamLock);
        run.stream = stream.get();
    }
    shared.hurryTarget.store(stream.get());
    _setStatus(shared, kStatusRunning);

    bool deviceGone = false;
    while (!run.shouldStop.load(std::memory_order_acquire)) {
        if (!stream->runSlice(shared.sliceSeconds, &_hidReportCallback, shared.ringBuffer)) {
            deviceGone = true;
            break;
        }
    }

    {
        std::lock_guard lock(run.streamLock);
        run.stream = nullptr;
    }
    shared.hurryTarget.store(nullptr);
    while (shared.hurrying.load() != 0) {
        std::this_thread::yield(); // a hurry is a few instructions and one write
    }
    stream.reset();
    device.reset();
    // A device that disappeared while running is an error, not a stop: the
    // listener learns that reports have ended.
    return deviceGone ? kStatusError : kStatusStopped;
}

} // namespace clavio
