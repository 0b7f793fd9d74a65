// The accelerometer reader on Linux: the formats its sources parse (HID
// report descriptors, IIO scan types and frequency lists), and the sources
// against fake sysfs and /dev trees: hidraw reports, IIO buffer scans and
// evdev frames written into FIFOs and read through the real sensor thread
// into the ring.
#include <gtest/gtest.h>

#include <linux/input.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "engine/ports/clock.h"
#include "engine/sensing/spu_sensor.h"
#include "platform/linux/sensors/hid_report_descriptor.h"
#include "platform/linux/sensors/sensor_sources.h"
#include "platform/linux/sensors/linux_sensor_registry.h"
#include "tests/support/fake_device_tree.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::platform;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

const std::vector<std::uint8_t> kAccelDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x03, 0xA1, 0x01,
                                                    0x75, 0x08, 0x95, 0x16, 0x81, 0x02, 0xC0};
const std::vector<std::uint8_t> kKeyboardDescriptor = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0xC0};
const std::string kAccelUevent =
    "DRIVER=spu\nHID_ID=0018:000005AC:00008104\nHID_NAME=Apple SPU Accelerometer\n"
    "HID_PHYS=spu0\nHID_UNIQ=SPU-0001\n";
// 1024 raw units per g.
const std::string kScale = "0.009576806640625";

std::shared_ptr<LinuxSensorRegistry> registryFor(const FakeDeviceTree& tree) {
    return std::make_shared<LinuxSensorRegistry>(LinuxSensorRoots{
        tree.sysRoot(), tree.devRoot(), tree.inputRoot(), makeSidecarEvdevProbe()});
}

struct StatusLog {
    std::mutex m;
    std::vector<SensorStatus> statuses;
    explicit StatusLog(SPUSensor& sensor) {
        sensor.setOnStatusChange([this](SensorStatus s) {
            std::lock_guard lock(m);
            statuses.push_back(s);
        });
    }
    std::vector<SensorStatus> seen() {
        std::lock_guard lock(m);
        return statuses;
    }
};

std::optional<HidUsage> primary(const std::vector<std::uint8_t>& d) {
    return parsePrimaryUsage(d.data(), d.size());
}

std::string attribute(const std::filesystem::path& path) {
    const auto text = readFile(path);
    return text.substr(0, text.find('\n'));
}

} // namespace

TEST(SensorFormats, HidPrimaryUsageIsThatOfTheFirstTopLevelCollection) {
    // Vendor page 0xFF00, usage 3, one 22-byte input report.
    EXPECT_EQ(primary({0x06, 0x00, 0xFF, 0x09, 0x03, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x16, 0x81,
                       0x02, 0xC0}),
              (HidUsage{0xFF00, 3}));
    // A keyboard; its later usages inside the collection do not count.
    EXPECT_EQ(primary({0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0xC0, 0x06,
                       0x00, 0xFF, 0x09, 0x03, 0xA1, 0x01, 0xC0}),
              (HidUsage{1, 6}));
    // A four-byte usage carries its page; a long item is skipped whole.
    EXPECT_EQ(primary({0xFE, 0x02, 0x10, 0xA1, 0x01, 0x0B, 0x02, 0x00, 0x01, 0x00, 0xA1, 0x01}),
              (HidUsage{1, 2}));
    // Push and pop restore the usage page.
    EXPECT_EQ(primary({0x05, 0x01, 0xA4, 0x06, 0x00, 0xFF, 0xB4, 0x09, 0x02, 0xA1, 0x01}),
              (HidUsage{1, 2}));
    EXPECT_FALSE(primary({}));
    EXPECT_FALSE(primary({0x06, 0x00}));                   // truncated item
    EXPECT_FALSE(primary({0x06, 0x00, 0xFF, 0x09, 0x03})); // no collection
    EXPECT_FALSE(primary({0xFE, 0x20, 0x10, 0x00}));       // long item past the end
    EXPECT_FALSE(primary({0xA1, 0x01, 0x09, 0x03, 0xC0})); // collection without usage
}

