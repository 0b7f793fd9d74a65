// IIO accelerometers whose buffer cannot be had, on fake sysfs trees: the
// buffer node refused, its sysfs attributes not writable, or the buffer held
// by another reader. The raw attributes are then polled through the real
// sensor thread, in g, at the capped rate, with the read mode and rate in the
// service's properties.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/ports/clock.h"
#include "engine/sensing/spu_sensor.h"
#include "platform/linux/sensors/linux_sensor_registry.h"
#include "platform/linux/sensors/sensor_sources.h"
#include "tests/support/fake_device_tree.h"

using namespace clavio;
using namespace clavio::platform;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

// 1024 raw units per g; z has its own scale of 512 units per g.
const std::string kScale = "0.009576806640625";
const std::map<std::string, std::string> kRaw = {{"in_accel_x_raw", "516"},
                                                 {"in_accel_y_raw", "-1020"},
                                                 {"in_accel_z_raw", "260"},
                                                 {"in_accel_offset", "-4"},
                                                 {"in_accel_z_scale", "0.01915361328125"}};
constexpr double kX = 0.5, kY = -1.0, kZ = 0.5;

std::shared_ptr<LinuxSensorRegistry> registryFor(const FakeDeviceTree& tree) {
    return std::make_shared<LinuxSensorRegistry>(LinuxSensorRoots{
        tree.sysRoot(), tree.devRoot(), tree.inputRoot(), makeSidecarEvdevProbe()});
}

SensorService onlyService(LinuxSensorRegistry& registry) {
    const auto services = registry.matchingServices(kSensorDeviceClass);
    EXPECT_EQ(services->size(), 1u);
    return services->at(0);
}

void folderAt(const std::filesystem::path& p) {
    std::filesystem::remove(p);
    std::filesystem::create_directory(p);
}

void expectSample(const SPUSensor& sensor, double x, double y, double z, const char* what) {
    const auto s = sensor.latestSample();
    ASSERT_TRUE(s) << what;
    EXPECT_NEAR(s->x, x, 1e-5) << what;
    EXPECT_NEAR(s->y, y, 1e-5) << what;
    EXPECT_NEAR(s->z, z, 1e-5) << what;
}

} // namespace

TEST(IioPolling, RefusedBufferIsPolledInGAtTheCappedRateAndNewValuesAreRead) {
    using Build = std::function<void(FakeDeviceTree&)>;
    // The highest frequency offered up to 250 Hz, or 250 Hz when all are above.
    const std::tuple<const char*, Build, int> cases[] = {
        {"buffer node refused",
         [](auto& t) {
             t.addIioAccelerometer(0, kScale, "400 800 1600", kRaw, FakeNode::unopenable);
         },
         250},
        {"buffer attributes not writable",
         [](auto& t) {
             t.addIioAccelerometer(0, kScale, "12.5 25 100 200 400 800", kRaw);
             folderAt(t.iioDir(0) / "buffer/enable");
         },
         200},
    };
    for (const auto& [what, build, expectedHz] : cases) {
        FakeDeviceTree tree;
        build(tree);
        auto registry = registryFor(tree);
        const auto service = onlyService(*registry);
        EXPECT_EQ(service.properties.at("ReadMode"), SensorPropertyValue{"polling"}) << what;
        EXPECT_EQ(service.properties.at("SampleRate"), SensorPropertyValue{expectedHz}) << what;
        EXPECT_TRUE(registry->access(service).readable) << what;

        auto sensor = SPUSensor::create(registry, 10.0);
        ASSERT_TRUE(sensor->start());
        ASSERT_TRUE(waitFor([&] { return sensor->totalSamples() > 0; })) << what;
        const std::uint64_t before = sensor->totalSamples();
        const auto t0 = hostTicks();
        std::this_thread::sleep_for(400ms);
        const double seconds = double(hostTicks() - t0) * 1e-9;
        const double rate = double(sensor->totalSamples() - before) / seconds;
        EXPECT_GT(rate, expectedHz / 2) << what; // a loaded machine may miss some expiries
        EXPECT_LT(rate, expectedHz * 1.05) << what;
        expectSample(*sensor, kX, kY, kZ, what);
        EXPECT_LT(double(hostTicks() - sensor->latestSample()->timestamp) * 1e-9, 0.1) << what;

        writeFile(tree.iioDir(0) / "in_accel_x_raw", "-2044\n");
        ASSERT_TRUE(waitFor([&] { return sensor->latestSample()->x < -1.9f; })) << what;
        expectSample(*sensor, -2.0, kY, kZ, what);

        // Stop returns at once although a slice may last 10 s.
        const auto stopAt = std::chrono::steady_clock::now();
        sensor->stop();
        EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 200ms) << what;
        EXPECT_EQ(sensor->status(), SensorStatus::stopped) << what;
    }
}

