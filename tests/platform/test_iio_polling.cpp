// IIO accelerometers whose buffer cannot be had (node refused, sysfs buffer
// attributes not writable, buffer held by another reader) are polled through
// the real sensor thread: values in g, the capped rate, the read mode and
// rate in the service's properties.
#include <gtest/gtest.h>

#include "engine/ports/clock.h"
#include "engine/sensing/spu_sensor.h"
#include "platform/linux/sensors/linux_sensor_registry.h"
#include "tests/support/fake_device_tree.h"

using namespace clavio;
using namespace clavio::platform;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

// 1024 raw units per g, z 512; every axis offset by -4.
const std::string kScale = "0.009576806640625";
const std::map<std::string, std::string> kRaw = {{"in_accel_x_raw", "516"},
                                                 {"in_accel_y_raw", "-1020"},
                                                 {"in_accel_z_raw", "260"},
                                                 {"in_accel_offset", "-4"},
                                                 {"in_accel_z_scale", "0.01915361328125"}};

std::shared_ptr<LinuxSensorRegistry> registryFor(const FakeDeviceTree& tree) {
    return std::make_shared<LinuxSensorRegistry>(LinuxSensorRoots{
        tree.sysRoot(), tree.devRoot(), tree.inputRoot(), makeSidecarEvdevProbe()});
}

SensorProperties properties(LinuxSensorRegistry& registry) {
    const auto services = registry.matchingServices(kSensorDeviceClass);
    EXPECT_EQ(services->size(), 1u);
    return services->at(0).properties;
}

void expectG(const SPUSensor& sensor, float x, float y, float z, const char* what) {
    const auto s = sensor.latestSample();
    ASSERT_TRUE(s) << what;
    EXPECT_NEAR(s->x, x, 1e-5) << what;
    EXPECT_NEAR(s->y, y, 1e-5) << what;
    EXPECT_NEAR(s->z, z, 1e-5) << what;
}

// The fixture device with these attribute files written over it.
std::filesystem::path addIio(FakeDeviceTree& tree, int n, const std::string& scale,
                             const std::string& available,
                             const std::map<std::string, std::string>& files,
                             FakeNode kind = FakeNode::fifo) {
    auto node = tree.addIioAccelerometer(n, scale, available, kind);
    for (const auto& [file, text] : files) {
        writeFile(tree.iioDir(n) / file, text + "\n");
    }
    return node;
}

} // namespace

TEST(IioPolling, RefusedBufferIsPolledInGAtTheCappedRateAndNewValuesAreRead) {
    // The highest frequency offered up to 250 Hz, or 250 Hz when all are above.
    const std::tuple<const char*, std::function<void(FakeDeviceTree&)>, int> cases[] = {
        {"buffer node refused",
         [](auto& t) { addIio(t, 0, kScale, "400 800", kRaw, FakeNode::unopenable); }, 250},
        {"buffer attributes not writable",
         [](auto& t) {
             addIio(t, 0, kScale, "12.5 100 200 400 800", kRaw);
             std::filesystem::remove(t.iioDir(0) / "buffer/enable");
             std::filesystem::create_directory(t.iioDir(0) / "buffer/enable");
         },
         200},
    };
    for (const auto& [what, build, hz] : cases) {
        FakeDeviceTree tree;
        build(tree);
        auto registry = registryFor(tree);
        const auto props = properties(*registry);
        EXPECT_EQ(props.at("ReadMode"), SensorPropertyValue{"polling"}) << what;
        EXPECT_EQ(props.at("SampleRate"), SensorPropertyValue{hz}) << what;

        auto sensor = SPUSensor::create(registry, 10.0);
        ASSERT_TRUE(sensor->start());
        ASSERT_TRUE(waitFor([&] { return sensor->totalSamples() > 0; })) << what;
        const std::uint64_t before = sensor->totalSamples(), t0 = hostTicks();
        std::this_thread::sleep_for(400ms);
        const double rate = double(sensor->totalSamples() - before) / ((hostTicks() - t0) * 1e-9);
        EXPECT_GT(rate, hz / 2) << what; // a loaded machine may miss some expiries
        EXPECT_LT(rate, hz * 1.05) << what;
        expectG(*sensor, 0.5f, -1.0f, 0.5f, what);
        EXPECT_LT((hostTicks() - sensor->latestSample()->timestamp) * 1e-9, 0.1) << what;

        writeFile(tree.iioDir(0) / "in_accel_x_raw", "-2044\n");
        ASSERT_TRUE(waitFor([&] { return sensor->latestSample()->x < -1.9f; })) << what;
        expectG(*sensor, -2.0f, -1.0f, 0.5f, what);
        const auto stopAt = std::chrono::steady_clock::now(); // slices may last 10 s
        sensor->stop();
        EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 200ms) << what;
    }
}