TEST(SensorFormats, IioScanTypesDecodeAndTheFrequencyIsTheHighestUpToTheTarget) {
    const std::uint8_t minus[] = {0x00, 0x80}, minusOne[] = {0xFF, 0xF0}, big[] = {0x7F, 0xF5};
    const std::uint8_t ones[] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(decodeIioSample(*parseIioScanType("le:s16/16>>0"), minus), -32768);
    const auto be = parseIioScanType("be:s12/16>>4");
    ASSERT_TRUE(be && be->bigEndian);
    EXPECT_EQ(decodeIioSample(*be, minusOne), -1);
    EXPECT_EQ(decodeIioSample(*be, big), 2047);
    EXPECT_EQ(decodeIioSample(*parseIioScanType("le:u10/32>>2"), ones), 1023);
    for (const char* bad : {"", "le", "xx:s16/16>>0", "le:q16/16>>0", "le:s16/16X2>>0",
                            "le:s17/16>>0", "le:s16/24>>0", "le:s16/16>>4", "le:s16/16>>0 "}) {
        EXPECT_FALSE(parseIioScanType(bad)) << bad;
    }
    EXPECT_EQ(chooseSamplingFrequency("12.5 25 50 100 200 400 800 1600", 1000), 800.0);
    EXPECT_EQ(chooseSamplingFrequency("1600 3200", 1000), 1600.0) << "none below: the lowest";
    EXPECT_EQ(chooseSamplingFrequency("[0 0.000001 5000]", 1000), 1000.0) << "a range";
    EXPECT_EQ(chooseSamplingFrequency("abc 200 x", 1000), 200.0);
    EXPECT_FALSE(chooseSamplingFrequency("[1 2]", 1000));
    EXPECT_FALSE(chooseSamplingFrequency("", 1000));
}

TEST(LinuxSensorRegistry, ListsEverySourceWithItsPropertiesAndChoosesTheFirstAccelerometer) {
    FakeDeviceTree tree;
    tree.addHidraw(0, kKeyboardDescriptor,
                   "HID_ID=0003:0000046D:0000C31C\nHID_NAME=USB Keyboard\nHID_UNIQ=\n");
    tree.addHidraw(1, {0x06, 0x00}, "HID_NAME=Broken\n");
    tree.addHidraw(2, kAccelDescriptor, kAccelUevent);
    tree.addIioAccelerometer(0, kScale);
    tree.addEvdevAccelerometer(4, 256);
    tree.addKeyboard(1); // not an accelerometer
    auto registry = registryFor(tree);

    const auto services = registry->matchingServices(kSensorDeviceClass);
    ASSERT_TRUE(services);
    ASSERT_EQ(services->size(), 5u);
    const auto dev = tree.devRoot().string();
    EXPECT_EQ((*services)[0].id, "hidraw:" + dev + "/hidraw0");
    EXPECT_EQ((*services)[0].properties.at("PrimaryUsagePage"), SensorPropertyValue{1});
    EXPECT_EQ((*services)[0].properties.count("SerialNumber"), 0u) << "empty HID_UNIQ";
    EXPECT_EQ((*services)[1].properties.count("PrimaryUsage"), 0u) << "garbage descriptor";
    EXPECT_EQ((*services)[3].id, "iio:" + dev + "/iio:device0");
    EXPECT_EQ((*services)[3].properties.at("Product"), SensorPropertyValue{"fake-accel"});
    EXPECT_EQ((*services)[3].properties.at("PrimaryUsagePage"), SensorPropertyValue{0xFF00});
    EXPECT_EQ((*services)[4].id, "evdev:" + (tree.inputRoot() / "event4").string());
    EXPECT_EQ((*services)[4].properties.at("VendorID"), SensorPropertyValue{1356});
    EXPECT_EQ((*services)[4].properties.at("PrimaryUsage"), SensorPropertyValue{3});

    EXPECT_EQ(_findAccelService(*registry)->id, "hidraw:" + dev + "/hidraw2");
    EXPECT_EQ(SPUSensor::deviceInfo(*registry),
              (SensorProperties{{"Product", std::string("Apple SPU Accelerometer")},
                                {"SerialNumber", std::string("SPU-0001")},
                                {"VendorID", std::int64_t{0x5AC}},
                                {"ProductID", std::int64_t{0x8104}}}));
    const auto drivers = registry->matchingServices(kSensorDriverClass);
    ASSERT_EQ(drivers->size(), 1u);
    EXPECT_EQ((*drivers)[0].id, (*services)[3].id);
}

