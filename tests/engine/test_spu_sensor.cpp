// The accelerometer logic over an in-memory registry: the service search,
// the report decoder, driver switch-on and the start/stop/status semantics.
// The Linux sources are exercised against fake device trees in the platform
// suite.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>

#include "engine/sensing/spu_sensor.h"
#include "engine/sensing/tca_spu_sensor.h"

using namespace clavio;
using namespace std::chrono_literals;

namespace {

std::vector<std::uint8_t> report(std::int32_t x, std::int32_t y, std::int32_t z,
                                 std::size_t length = 22) {
    std::vector<std::uint8_t> bytes(std::max<std::size_t>(length, 18), 0xAA);
    std::memcpy(bytes.data() + 6, &x, 4); // little-endian host
    std::memcpy(bytes.data() + 10, &y, 4);
    std::memcpy(bytes.data() + 14, &z, 4);
    bytes.resize(length);
    return bytes;
}

// Reports queued by the test, delivered by runSlice.
class QueueStream final : public SensorReportStream {
public:
    bool runSlice(double seconds, SensorReportCallback callback, void* context) override {
        std::unique_lock lock(_m);
        _cv.wait_for(lock, std::chrono::duration<double>(seconds),
                     [&] { return !_queue.empty() || _interrupted; });
        if (_interrupted) {
            _interrupted = false;
            return true;
        }
        while (!_queue.empty()) {
            auto bytes = std::move(_queue.front());
            _queue.pop_front();
            callback(context, bytes.data(), bytes.size(), 42);
        }
        return true;
    }
    void interrupt() noexcept override {
        std::lock_guard lock(_m);
        _interrupted = true;
        _cv.notify_all();
    }
    void push(std::vector<std::uint8_t> bytes) {
        std::lock_guard lock(_m);
        _queue.push_back(std::move(bytes));
        _cv.notify_all();
    }

private:
    std::mutex _m;
    std::condition_variable _cv;
    std::deque<std::vector<std::uint8_t>> _queue;
    bool _interrupted = false;
};

enum class Outcome { noDevice, openFails, opens };

class MemoryRegistry final : public SensorRegistry {
public:
    std::optional<std::vector<SensorService>>
    matchingServices(std::string_view serviceClass) override {
        while (holdSearch.load()) {
            std::this_thread::sleep_for(1ms);
        }
        std::lock_guard lock(m);
        if (failQuery) {
            return std::nullopt;
        }
        return serviceClass == kSensorDeviceClass ? services : drivers;
    }
    bool setProperty(const SensorService& service, std::string_view name,
                     std::int32_t value) override {
        std::lock_guard lock(m);
        set.push_back(service.id + " " + std::string(name) + "=" + std::to_string(value));
        return false;
    }
    std::unique_ptr<SensorDevice> createDevice(const SensorService& service) override;

    std::mutex m;
    std::atomic<bool> holdSearch{false};
    bool failQuery = false;
    std::vector<SensorService> services;
    std::vector<SensorService> drivers;
    std::vector<std::string> set;
    std::vector<std::string> created;
    Outcome outcome = Outcome::opens;
    QueueStream* stream = nullptr; // the open stream, owned by the sensor thread
};

class MemoryDevice final : public SensorDevice {
public:
    explicit MemoryDevice(MemoryRegistry& r) : _r(r) {}
    std::unique_ptr<SensorReportStream> open() override {
        std::lock_guard lock(_r.m);
        if (_r.outcome == Outcome::openFails) {
            return nullptr;
        }
        auto stream = std::make_unique<QueueStream>();
        _r.stream = stream.get();
        return stream;
    }

private:
    MemoryRegistry& _r;
};

std::unique_ptr<SensorDevice> MemoryRegistry::createDevice(const SensorService& service) {
    std::lock_guard lock(m);
    created.push_back(service.id);
    if (outcome == Outcome::noDevice) {
        return nullptr;
    }
    return std::make_unique<MemoryDevice>(*this);
}

SensorService service(std::string id, SensorProperties properties) {
    return {std::move(id), std::move(properties)};
}

SensorService accelService(std::string id) {
    return service(std::move(id),
                   {{"PrimaryUsagePage", std::int64_t{0xFF00}}, {"PrimaryUsage", std::int64_t{3}}});
}

// Statuses seen by the listener, with the thread that reported them.
struct StatusLog {
    std::mutex m;
    std::vector<SensorStatus> statuses;
    std::vector<std::thread::id> threads;
    void add(SensorStatus s) {
        std::lock_guard lock(m);
        statuses.push_back(s);
        threads.push_back(std::this_thread::get_id());
    }
    std::vector<SensorStatus> seen() {
        std::lock_guard lock(m);
        return statuses;
    }
};

bool waitUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

} // namespace