TEST(IioPolling, ABufferHeldByAnotherReaderIsPolledAndLeftAsItWas) {
    FakeDeviceTree tree;
    addIio(tree, 0, kScale, "12.5 25 50 100 200 400 800 1600", kRaw);
    auto registry = registryFor(tree);
    auto holder = SPUSensor::create(registry);
    ASSERT_TRUE(holder->start());
    ASSERT_TRUE(waitFor([&] { return holder->status() == SensorStatus::running; }));
    const auto props = properties(*registry);
    EXPECT_EQ(props.at("ReadMode"), SensorPropertyValue{"buffer"});
    EXPECT_EQ(props.at("SampleRate"), SensorPropertyValue{800});

    auto second = SPUSensor::create(registry);
    ASSERT_TRUE(second->start());
    ASSERT_TRUE(waitFor([&] { return second->totalSamples() > 2; }));
    expectG(*second, 0.5f, -1.0f, 0.5f, "second reader");
    EXPECT_EQ(readFile(tree.iioDir(0) / "buffer/enable"), "1");

    FifoWriter w(tree.devRoot() / "iio:device0");
    // x, y, z, padding, the timestamp channel
    const std::int16_t scan[8] = {4, 1028, -252, 0, 0, 0, 0, 0};
    w.write(scan, sizeof scan);
    ASSERT_TRUE(waitFor([&] { return holder->totalSamples() == 1; }));
    expectG(*holder, 0.0f, 1.0f, -0.5f, "buffer holder");
    second->stop();
    holder->stop();
    EXPECT_EQ(readFile(tree.iioDir(0) / "buffer/enable"), "0");
}

TEST(IioPolling, UnreadableOrVanishingRawValuesAndTheDeviceWithoutBuffer) {
    FakeDeviceTree locked; // no raw attributes, and the buffer refused
    addIio(locked, 0, kScale, "100", {}, FakeNode::unopenable);
    auto registry = registryFor(locked);
    EXPECT_EQ(properties(*registry).count("ReadMode"), 0u);
    auto sensor = SPUSensor::create(registry);
    sensor->start();
    ASSERT_TRUE(waitFor([&] { return sensor->status() == SensorStatus::accessDenied; }));

    // Raw attributes only, no frequency list: polled at the current frequency.
    FakeDeviceTree tree;
    addIio(tree, 0, kScale, "", kRaw);
    std::filesystem::remove_all(tree.iioDir(0) / "scan_elements");
    std::filesystem::remove(tree.iioDir(0) / "sampling_frequency_available");
    registry = registryFor(tree);
    EXPECT_EQ(properties(*registry).at("SampleRate"), SensorPropertyValue{100});
    sensor = SPUSensor::create(registry);
    sensor->start();
    ASSERT_TRUE(waitFor([&] { return sensor->totalSamples() > 0; }));
    expectG(*sensor, 0.5f, -1.0f, 0.5f, "no buffer");

    // The driver goes away: reading ends with an error within about a second.
    const double cpuBefore = processCpuSeconds();
    std::filesystem::remove(tree.iioDir(0) / "in_accel_x_raw");
    ASSERT_TRUE(waitFor([&] { return sensor->status() == SensorStatus::error; }, 3.0));
    EXPECT_LT(processCpuSeconds() - cpuBefore, 0.1) << "polling costs little";
}
