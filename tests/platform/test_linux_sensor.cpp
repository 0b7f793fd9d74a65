// The accelerometer reader on Linux against fake sysfs and /dev trees:
// hidraw reports, IIO buffer scans and evdev frames written into FIFOs and
// read by the real sources, through the real sensor thread into the ring.
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
    void add(SensorStatus s) {
        std::lock_guard lock(m);
        statuses.push_back(s);
    }
    std::vector<SensorStatus> seen() {
        std::lock_guard lock(m);
        return statuses;
    }
    void attach(SPUSensor& sensor) {
        sensor.setOnStatusChange([this](SensorStatus s) { add(s); });
    }
};

std::string attribute(const std::filesystem::path& path) {
    auto text = readFile(path);
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

} // namespace

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

TEST(LinuxSensor, HidrawReportsOfTwentyTwoBytesReachTheRingStampedByTheProcessClock) {
    FakeDeviceTree tree;
    tree.addHidraw(0, kAccelDescriptor, kAccelUevent);
    VirtualClock clock(987654321);
    ClockSource* previous = setClockSource(&clock);
    auto sensor = SPUSensor::create(registryFor(tree));
    ASSERT_TRUE(sensor->start());
    ASSERT_TRUE(waitFor([&] { return sensor->status() == SensorStatus::running; }));
    {
        FifoWriter w(tree.devRoot() / "hidraw0");
        w.report(accelReport(65536, 65536, 65536, 21));
        w.report(accelReport(65536, -65536, 0));
        w.report(accelReport(65536, 65536, 65536, 23));
        clock.advance(1000000);
        w.report(accelReport(0, 0, 65536));
        ASSERT_TRUE(waitFor([&] { return sensor->totalSamples() >= 2; }));
        std::this_thread::sleep_for(20ms);
        sensor->stop();
    }
    setClockSource(previous);
    EXPECT_EQ(sensor->totalSamples(), 2u) << "21- and 23-byte reports are skipped";
    TCAMotionSample samples[4];
    ASSERT_EQ(tca_ring_query_window(sensor->ringBuffer(), 987654321, 0, 2000000, samples, 4), 2u);
    EXPECT_EQ(samples[0].x, 1.0f);
    EXPECT_EQ(samples[0].y, -1.0f);
    EXPECT_EQ(samples[0].z, 0.0f);
    EXPECT_EQ(samples[0].timestamp, 987654321u);
    EXPECT_EQ(samples[1].z, 1.0f);
    EXPECT_EQ(samples[1].magnitude, 1.0f);
    EXPECT_EQ(samples[1].timestamp, 987654321u + 1000000u);
    EXPECT_EQ(sensor->status(), SensorStatus::stopped);
}