TEST(SensorReport, TwentyTwoByteReportsAreDecodedAndOtherLengthsSkipped) {
    auto ring = std::make_unique<TCARingBuffer>();
    tca_ring_init(ring.get());
    const auto good = report(65536, -65536, 0);
    _hidReportCallback(ring.get(), report(65536, 65536, 65536, 21).data(), 21, 1);
    const auto longer = report(65536, 65536, 65536, 23);
    _hidReportCallback(ring.get(), longer.data(), 23, 2);
    EXPECT_EQ(tca_ring_total(ring.get()), 0u);

    _hidReportCallback(ring.get(), good.data(), good.size(), 777);
    TCAMotionSample s;
    ASSERT_TRUE(tca_ring_latest(ring.get(), &s));
    EXPECT_EQ(s.x, 1.0f);
    EXPECT_EQ(s.y, -1.0f);
    EXPECT_EQ(s.z, 0.0f);
    // The ring computes the magnitude of all three axes: sqrt(1 + 1 + 0).
    EXPECT_FLOAT_EQ(s.magnitude, std::sqrt(2.0f));
    EXPECT_EQ(s.timestamp, 777u);
    const auto unit = report(0, 0, -65536);
    _hidReportCallback(ring.get(), unit.data(), unit.size(), 778);
    ASSERT_TRUE(tca_ring_latest(ring.get(), &s));
    EXPECT_EQ(s.z, -1.0f);
    EXPECT_EQ(s.magnitude, 1.0f);
    EXPECT_EQ(tca_ring_total(ring.get()), 2u);
}

TEST(SensorSearch, FirstServiceWithBothNumbersMatchingIsChosen) {
    MemoryRegistry r;
    r.services = {
        service("no-usage", {{"PrimaryUsagePage", std::int64_t{0xFF00}}}),
        service("string-page",
                {{"PrimaryUsagePage", std::string("65280")}, {"PrimaryUsage", std::int64_t{3}}}),
        service("wrong-usage",
                {{"PrimaryUsagePage", std::int64_t{0xFF00}}, {"PrimaryUsage", std::int64_t{5}}}),
        service("keyboard",
                {{"PrimaryUsagePage", std::int64_t{1}}, {"PrimaryUsage", std::int64_t{6}}}),
        accelService("first"),
        accelService("second"),
    };
    r.services[4].properties["Product"] = std::string("SPU accel");
    r.services[4].properties["Manufacturer"] = std::int64_t{7}; // wrong type: left out
    r.services[4].properties["VendorID"] = std::int64_t{0x5AC};
    r.services[4].properties["ProductID"] = std::string("x");   // wrong type: left out
    r.services[4].properties["Transport"] = std::string("SPU"); // not device information

    const auto found = _findAccelService(r);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id, "first");
    EXPECT_TRUE(TCASPUSensor::isHardwareAvailable(r));
    const auto info = SPUSensor::deviceInfo(r);
    ASSERT_TRUE(info);
    EXPECT_EQ(*info, (SensorProperties{{"Product", std::string("SPU accel")},
                                       {"VendorID", std::int64_t{0x5AC}}}));

    r.services.erase(r.services.begin() + 4, r.services.end());
    EXPECT_FALSE(_findAccelService(r));
    EXPECT_FALSE(SPUSensor::isAvailable(r));
    EXPECT_FALSE(SPUSensor::deviceInfo(r));
    r.services.push_back(accelService("late"));
    r.failQuery = true;
    EXPECT_FALSE(_findAccelService(r));
}

TEST(SensorThread, StatusesForEachFailureArriveOnTheSensorThread) {
    struct Case {
        bool hasService;
        Outcome outcome;
        SensorStatus expected;
    };
    for (const Case c : {Case{false, Outcome::opens, SensorStatus::unavailable},
                         Case{true, Outcome::noDevice, SensorStatus::error},
                         Case{true, Outcome::openFails, SensorStatus::accessDenied}}) {
        auto registry = std::make_shared<MemoryRegistry>();
        if (c.hasService) {
            registry->services = {accelService("accel")};
        }
        registry->outcome = c.outcome;
        auto sensor = SPUSensor::create(registry);
        StatusLog log;
        sensor->setOnStatusChange([&](SensorStatus s) { log.add(s); });
        EXPECT_TRUE(sensor->start());
        ASSERT_TRUE(waitUntil([&] { return !log.seen().empty(); }));
        EXPECT_EQ(log.seen(), std::vector<SensorStatus>{c.expected});
        EXPECT_NE(log.threads[0], std::this_thread::get_id());
        EXPECT_EQ(sensor->status(), c.expected);

        // The failed thread stays registered: another start does nothing.
        EXPECT_TRUE(sensor->start());
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(log.seen().size(), 1u);
        // Stop then start retries from scratch.
        sensor->stop();
        EXPECT_EQ(sensor->status(), c.expected) << "stop itself sets no status";
        sensor->start();
        ASSERT_TRUE(waitUntil([&] { return log.seen().size() == 2; }));
        sensor->stop();
    }
}

