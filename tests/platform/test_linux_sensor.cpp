// The accelerometer reader on Linux: the formats its sources parse, and the hidraw,
// IIO and evdev sources reading a fake device tree's FIFOs into the ring.
#include <gtest/gtest.h>

#include <linux/input.h>

#include <time.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <thread>

#include "engine/ports/clock.h"
#include "engine/sensing/accel_report.h"
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

// One scan of the fake IIO buffer: x, y, z, padding, then the timestamp
// channel in nanoseconds of the real-time clock (the kernel's default).
struct IioScan {
    std::int16_t axes[3];
    std::int16_t pad = 0;
    std::int64_t ns;
};
static_assert(sizeof(IioScan) == 16);

std::int64_t realtimeNs() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::vector<TCAMotionSample> ringSamples(const SPUSensor& sensor) {
    std::vector<TCAMotionSample> samples(kTCARingCapacity);
    samples.resize(
        tca_ring_query_window(sensor.ringBuffer(), 0, 0, ~0ull, samples.data(), kTCARingCapacity));
    return samples;
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

TEST(LinuxSensor, IioScansReachTheRingWithTheirOwnTimesInBatchesAndStopWakesTheThreadAtOnce) {
    FakeDeviceTree tree;
    tree.addIioAccelerometer(0, kScale);
    const auto dir = tree.iioDir(0);
    // Another reader's set-up, put back when the stream ends.
    const std::pair<const char*, const char*> found[] = {{"buffer/watermark", "1"},
                                                         {"buffer/length", "2"},
                                                         {"scan_elements/in_timestamp_en", "0"}};
    for (const auto& [file, value] : found) {
        writeFile(dir / file, value);
    }
    auto sensor = sensorFor(tree, 30.0); // only the wake-up lets stop return soon
    StatusLog log(*sensor);
    ASSERT_TRUE(sensor->start());
    ASSERT_TRUE(running(*sensor));
    const std::pair<const char*, const char*> attributes[] = {
        {"sampling_frequency", "800"},
        {"buffer/enable", "1"},
        {"scan_elements/in_accel_z_en", "1"},
        {"scan_elements/in_timestamp_en", "1"},
        {"buffer/watermark", "13"}, // 16 ms of scans at 800 Hz
        {"trigger/current_trigger", "fake-accel-dev0"}};
    for (const auto& [file, value] : attributes) {
        EXPECT_EQ(attribute(dir / file), value) << file;
    }
    constexpr int kScans = 1000;
    // Kept open until the sensor stops: a closed writer reads as a vanished device.
    FifoWriter w(tree.devRoot() / "iio:device0");
    // Scans 0.2 ms apart by the device's clock, all taken after the buffer
    // was switched on, the last one stamped now; one more stamped a second
    // ahead of the clock.
    std::this_thread::sleep_for(250ms);
    const std::int64_t deviceNow = realtimeNs();
    const std::uint64_t ticksNow = hostTicks();
    for (int i = 0; i < kScans; ++i) {
        const IioScan scan{{static_cast<std::int16_t>(i % 2048 - 1024), -1024, 512},
                           0,
                           deviceNow - (kScans - 2 - i) * 200'000 +
                               (i == kScans - 1) * 1'000'000'000};
        w.write(&scan, sizeof scan);
    }
    ASSERT_TRUE(waitFor([&] { return sensor->totalSamples() == kScans; }))
        << sensor->totalSamples() << " scans arrived";
    const auto last = sensor->latestSample();
    ASSERT_TRUE(last);
    EXPECT_NEAR(last->x, ((kScans - 1) % 2048 - 1024) / 1024.0, 1e-4);
    EXPECT_NEAR(last->y, -1.0, 1e-4);
    EXPECT_NEAR(last->z, 0.5, 1e-4);
    // Each report keeps its own time, moved onto the tick clock: 0.2 ms
    // apart, the last before it was read; the one from the future is read as now.
    const auto samples = ringSamples(*sensor);
    ASSERT_EQ(samples.size(), std::size_t(kScans));
    for (int i = 1; i + 1 < kScans; ++i) {
        EXPECT_NEAR(double(samples[i].timestamp - samples[i - 1].timestamp), 2e5, 5e4) << i;
    }
    EXPECT_NEAR(double(samples[kScans - 2].timestamp), double(ticksNow), 5e6);
    EXPECT_GE(samples.back().timestamp, samples[kScans - 2].timestamp);
    EXPECT_LE(samples.back().timestamp, hostTicks());
    const auto before = std::chrono::steady_clock::now();
    sensor->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_EQ(attribute(dir / "buffer/enable"), "0") << "the buffer is switched off on stop";
    for (const auto& [file, value] : found) {
        EXPECT_EQ(attribute(dir / file), value) << file << " put back on stop";
    }
    EXPECT_EQ(log.seen(),
              (std::vector<SensorStatus>{SensorStatus::running, SensorStatus::stopped}));
}

TEST(LinuxSensor, EachSourceReadsWholeRecordsAndAVanishingDeviceEndsWithAnErrorAndNoSpinning) {
    // Whole records, then the device goes away (iio and evdev in the middle
    // of the next record). Evdev frames scale by the axis resolution and a
    // frame cut by SYN_DROPPED is lost.
    const input_event half{};
    const IioScan scans[2] = {{{0, 0, 1024}, 0, realtimeNs()}, {{0, 0, 1024}, 0, realtimeNs()}};
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
                w.write(scans, sizeof scans[0] + 9);
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

namespace {

// Reports of a stream driven on the test thread: x in g and the stamp.
struct StreamReads {
    std::vector<std::pair<float, std::uint64_t>> got;
    static void add(void* context, const std::uint8_t* report, std::size_t length,
                    std::uint64_t timestamp) noexcept {
        AccelAxes axes;
        if (decodeAccelReport(report, length, &axes)) {
            static_cast<StreamReads*>(context)->got.emplace_back(axes.x, timestamp);
        }
    }
};

} // namespace

// A FIFO keeps no report boundaries, so the fake hidraw node holds one
// report at a time: the batches of many are read from the evdev node (the
// stamping is the same for both), the hurry from both.
TEST(LinuxSensor, EvdevReadsInBatchesStampedBackAtItsRateAndAHurryReadsAtOnce) {
    for (const std::string kind : {"hidraw", "evdev"}) {
        SCOPED_TRACE(kind);
        FakeDeviceTree tree;
        const auto node = kind == "hidraw" ? tree.addHidraw(0, kAccelDescriptor, kAccelUevent)
                                           : tree.addEvdevAccelerometer(0, 256);
        LinuxSensorRegistry registry(LinuxSensorRoots{tree.sysRoot(), tree.devRoot(),
                                                      tree.inputRoot(), makeSidecarEvdevProbe()});
        const auto services = registry.matchingServices(kSensorDeviceClass);
        ASSERT_EQ(services->size(), 1u);
        auto device = registry.createDevice(services->front());
        auto stream = device->open();
        ASSERT_TRUE(stream);
        FifoWriter w(node);
        auto send = [&](int i) {
            if (kind == "hidraw") {
                const auto report = accelReport(i * 65536 / 1000, 0, 65536);
                w.write(report.data(), report.size());
            } else {
                w.event(EV_ABS, ABS_X, i * 256 / 1000);
                w.event(EV_SYN, SYN_REPORT, 0);
            }
        };
        StreamReads reads;
        auto slice = [&](double seconds) {
            const std::size_t before = reads.got.size();
            EXPECT_TRUE(stream->runSlice(seconds, &StreamReads::add, &reads));
            return reads.got.size() - before;
        };

        // 300 reports 1 ms apart: far fewer reads than reports, every stamp
        // in order and not after its read, spaced at the measured rate.
        constexpr int kReports = 300;
        if (kind == "evdev") {
            std::thread writer([&] {
                auto at = std::chrono::steady_clock::now();
                for (int i = 0; i < kReports; ++i) {
                    send(i);
                    std::this_thread::sleep_until(at += 1ms);
                }
            });
            int readsWithReports = 0;
            while (reads.got.size() < std::size_t(kReports) && readsWithReports < kReports) {
                const std::uint64_t before = hostTicks();
                if (slice(0.25) > 0) {
                    ++readsWithReports;
                    EXPECT_LE(reads.got.back().second, hostTicks());
                    EXPECT_GE(reads.got.back().second, before - 50 * 1'000'000ull);
                }
            }
            writer.join();
            ASSERT_EQ(reads.got.size(), std::size_t(kReports));
            EXPECT_LT(readsWithReports, kReports / 4) << "reports read one by one";
            std::vector<double> gaps;
            for (int i = 1; i < kReports; ++i) {
                ASSERT_GE(reads.got[i].second, reads.got[i - 1].second) << i;
                EXPECT_NEAR(reads.got[i].first, i / 1000.0f, 1 / 256.0f) << i; // evdev's resolution
                gaps.push_back(double(reads.got[i].second - reads.got[i - 1].second));
            }
            std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
            EXPECT_NEAR(gaps[gaps.size() / 2], 1e6, 4e5) << "median spacing";
        }

        // Reports flowing, one queued: a hurry reads it at once, then the
        // stream waits for each report rather than a batch, until the hold
        // ends and a report written 60 ms later misses a 16 ms batch again.
        auto later = [&](std::chrono::milliseconds delay) {
            return std::thread([&, delay] {
                std::this_thread::sleep_for(delay);
                send(1);
            });
        };
        send(1);
        EXPECT_EQ(slice(0.25), 1u);
        send(1);
        stream->hurry(0.3);
        EXPECT_EQ(slice(0.25), 1u) << "the hurry reads what is queued";
        auto t = later(60ms);
        // A slice may also return when the hurry's wake-up is taken late.
        std::size_t hurried = slice(0.25);
        hurried += hurried == 0 ? slice(0.25) : 0;
        EXPECT_EQ(hurried, 1u) << "hurried: the slice waits for the report";
        t.join();
        std::this_thread::sleep_for(300ms);
        send(1);
        EXPECT_EQ(slice(0.25), 1u);
        t = later(60ms);
        EXPECT_EQ(slice(0.25), 0u) << "batched again: the slice sleeps one batch";
        t.join();
        EXPECT_EQ(slice(0.25), 1u);
    }
}

TEST(SensorFormats, ReportsReadTogetherAreStampedInOrderWithinTheirRead) {
    // now, after, interval (0: unknown), count: a batch that fits its
    // interval, one that does not, an unknown rate, fewer ticks than reports.
    const std::tuple<std::uint64_t, std::uint64_t, double, std::size_t> cases[] = {
        {100'000'000, 50'000'000, 1e6, 16},
        {100'000'000, 95'000'000, 1e6, 16},
        {100'000'000, 50'000'000, 0, 8},
        {100'000'000, 99'999'998, 1e6, 5}};
    for (const auto& [now, after, interval, count] : cases) {
        std::vector<std::uint64_t> stamps(count);
        restampBatch(now, after, interval, count, stamps.data());
        EXPECT_EQ(stamps.back(), now) << after << " " << interval;
        EXPECT_TRUE(std::is_sorted(stamps.begin(), stamps.end())) << after << " " << interval;
        EXPECT_GT(stamps.front(), after) << after << " " << interval;
    }
}
