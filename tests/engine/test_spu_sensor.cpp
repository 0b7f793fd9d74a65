// The accelerometer logic over an in-memory registry that can fail in each
// way a real one does: the service search, the report decoder, driver
// switch-on and the start/stop/status semantics. Reports reaching the ring
// through the sensor thread are checked on a replay (test_replay_sensing);
// the Linux sources against fake device trees in the platform suite.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "engine/replay/offline_replay_ports.h"
#include "engine/sensing/spu_sensor.h"
#include "engine/sensing/tca_spu_sensor.h"
#include "tests/support/fake_device_tree.h"

using namespace clavio;
using clavio::testing::waitFor;
using namespace std::chrono_literals;

namespace {

std::vector<std::uint8_t> report(std::int32_t x, std::int32_t y, std::int32_t z,
                                 std::size_t length = 22) {
    return clavio::testing::accelReport(x, y, z, length);
}

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
    // "opens": the offline accelerometer's device, whose stream only waits.
    std::unique_ptr<SensorDevice> createDevice(const SensorService& service) override {
        std::lock_guard lock(m);
        created.push_back(service.id);
        if (outcome == Outcome::noDevice) {
            return nullptr;
        }
        if (outcome == Outcome::openFails) {
            struct Refusing final : SensorDevice {
                std::unique_ptr<SensorReportStream> open() override { return nullptr; }
            };
            return std::make_unique<Refusing>();
        }
        return offline.createDevice(offline.matchingServices(kSensorDeviceClass)->at(0));
    }
    std::mutex m;
    std::atomic<bool> holdSearch{false};
    bool failQuery = false;
    std::vector<SensorService> services;
    std::vector<SensorService> drivers;
    std::vector<std::string> set;
    std::vector<std::string> created;
    Outcome outcome = Outcome::opens;
    OfflineSensorRegistry offline{true};
};

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
        ASSERT_TRUE(waitFor([&] { return !log.seen().empty(); }));
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
        ASSERT_TRUE(waitFor([&] { return log.seen().size() == 2; }));
        sensor->stop();
    }
}

TEST(SensorThread, SwitchesDriversOnStartsOnceAndStopsWithinASliceOfTheRequest) {
    auto registry = std::make_shared<MemoryRegistry>();
    registry->services = {accelService("accel")};
    registry->drivers = {service("driver-a", {}), service("driver-b", {})};
    // A 30-second slice: only an interrupting stop returns quickly.
    auto sensor = SPUSensor::create(registry, 30.0);
    StatusLog log;
    sensor->setOnStatusChange([&](SensorStatus s) { log.add(s); });
    sensor->stop(); // without start: nothing
    sensor->start();
    sensor->start();
    ASSERT_TRUE(waitFor([&] { return sensor->status() == SensorStatus::running; }));
    {
        std::lock_guard lock(registry->m);
        EXPECT_EQ(registry->created.size(), 1u) << "a second start creates no second thread";
        EXPECT_EQ(registry->set, (std::vector<std::string>{
                                     "driver-a SensorPropertyReportingState=1",
                                     "driver-a SensorPropertyPowerState=1",
                                     "driver-a ReportInterval=1000",
                                     "driver-b SensorPropertyReportingState=1",
                                     "driver-b SensorPropertyPowerState=1",
                                     "driver-b ReportInterval=1000"}));
    }
    const auto before = std::chrono::steady_clock::now();
    sensor->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    sensor->stop();
    EXPECT_EQ(log.seen(), (std::vector<SensorStatus>{SensorStatus::running, SensorStatus::stopped}));
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
    ASSERT_TRUE(waitFor([&] { return released.load(); }));
    // The front was destroyed on its own sensor thread without deadlock; give
    // the detached thread a moment to end.
    std::this_thread::sleep_for(50ms);
}