TEST(LinuxSensor, HidrawReportsOfTwentyTwoBytesReachTheRingAndStopWakesTheThreadAtOnce) {
    FakeDeviceTree tree;
    tree.addHidraw(0, kAccelDescriptor, kAccelUevent);
    VirtualClock clock(987654321);
    ClockSource* previous = setClockSource(&clock);
    // With a 30-second slice only the wake-up lets stop return soon.
    auto sensor = SPUSensor::create(registryFor(tree), 30.0);
    ASSERT_TRUE(sensor->start());
    ASSERT_TRUE(waitFor([&] { return sensor->status() == SensorStatus::running; }));
    FifoWriter w(tree.devRoot() / "hidraw0");
    w.report(accelReport(65536, 65536, 65536, 21));
    w.report(accelReport(65536, -65536, 0));
    w.report(accelReport(65536, 65536, 65536, 23));
    clock.advance(1000000);
    w.report(accelReport(0, 0, 65536));
    ASSERT_TRUE(waitFor([&] { return sensor->totalSamples() >= 2; }));
    std::this_thread::sleep_for(20ms);
    const auto before = std::chrono::steady_clock::now();
    sensor->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    setClockSource(previous);
    EXPECT_EQ(sensor->status(), SensorStatus::stopped);
    EXPECT_EQ(sensor->totalSamples(), 2u) << "21- and 23-byte reports are skipped";
    TCAMotionSample samples[4];
    ASSERT_EQ(tca_ring_query_window(sensor->ringBuffer(), 987654321, 0, 2000000, samples, 4), 2u);
    EXPECT_EQ(samples[0].x, 1.0f);
    EXPECT_EQ(samples[0].y, -1.0f);
    EXPECT_EQ(samples[0].timestamp, 987654321u) << "stamped by the process clock";
    EXPECT_EQ(samples[1].magnitude, 1.0f);
    EXPECT_EQ(samples[1].timestamp, 987654321u + 1000000u);
}

TEST(LinuxSensor, StatusesForMissingBrokenAndRefusedDevices) {
    using Build = std::function<void(FakeDeviceTree&)>;
    // A folder where a file should be: reads and writes of it fail, even for root.
    auto folderAt = [](const std::filesystem::path& p) {
        std::filesystem::remove(p);
        std::filesystem::create_directory(p);
    };
    const std::tuple<const char*, Build, SensorStatus> cases[] = {
        {"no service", [](auto& t) { t.addHidraw(0, kKeyboardDescriptor, ""); },
         SensorStatus::unavailable},
        {"unreadable descriptor",
         [&](auto& t) {
             t.addHidraw(0, kAccelDescriptor, kAccelUevent);
             folderAt(t.sysRoot() / "class/hidraw/hidraw0/device/report_descriptor");
         },
         SensorStatus::unavailable},
        {"hidraw node missing",
         [](auto& t) { t.addHidraw(0, kAccelDescriptor, "", FakeNode::missing); },
         SensorStatus::error},
        {"IIO scale not a number", [](auto& t) { t.addIioAccelerometer(0, "1.0e-2x"); },
         SensorStatus::error},
        {"IIO scan type garbage",
         [](auto& t) {
             t.addIioAccelerometer(0, kScale, "100",
                                   {{"scan_elements/in_accel_y_type", "le:s16/16X3>>0"}});
         },
         SensorStatus::error},
        {"evdev accelerometer without resolution",
         [](auto& t) { t.addEvdevAccelerometer(0, 0); }, SensorStatus::error},
        {"hidraw node refused",
         [](auto& t) { t.addHidraw(0, kAccelDescriptor, "", FakeNode::unopenable); },
         SensorStatus::accessDenied},
        {"IIO buffer device refused",
         [](auto& t) { t.addIioAccelerometer(0, kScale, "100", {}, FakeNode::unopenable); },
         SensorStatus::accessDenied},
        {"IIO channels cannot be configured",
         [&](auto& t) {
             t.addIioAccelerometer(0, kScale);
             folderAt(t.iioDir(0) / "scan_elements/in_accel_x_en");
         },
         SensorStatus::accessDenied},
    };
    for (const auto& [what, build, expected] : cases) {
        FakeDeviceTree tree;
        build(tree);
        auto sensor = SPUSensor::create(registryFor(tree));
        StatusLog log(*sensor);
        EXPECT_TRUE(sensor->start());
        ASSERT_TRUE(waitFor([&] { return !log.seen().empty(); })) << what;
        EXPECT_EQ(log.seen(), std::vector<SensorStatus>{expected}) << what;
        EXPECT_EQ(sensor->status(), expected) << what;
        sensor->stop();
    }
}