TEST(LinuxSensor, StatusesForMissingBrokenAndRefusedDevices) {
    struct Case {
        const char* what;
        std::function<void(FakeDeviceTree&)> build;
        SensorStatus expected;
    };
    const Case cases[] = {
        {"no service", [](FakeDeviceTree& t) { t.addHidraw(0, kKeyboardDescriptor, ""); },
         SensorStatus::unavailable},
        {"unreadable descriptor",
         [](FakeDeviceTree& t) {
             t.addHidraw(0, kAccelDescriptor, kAccelUevent);
             const auto d = t.sysRoot() / "class/hidraw/hidraw0/device/report_descriptor";
             std::filesystem::remove(d);
             std::filesystem::create_directory(d); // read() fails on a folder, even for root
         },
         SensorStatus::unavailable},
        {"hidraw node missing",
         [](FakeDeviceTree& t) { t.addHidraw(0, kAccelDescriptor, "", FakeNode::missing); },
         SensorStatus::error},
        {"IIO scale not a number", [](FakeDeviceTree& t) { t.addIioAccelerometer(0, "1.0e-2x"); },
         SensorStatus::error},
        {"IIO scan type garbage",
         [](FakeDeviceTree& t) {
             t.addIioAccelerometer(0, kScale, "100",
                                   {{"scan_elements/in_accel_y_type", "le:s16/16X3>>0"}});
         },
         SensorStatus::error},
        {"evdev accelerometer without resolution",
         [](FakeDeviceTree& t) { t.addEvdevAccelerometer(0, 0); }, SensorStatus::error},
        {"hidraw node refused",
         [](FakeDeviceTree& t) { t.addHidraw(0, kAccelDescriptor, "", FakeNode::unopenable); },
         SensorStatus::accessDenied},
        {"IIO buffer device refused",
         [](FakeDeviceTree& t) {
             t.addIioAccelerometer(0, kScale, "100", {}, FakeNode::unopenable);
         },
         SensorStatus::accessDenied},
        {"IIO channels cannot be configured",
         [](FakeDeviceTree& t) {
             t.addIioAccelerometer(0, kScale);
             // A folder where the enable attribute should be: the write fails.
             const auto en = t.iioDir(0) / "scan_elements/in_accel_x_en";
             std::filesystem::remove(en);
             std::filesystem::create_directory(en);
         },
         SensorStatus::accessDenied},
    };
    for (const auto& c : cases) {
        FakeDeviceTree tree;
        c.build(tree);
        auto sensor = SPUSensor::create(registryFor(tree));
        StatusLog log;
        log.attach(*sensor);
        EXPECT_TRUE(sensor->start());
        ASSERT_TRUE(waitFor([&] { return !log.seen().empty(); })) << c.what;
        EXPECT_EQ(log.seen(), std::vector<SensorStatus>{c.expected}) << c.what;
        EXPECT_EQ(sensor->status(), c.expected) << c.what;
        sensor->stop();
    }
}

