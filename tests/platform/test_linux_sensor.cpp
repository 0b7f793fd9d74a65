// The accelerometer reader on Linux: the formats its sources parse, and the hidraw,
// IIO and evdev sources reading a fake device tree's FIFOs into the ring.
#include <gtest/gtest.h>

#include <linux/input.h>

#include <functional>
#include <mutex>
#include <thread>

#include "engine/ports/clock.h"
#include "engine/sensing/spu_sensor.h"
#include "platform/linux/sensors/hid_report_descriptor.h"
#include "platform/linux/sensors/linux_sensor_registry.h"
#include "platform/linux/sensors/sensor_sources.h"
#include "tests/support/fake_device_tree.h"

using namespace clavio;
using namespace clavio::platform;
using namespace clavio::testing;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes kAccelDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x03, 0xA1, 0x01,
                                0x75, 0x08, 0x95, 0x16, 0x81, 0x02, 0xC0};
const Bytes kKeyboardDescriptor = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0xC0};
const std::string kAccelUevent = "DRIVER=spu\nHID_ID=0018:000005AC:00008104\n"
                                 "HID_NAME=Apple SPU Accelerometer\nHID_UNIQ=SPU-0001\n";
const std::string kScale = "0.009576806640625"; // 1024 raw units per g

std::shared_ptr<SPUSensor> sensorFor(const FakeDeviceTree& tree,
                                     double slice = TCASPUSensor::kSliceSeconds) {
    return SPUSensor::create(
        std::make_shared<LinuxSensorRegistry>(LinuxSensorRoots{
            tree.sysRoot(), tree.devRoot(), tree.inputRoot(), makeSidecarEvdevProbe()}),
        slice);
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

std::string attribute(const std::filesystem::path& path) {
    const auto text = readFile(path);
    return text.substr(0, text.find('\n'));
}

bool running(SPUSensor& s) {
    return waitFor([&] { return s.status() == SensorStatus::running; });
}

} // namespace

TEST(SensorFormats, HidPrimaryUsageIioScanTypesAndSamplingFrequency) {
    const std::pair<Bytes, std::optional<HidUsage>> descriptors[] = {
        {kAccelDescriptor, HidUsage{0xFF00, 3}},
        // Usages inside the first top-level collection do not count.
        {{0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0xC0, 0x06, 0x00, 0xFF, 0x09,
          0x03, 0xA1, 0x01, 0xC0},
         HidUsage{1, 6}},
        // A four-byte usage carries its page; a long item is skipped whole.
        {{0xFE, 0x02, 0x10, 0xA1, 0x01, 0x0B, 0x02, 0x00, 0x01, 0x00, 0xA1, 0x01}, HidUsage{1, 2}},
        // Push and pop restore the usage page.
        {{0x05, 0x01, 0xA4, 0x06, 0x00, 0xFF, 0xB4, 0x09, 0x02, 0xA1, 0x01}, HidUsage{1, 2}},
        {{}, std::nullopt},
        {{0x06, 0x00}, std::nullopt},                   // truncated item
        {{0x06, 0x00, 0xFF, 0x09, 0x03}, std::nullopt}, // no collection
        {{0xFE, 0x20, 0x10, 0x00}, std::nullopt},       // long item past the end
        {{0xA1, 0x01, 0x09, 0x03, 0xC0}, std::nullopt}, // collection without usage
    };
    for (const auto& [d, usage] : descriptors) {
        EXPECT_EQ(parsePrimaryUsage(d.data(), d.size()), usage) << ::testing::PrintToString(d);
    }
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
    const std::pair<const char*, std::optional<double>> frequencies[] = {
        {"12.5 25 50 100 200 400 800 1600", 800.0},
        {"1600 3200", 1600.0}, // none below: lowest
        {"[0 0.000001 5000]", 1000.0},
        {"abc 200 x", 200.0},
        {"[1 2]", {}},
        {"", {}}};
    for (const auto& [list, chosen] : frequencies) {
        EXPECT_EQ(chooseSamplingFrequency(list, 1000), chosen) << list;
    }
}

TEST(LinuxSensor, StatusesForMissingBrokenAndRefusedDevices) {
    using S = SensorStatus;
    const std::tuple<const char*, std::function<void(FakeDeviceTree&)>, S> cases[] = {
        {"no service", [](auto& t) { t.addHidraw(0, kKeyboardDescriptor, ""); }, S::unavailable},
        {"hidraw node missing",
         [](auto& t) { t.addHidraw(0, kAccelDescriptor, "", FakeNode::missing); }, S::error},
        {"IIO scale not a number", [](auto& t) { t.addIioAccelerometer(0, "1.0e-2x"); }, S::error},
        {"evdev without resolution", [](auto& t) { t.addEvdevAccelerometer(0, 0); }, S::error},
        {"hidraw node refused",
         [](auto& t) { t.addHidraw(0, kAccelDescriptor, "", FakeNode::unopenable); },
         S::accessDenied},
        {"IIO buffer device refused",
         [](auto& t) { t.addIioAccelerometer(0, kScale, "100", FakeNode::unopenable); },
         S::accessDenied},
    };
    for (const auto& [what, build, expected] : cases) {
        FakeDeviceTree tree;
        build(tree);
        auto sensor = sensorFor(tree);
        StatusLog log(*sensor);
        EXPECT_TRUE(sensor->start());
        ASSERT_TRUE(waitFor([&] { return !log.seen().empty(); })) << what;
        EXPECT_EQ(log.seen(), std::vector<S>{expected}) << what;
        EXPECT_EQ(sensor->status(), expected) << what;
        sensor->stop();
    }
}