TEST(LinuxSensor, AThousandIioScansASecondWhileReadersQueryTheRing) {
    FakeDeviceTree tree;
    tree.addIioAccelerometer(0, kScale);
    auto sensor = SPUSensor::create(registryFor(tree));
    StatusLog log(*sensor);
    ASSERT_TRUE(sensor->start());
    ASSERT_TRUE(waitFor([&] { return sensor->status() == SensorStatus::running; }));
    const auto dir = tree.iioDir(0);
    EXPECT_EQ(attribute(dir / "sampling_frequency"), "800");
    EXPECT_EQ(attribute(dir / "buffer/enable"), "1");
    EXPECT_EQ(attribute(dir / "scan_elements/in_accel_z_en"), "1");
    EXPECT_EQ(attribute(dir / "scan_elements/in_timestamp_en"), "0");
    EXPECT_EQ(attribute(dir / "trigger/current_trigger"), "fake-accel-dev0");

    constexpr int kScans = 1000;
    std::atomic<bool> writing{true};
    std::atomic<int> tornReads{0};
    // Kept open until the sensor stops: a closed writer reads as a vanished device.
    FifoWriter w(tree.devRoot() / "iio:device0");
    std::thread writer([&] {
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; i < kScans; ++i) {
            const std::int16_t scan[3] = {static_cast<std::int16_t>(i % 2048 - 1024), -1024, 512};
            w.write(scan, sizeof scan);
            std::this_thread::sleep_until(next += 1ms);
        }
        w.waitDrained();
        writing = false;
    });
    auto reader = [&] {
        std::vector<TCAMotionSample> window(256);
        while (writing) {
            if (const auto s = sensor->latestSample()) {
                const float m = std::sqrt(s->x * s->x + s->y * s->y + s->z * s->z);
                tornReads += std::fabs(m - s->magnitude) > 1e-4f;
            }
            tca_ring_query_window(sensor->ringBuffer(), hostTicks(), 50000000, 0, window.data(),
                                  static_cast<std::uint32_t>(window.size()));
        }
    };
    std::thread r1(reader), r2(reader);
    writer.join();
    r1.join();
    r2.join();
    ASSERT_TRUE(waitFor([&] { return sensor->totalSamples() == kScans; }))
        << sensor->totalSamples() << " scans arrived";
    EXPECT_EQ(tornReads.load(), 0);
    const auto last = sensor->latestSample();
    ASSERT_TRUE(last);
    EXPECT_NEAR(last->x, ((kScans - 1) % 2048 - 1024) / 1024.0, 1e-4);
    EXPECT_NEAR(last->y, -1.0, 1e-4);
    EXPECT_NEAR(last->z, 0.5, 1e-4);
    sensor->stop();
    EXPECT_EQ(attribute(dir / "buffer/enable"), "0") << "the buffer is switched off on stop";
    EXPECT_EQ(log.seen(), (std::vector<SensorStatus>{SensorStatus::running, SensorStatus::stopped}));
}