TEST(LinuxSensor, AThousandIioScansASecondWhileReadersQueryTheRing) {
    FakeDeviceTree tree;
    tree.addIioAccelerometer(0, kScale);
    auto sensor = SPUSensor::create(registryFor(tree));
    StatusLog log;
    log.attach(*sensor);
    ASSERT_TRUE(sensor->start());
    ASSERT_TRUE(waitFor([&] { return sensor->status() == SensorStatus::running; }));

    const auto dir = tree.iioDir(0);
    EXPECT_EQ(attribute(dir / "sampling_frequency"), "800");
    EXPECT_EQ(attribute(dir / "buffer/enable"), "1");
    EXPECT_EQ(attribute(dir / "scan_elements/in_accel_x_en"), "1");
    EXPECT_EQ(attribute(dir / "scan_elements/in_accel_z_en"), "1");
    EXPECT_EQ(attribute(dir / "scan_elements/in_timestamp_en"), "0");
    EXPECT_EQ(attribute(dir / "trigger/current_trigger"), "fake-accel-dev0");

    constexpr int kScans = 1000;
    std::atomic<bool> writing{true};
    std::atomic<int> tornReads{0};
    // Kept open until the sensor stops: a closed writer reads as a vanished device.
    FifoWriter w(tree.devRoot() / "iio:device0");
    ASSERT_TRUE(w.isOpen());
    std::thread writer([&] {
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; i < kScans; ++i) {
            const std::int16_t scan[3] = {static_cast<std::int16_t>(i % 2048 - 1024), -1024, 512};
            w.write(scan, sizeof scan);
            next += 1ms;
            std::this_thread::sleep_until(next);
        }
        w.waitDrained();
        writing = false;
    });
    auto reader = [&] {
        std::vector<TCAMotionSample> window(256);
        std::uint64_t lastTotal = 0;
        while (writing) {
            const auto total = sensor->totalSamples();
            EXPECT_GE(total, lastTotal);
            lastTotal = total;
            if (const auto s = sensor->latestSample()) {
                const float m = std::sqrt(s->x * s->x + s->y * s->y + s->z * s->z);
                if (std::fabs(m - s->magnitude) > 1e-4f) {
                    ++tornReads;
                }
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
    EXPECT_EQ(log.seen(),
              (std::vector<SensorStatus>{SensorStatus::running, SensorStatus::stopped}));
}

TEST(LinuxSensor, AVanishingDeviceEndsReadingWithAnErrorAndNoSpinning) {
    // Each kind of source: one whole record, then the device goes away, for
    // iio and evdev in the middle of the next record.
    struct Case {
        const char* name;
        std::function<std::filesystem::path(FakeDeviceTree&)> add;
        std::function<void(FifoWriter&)> feed;
    };
    const std::vector<Case> cases = {
        {"hidraw",
         [](FakeDeviceTree& t) {
             t.addHidraw(0, kAccelDescriptor, kAccelUevent);
             return t.devRoot() / "hidraw0";
         },
         [](FifoWriter& w) { w.report(accelReport(0, 0, 65536)); }},
        {"iio",
         [](FakeDeviceTree& t) {
             t.addIioAccelerometer(0, kScale);
             return t.devRoot() / "iio:device0";
         },
         [](FifoWriter& w) {
             const std::int16_t scan[3] = {0, 0, 1024};
             w.write(scan, sizeof scan);
             w.write(scan, 3); // half a scan
             w.waitDrained();
         }},
        {"evdev",
         [](FakeDeviceTree& t) {
             t.addEvdevAccelerometer(0, 256);
             return t.inputRoot() / "event0";
         },
         [](FifoWriter& w) {
             w.event(EV_ABS, ABS_Z, 256);
             w.event(EV_SYN, SYN_REPORT, 0);
             input_event half{};
             half.type = EV_ABS;
             w.write(&half, sizeof half / 2);
             w.waitDrained();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDeviceTree tree;
        const auto node = c.add(tree);
        auto sensor = SPUSensor::create(registryFor(tree));
        StatusLog log;
        log.attach(*sensor);
        sensor->start();
        ASSERT_TRUE(waitFor([&] { return sensor->status() == SensorStatus::running; }));
        {
            FifoWriter w(node);
            ASSERT_TRUE(w.isOpen());
            c.feed(w);
        } // the writer goes away: end of file for the reader
        ASSERT_TRUE(waitFor([&] { return log.seen().size() == 2; }));
        EXPECT_EQ(log.seen().back(), SensorStatus::error);
        const double cpuBefore = processCpuSeconds();
        std::this_thread::sleep_for(300ms);
        EXPECT_LT(processCpuSeconds() - cpuBefore, 0.1) << "the sensor thread spins";
        EXPECT_EQ(sensor->totalSamples(), 1u) << "only the whole record counts";
        const auto before = std::chrono::steady_clock::now();
        sensor->stop();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
        EXPECT_EQ(sensor->status(), SensorStatus::error);
        EXPECT_EQ(log.seen().size(), 2u) << "stop after an error reports nothing more";
    }
}

TEST(LinuxSensor, StopWakesTheSensorThreadAtOnce) {
    FakeDeviceTree tree;
    tree.addHidraw(0, kAccelDescriptor, kAccelUevent);
    for (const double slice : {30.0, TCASPUSensor::kSliceSeconds}) {
        auto sensor = SPUSensor::create(registryFor(tree), slice);
        sensor->start();
        ASSERT_TRUE(waitFor([&] { return sensor->status() == SensorStatus::running; }));
        const auto before = std::chrono::steady_clock::now();
        sensor->stop();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << "slice " << slice;
        EXPECT_EQ(sensor->status(), SensorStatus::stopped);
    }
}

TEST(LinuxSensor, EvdevAccelerometerFramesBecomeReportsInG) {
    FakeDeviceTree tree;
    tree.addEvdevAccelerometer(0, 256);
    auto sensor = SPUSensor::create(registryFor(tree));
    sensor->start();
    ASSERT_TRUE(waitFor([&] { return sensor->status() == SensorStatus::running; }));
    FifoWriter w(tree.inputRoot() / "event0");
    w.event(EV_ABS, ABS_X, 256);
    w.event(EV_ABS, ABS_Y, -128);
    w.event(EV_SYN, SYN_REPORT, 0);
    w.event(EV_SYN, SYN_DROPPED, 0);
    w.event(EV_ABS, ABS_X, 999); // lost with the dropped frame
    w.event(EV_SYN, SYN_REPORT, 0);
    w.event(EV_ABS, ABS_Z, 256);
    w.event(EV_SYN, SYN_REPORT, 0);
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