TEST(IioPolling, ABufferHeldByAnotherReaderIsPolledAndLeftAsItWas) {
    FakeDeviceTree tree;
    tree.addIioAccelerometer(0, kScale, "12.5 25 50 100 200 400 800 1600", kRaw);
    auto registry = registryFor(tree);
    auto holder = SPUSensor::create(registry);
    ASSERT_TRUE(holder->start());
    ASSERT_TRUE(waitFor([&] { return holder->status() == SensorStatus::running; }));
    auto service = onlyService(*registry);
    EXPECT_EQ(service.properties.at("ReadMode"), SensorPropertyValue{"buffer"});
    EXPECT_EQ(service.properties.at("SampleRate"), SensorPropertyValue{800});

    // A second reader of the same device while the first holds the buffer.
    auto second = SPUSensor::create(registry);
    ASSERT_TRUE(second->start());
    ASSERT_TRUE(waitFor([&] { return second->totalSamples() > 2; }));
    expectSample(*second, kX, kY, kZ, "second reader");
    EXPECT_EQ(readFile(tree.iioDir(0) / "buffer/enable"), "1");

    FifoWriter w(tree.devRoot() / "iio:device0");
    const std::int16_t scan[3] = {4, 1028, -252}; // same offset and scales
    w.write(scan, sizeof scan);
    ASSERT_TRUE(waitFor([&] { return holder->totalSamples() == 1; }));
    expectSample(*holder, 0.0, 1.0, -0.5, "buffer holder");
    second->stop();
    holder->stop();
    EXPECT_EQ(readFile(tree.iioDir(0) / "buffer/enable"), "0");
}

TEST(IioPolling, UnreadableOrVanishingRawValuesAndTheDeviceWithoutBuffer) {
    {
        FakeDeviceTree tree; // no raw attributes, and the buffer refused
        tree.addIioAccelerometer(0, kScale, "100", {}, FakeNode::unopenable);
        auto registry = registryFor(tree);
        const auto service = onlyService(*registry);
        EXPECT_EQ(service.properties.count("ReadMode"), 0u);
        EXPECT_EQ(service.properties.count("SampleRate"), 0u);
        const auto access = registry->access(service);
        EXPECT_FALSE(access.readable);
        EXPECT_NE(access.text.find(accelerometerUdevRule().string()), std::string::npos);
        EXPECT_NE(access.text.find("udevadm control --reload && sudo udevadm trigger"),
                  std::string::npos);
        auto sensor = SPUSensor::create(registry);
        sensor->start();
        ASSERT_TRUE(waitFor([&] { return sensor->status() == SensorStatus::accessDenied; }));
    }
    {
        // Raw attributes only, no frequency list: polled at the current one.
        FakeDeviceTree tree;
        tree.addIioAccelerometer(0, kScale, "", kRaw);
        std::filesystem::remove_all(tree.iioDir(0) / "scan_elements");
        std::filesystem::remove(tree.iioDir(0) / "sampling_frequency_available");
        auto registry = registryFor(tree);
        const auto service = onlyService(*registry);
        EXPECT_EQ(service.properties.at("ReadMode"), SensorPropertyValue{"polling"});
        EXPECT_EQ(service.properties.at("SampleRate"), SensorPropertyValue{100});
        auto sensor = SPUSensor::create(registry);
        sensor->start();
        ASSERT_TRUE(waitFor([&] { return sensor->totalSamples() > 0; }));
        expectSample(*sensor, kX, kY, kZ, "no buffer");

        // The driver goes away: reading ends with an error, within about a second.
        const double cpuBefore = processCpuSeconds();
        std::filesystem::remove(tree.iioDir(0) / "in_accel_x_raw");
        ASSERT_TRUE(waitFor([&] { return sensor->status() == SensorStatus::error; }, 3.0));
        EXPECT_LT(processCpuSeconds() - cpuBefore, 0.1) << "polling costs little";
    }
}