TEST(LinuxSensor, IioScansReachTheRingTheBufferIsConfiguredAndStopWakesTheThreadAtOnce) {
    FakeDeviceTree tree;
    tree.addIioAccelerometer(0, kScale);
    auto sensor = sensorFor(tree, 30.0); // only the wake-up lets stop return soon
    StatusLog log(*sensor);
    ASSERT_TRUE(sensor->start());
    ASSERT_TRUE(running(*sensor));
    const auto dir = tree.iioDir(0);
    const std::pair<const char*, const char*> attributes[] = {
        {"sampling_frequency", "800"},
        {"buffer/enable", "1"},
        {"scan_elements/in_accel_z_en", "1"},
        {"scan_elements/in_timestamp_en", "0"},
        {"trigger/current_trigger", "fake-accel-dev0"}};
    for (const auto& [file, value] : attributes) {
        EXPECT_EQ(attribute(dir / file), value) << file;
    }
    constexpr int kScans = 1000;
    // Kept open until the sensor stops: a closed writer reads as a vanished device.
    FifoWriter w(tree.devRoot() / "iio:device0");
    for (int i = 0; i < kScans; ++i) {
        const std::int16_t scan[3] = {static_cast<std::int16_t>(i % 2048 - 1024), -1024, 512};
        w.write(scan, sizeof scan);
    }
    ASSERT_TRUE(waitFor([&] { return sensor->totalSamples() == kScans; }))
        << sensor->totalSamples() << " scans arrived";
    const auto last = sensor->latestSample();
    ASSERT_TRUE(last);
    EXPECT_NEAR(last->x, ((kScans - 1) % 2048 - 1024) / 1024.0, 1e-4);
    EXPECT_NEAR(last->y, -1.0, 1e-4);
    EXPECT_NEAR(last->z, 0.5, 1e-4);
    const auto before = std::chrono::steady_clock::now();
    sensor->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_EQ(attribute(dir / "buffer/enable"), "0") << "the buffer is switched off on stop";
    EXPECT_EQ(log.seen(),
              (std::vector<SensorStatus>{SensorStatus::running, SensorStatus::stopped}));
}

TEST(LinuxSensor, EachSourceReadsWholeRecordsAndAVanishingDeviceEndsWithAnErrorAndNoSpinning) {
    // Whole records, then the device goes away (iio and evdev in the middle
    // of the next record). Evdev frames scale by the axis resolution and a
    // frame cut by SYN_DROPPED is lost.
    const input_event half{};
    const std::int16_t scans[6] = {0, 0, 1024, 0, 0, 1024};
    const std::tuple<int, int, int> frames[] = {{EV_ABS, ABS_X, 256},    {EV_ABS, ABS_Y, -128},
                                                {EV_SYN, SYN_REPORT, 0}, {EV_SYN, SYN_DROPPED, 0},
                                                {EV_ABS, ABS_X, 999},    {EV_SYN, SYN_REPORT, 0},
                                                {EV_ABS, ABS_Z, 256},    {EV_SYN, SYN_REPORT, 0}};
    // Source, whole records it reads, the last of them.
    const std::tuple<std::string, std::uint64_t, std::tuple<float, float, float>> cases[] = {
        {"hidraw", 1, {0.0f, 0.0f, 1.0f}},
        {"iio", 1, {0.0f, 0.0f, 1.0f}},
        {"evdev", 2, {1.0f, -0.5f, 1.0f}}};
    for (const auto& [kind, samples, last] : cases) {
        SCOPED_TRACE(kind);
        FakeDeviceTree tree;
        const auto node = kind == "hidraw" ? tree.addHidraw(0, kAccelDescriptor, kAccelUevent)
                          : kind == "iio"  ? tree.addIioAccelerometer(0, kScale)
                                           : tree.addEvdevAccelerometer(0, 256);
        auto sensor = sensorFor(tree);
        StatusLog log(*sensor);
        sensor->start();
        ASSERT_TRUE(running(*sensor));
        {
            FifoWriter w(node);
            if (kind == "hidraw") {
                w.report(accelReport(0, 0, 65536));
            } else if (kind == "iio") {
                w.write(scans, 9);
            } else {
                for (const auto& [type, code, value] : frames) {
                    w.event(std::uint16_t(type), std::uint16_t(code), value);
                }
                w.write(&half, sizeof half / 2);
            }
            w.waitDrained();
        } // the writer goes away: end of file for the reader
        ASSERT_TRUE(waitFor([&] { return log.seen().size() == 2; }));
        EXPECT_EQ(log.seen().back(), SensorStatus::error);
        const double cpuBefore = processCpuSeconds();
        std::this_thread::sleep_for(300ms);
        EXPECT_LT(processCpuSeconds() - cpuBefore, 0.1) << "the sensor thread spins";
        EXPECT_EQ(sensor->totalSamples(), samples) << "only whole records count";
        const auto s = sensor->latestSample();
        ASSERT_TRUE(s);
        EXPECT_EQ(std::tie(s->x, s->y, s->z), last);
        sensor->stop();
        EXPECT_EQ(sensor->status(), SensorStatus::error);
        EXPECT_EQ(log.seen().size(), 2u) << "stop after an error reports nothing more";
    }
}