TEST(LinuxSensor, EvdevFramesBecomeReportsInGAndADroppedFrameIsLost) {
    FakeDeviceTree tree;
    tree.addEvdevAccelerometer(0, 256);
    auto sensor = SPUSensor::create(registryFor(tree));
    sensor->start();
    ASSERT_TRUE(waitFor([&] { return sensor->status() == SensorStatus::running; }));
    FifoWriter w(tree.inputRoot() / "event0");
    const std::tuple<int, int, int> events[] = {
        {EV_ABS, ABS_X, 256},        {EV_ABS, ABS_Y, -128},     {EV_SYN, SYN_REPORT, 0},
        {EV_SYN, SYN_DROPPED, 0},    {EV_ABS, ABS_X, 999},      {EV_SYN, SYN_REPORT, 0},
        {EV_ABS, ABS_Z, 256},        {EV_SYN, SYN_REPORT, 0}};
    for (const auto& [type, code, value] : events) {
        w.event(std::uint16_t(type), std::uint16_t(code), value);
    }
    ASSERT_TRUE(waitFor([&] { return sensor->totalSamples() == 2; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(sensor->totalSamples(), 2u);
    const auto s = sensor->latestSample();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->x, 1.0f);
    EXPECT_EQ(s->y, -0.5f);
    EXPECT_EQ(s->z, 1.0f);
    sensor->stop();
}

TEST(LinuxSensor, AVanishingDeviceEndsReadingWithAnErrorAndNoSpinning) {
    // Each kind of source: one whole record, then the device goes away, for
    // iio and evdev in the middle of the next record.
    const input_event half{};
    const std::int16_t scan[3] = {0, 0, 1024};
    const std::tuple<const char*, std::function<std::filesystem::path(FakeDeviceTree&)>,
                     std::function<void(FifoWriter&)>>
        cases[] = {
            {"hidraw",
             [](auto& t) { return t.addHidraw(0, kAccelDescriptor, kAccelUevent); },
             [](auto& w) { w.report(accelReport(0, 0, 65536)); }},
            {"iio", [](auto& t) { return t.addIioAccelerometer(0, kScale); },
             [&](auto& w) {
                 w.write(scan, sizeof scan);
                 w.write(scan, 3);
             }},
            {"evdev", [](auto& t) { return t.addEvdevAccelerometer(0, 256); },
             [&](auto& w) {
                 w.event(EV_ABS, ABS_Z, 256);
                 w.event(EV_SYN, SYN_REPORT, 0);
                 w.write(&half, sizeof half / 2);
             }},
        };
    for (const auto& [name, add, feed] : cases) {
        SCOPED_TRACE(name);
        FakeDeviceTree tree;
        const auto node = add(tree);
        auto sensor = SPUSensor::create(registryFor(tree));
        StatusLog log(*sensor);
        sensor->start();
        ASSERT_TRUE(waitFor([&] { return sensor->status() == SensorStatus::running; }));
        {
            FifoWriter w(node);
            feed(w);
            w.waitDrained();
        } // the writer goes away: end of file for the reader
        ASSERT_TRUE(waitFor([&] { return log.seen().size() == 2; }));
        EXPECT_EQ(log.seen().back(), SensorStatus::error);
        const double cpuBefore = processCpuSeconds();
        std::this_thread::sleep_for(300ms);
        EXPECT_LT(processCpuSeconds() - cpuBefore, 0.1) << "the sensor thread spins";
        EXPECT_EQ(sensor->totalSamples(), 1u) << "only the whole record counts";
        sensor->stop();
        EXPECT_EQ(sensor->status(), SensorStatus::error);
        EXPECT_EQ(log.seen().size(), 2u) << "stop after an error reports nothing more";
    }
}
