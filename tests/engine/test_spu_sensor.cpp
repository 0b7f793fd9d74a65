// The accelerometer front and thread over an in-memory registry; reports and
// the Linux sources are checked against fake device trees in the platform suite.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine/replay/offline_replay_ports.h"
#include "engine/sensing/spu_sensor.h"
#include "engine/sensing/tca_spu_sensor.h"
#include "tests/support/fake_device_tree.h"

using namespace clavio;
using clavio::testing::waitFor;
using namespace std::chrono_literals;

namespace {

class MemoryRegistry final : public SensorRegistry {
public:
    std::optional<std::vector<SensorService>>
    matchingServices(std::string_view serviceClass) override {
        while (holdSearch.load()) {
            std::this_thread::sleep_for(1ms);
        }
        std::lock_guard lock(m);
        return serviceClass == kSensorDeviceClass ? services : drivers;
    }
    bool setProperty(const SensorService& service, std::string_view name,
                     std::int32_t value) override {
        std::lock_guard lock(m);
        set.push_back(service.id + " " + std::string(name) + "=" + std::to_string(value));
        return false;
    }
    // The offline accelerometer's device, whose stream only waits.
    std::unique_ptr<SensorDevice> createDevice(const SensorService&) override {
        std::lock_guard lock(m);
        ++created;
        return noDevice ? nullptr
                        : offline.createDevice(offline.matchingServices(kSensorDeviceClass)->at(0));
    }
    std::mutex m;
    std::atomic<bool> holdSearch{false};
    std::vector<SensorService> services, drivers;
    std::vector<std::string> set;
    int created = 0;
    bool noDevice = false;
    OfflineSensorRegistry offline{true};
};

SensorService accelService(std::string id, std::int64_t page = 0xFF00, std::int64_t usage = 3) {
    return {std::move(id), {{"PrimaryUsagePage", page}, {"PrimaryUsage", usage}}};
}

// Statuses seen by the listener of `sensor`, and whether all came off the test thread.
struct StatusLog {
    explicit StatusLog(SPUSensor& sensor) {
        sensor.setOnStatusChange([this](SensorStatus s) {
            std::lock_guard lock(m);
            statuses.push_back(s);
            offThread = offThread && std::this_thread::get_id() != owner;
        });
    }
    std::vector<SensorStatus> seen() {
        std::lock_guard lock(m);
        return statuses;
    }
    std::mutex m;
    std::vector<SensorStatus> statuses;
    bool offThread = true;
    const std::thread::id owner = std::this_thread::get_id();
};

} // namespace

TEST(SensorSearch, FirstServiceWithBothNumbersMatchingIsChosen) {
    MemoryRegistry r;
    r.services = {{"no-usage", {{"PrimaryUsagePage", std::int64_t{0xFF00}}}},
                  {"string-page",
                   {{"PrimaryUsagePage", std::string("65280")}, {"PrimaryUsage", std::int64_t{3}}}},
                  accelService("wrong-usage", 0xFF00, 5),
                  accelService("keyboard", 1, 6),
                  accelService("first"),
                  accelService("second")};
    auto& props = r.services[4].properties;
    props["Product"] = std::string("SPU accel");
    props["Manufacturer"] = std::int64_t{7}; // wrong type: left out
    props["VendorID"] = std::int64_t{0x5AC};
    props["ProductID"] = std::string("x");   // wrong type: left out
    props["Transport"] = std::string("SPU"); // not device information
    ASSERT_TRUE(_findAccelService(r));
    EXPECT_EQ(_findAccelService(r)->id, "first");
    EXPECT_TRUE(TCASPUSensor::isHardwareAvailable(r));
    EXPECT_EQ(SPUSensor::deviceInfo(r), (SensorProperties{{"Product", std::string("SPU accel")},
                                                          {"VendorID", std::int64_t{0x5AC}}}));
    r.services.resize(4);
    EXPECT_FALSE(_findAccelService(r) || SPUSensor::isAvailable(r) || SPUSensor::deviceInfo(r));
}

// Which failure gives which status is checked on the Linux registry
// (LinuxSensor.StatusesFor...); here the thread's behaviour around a failure.
TEST(SensorThread, AFailureIsReportedOffTheCallerThreadAndOnlyStopThenStartRetries) {
    auto registry = std::make_shared<MemoryRegistry>();
    registry->services = {accelService("accel")};
    registry->noDevice = true;
    auto sensor = SPUSensor::create(registry);
    StatusLog log(*sensor);
    EXPECT_TRUE(sensor->start());
    ASSERT_TRUE(waitFor([&] { return !log.seen().empty(); }));
    EXPECT_TRUE(sensor->start()); // the failed thread stays registered: nothing
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(log.seen(), std::vector<SensorStatus>{SensorStatus::error});
    EXPECT_TRUE(log.offThread);
    sensor->stop();
    EXPECT_EQ(sensor->status(), SensorStatus::error) << "stop itself sets no status";
    sensor->start();
    ASSERT_TRUE(waitFor([&] { return log.seen().size() == 2; }));
    sensor->stop();
}

TEST(SensorThread, SwitchesDriversOnAndStartsOnce) {
    auto registry = std::make_shared<MemoryRegistry>();
    registry->services = {accelService("accel")};
    registry->drivers = {{"driver-a", {}}, {"driver-b", {}}};
    auto sensor = SPUSensor::create(registry);
    StatusLog log(*sensor);
    sensor->stop(); // without start: nothing
    sensor->start();
    sensor->start();
    ASSERT_TRUE(waitFor([&] { return sensor->status() == SensorStatus::running; }));
    {
        std::lock_guard lock(registry->m);
        EXPECT_EQ(registry->created, 1) << "a second start creates no second thread";
        EXPECT_EQ(
            registry->set,
            (std::vector<std::string>{
                "driver-a SensorPropertyReportingState=1", "driver-a SensorPropertyPowerState=1",
                "driver-a ReportInterval=1000", "driver-b SensorPropertyReportingState=1",
                "driver-b SensorPropertyPowerState=1", "driver-b ReportInterval=1000"}));
    }
    sensor->stop();
    sensor->stop();
    EXPECT_EQ(log.seen(),
              (std::vector<SensorStatus>{SensorStatus::running, SensorStatus::stopped}));
}

TEST(SensorFront, ListenerMayDropTheLastReferenceOnTheSensorThread) {
    auto registry = std::make_shared<MemoryRegistry>();
    registry->services = {accelService("accel")};
    auto sensor = SPUSensor::create(registry);
    std::shared_ptr<SPUSensor> holder = sensor;
    std::atomic<bool> released{false};
    sensor->setOnStatusChange([&](SensorStatus s) {
        if (s == SensorStatus::running) {
            holder.reset();
            released = true;
        }
    });
    registry->holdSearch = true;
    sensor->start();
    sensor.reset(); // now only `holder` keeps the front
    registry->holdSearch = false;
    ASSERT_TRUE(waitFor([&] { return released.load(); }));
    std::this_thread::sleep_for(50ms); // the detached thread ends without deadlock
}