TEST(SensorThread, RunsReportsIntoTheRingAndStopsWithinASliceOfTheRequest) {
    auto registry = std::make_shared<MemoryRegistry>();
    registry->services = {accelService("accel")};
    registry->drivers = {service("driver-a", {}), service("driver-b", {})};
    // A 30-second slice: only an interrupting stop returns quickly.
    auto sensor = SPUSensor::create(registry, 30.0);
    StatusLog log;
    sensor->setOnStatusChange([&](SensorStatus s) { log.add(s); });
    sensor->stop(); // without start: nothing
    EXPECT_FALSE(sensor->latestSample());

    sensor->start();
    sensor->start();
    ASSERT_TRUE(waitUntil([&] { return sensor->status() == SensorStatus::running; }));
    {
        std::lock_guard lock(registry->m);
        EXPECT_EQ(registry->created.size(), 1u) << "a second start creates no second thread";
        EXPECT_EQ(
            registry->set,
            (std::vector<std::string>{
                "driver-a SensorPropertyReportingState=1", "driver-a SensorPropertyPowerState=1",
                "driver-a ReportInterval=1000", "driver-b SensorPropertyReportingState=1",
                "driver-b SensorPropertyPowerState=1", "driver-b ReportInterval=1000"}));
        registry->stream->push(report(0, 0, 65536));
        registry->stream->push(report(0, 0, 65536, 23));
        registry->stream->push(report(32768, 0, 0));
    }
    ASSERT_TRUE(waitUntil([&] { return sensor->totalSamples() == 2; }));
    const auto latest = sensor->latestSample();
    ASSERT_TRUE(latest);
    EXPECT_EQ(latest->x, 0.5f);
    EXPECT_EQ(latest->timestamp, 42u);

    const auto before = std::chrono::steady_clock::now();
    sensor->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    sensor->stop();
    EXPECT_EQ(log.seen(),
              (std::vector<SensorStatus>{SensorStatus::running, SensorStatus::stopped}));
    EXPECT_EQ(sensor->totalSamples(), 2u) << "stopping keeps the ring";
}

TEST(SensorFront, StatusListenerIsForwardedWeaklyAndMayBeCleared) {
    EXPECT_EQ(sensorStatusFromNative(9), SensorStatus::error);
    EXPECT_EQ(sensorStatusFromNative(-1), SensorStatus::error);
    EXPECT_EQ(sensorStatusFromNative(3), SensorStatus::accessDenied);

    auto registry = std::make_shared<MemoryRegistry>();
    auto sensor = SPUSensor::create(registry);
    EXPECT_FALSE(sensor->native->statusCallback());
    sensor->setOnStatusChange(nullptr);
    const auto forwarder = sensor->native->statusCallback();
    ASSERT_TRUE(forwarder) << "clearing the listener still installs a native callback";
    forwarder(2); // forwards nothing, harmlessly

    int calls = 0;
    sensor->setOnStatusChange([&](SensorStatus) { ++calls; });
    const auto live = sensor->native->statusCallback();
    live(1);
    EXPECT_EQ(calls, 1);
    sensor.reset();
    live(1); // the front is gone: nothing happens
    EXPECT_EQ(calls, 1);
}

TEST(SensorFront, ListenerMayDropTheLastReferenceOnTheSensorThread) {
    auto registry = std::make_shared<MemoryRegistry>();
    registry->services = {accelService("accel")};
    auto sensor = SPUSensor::create(registry);
    std::shared_ptr<SPUSensor> holder = sensor;
    std::atomic<bool> released{false};
    sensor->setOnStatusChange([&](SensorStatus s) {
        if (s == SensorStatus::running) {
            holder.reset(); // the test dropped its reference already
            released = true;
        }
    });
    registry->holdSearch = true;
    sensor->start();
    sensor.reset(); // now only `holder` keeps the front
    registry->holdSearch = false;
    ASSERT_TRUE(waitUntil([&] { return released.load(); }));
    // The front was destroyed on its own sensor thread without deadlock; give
    // the detached thread a moment to end.
    std::this_thread::sleep_for(50ms);
}
