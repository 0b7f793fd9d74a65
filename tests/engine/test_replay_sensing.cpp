// Replay of a trace through the sensing ports: ReplayKeySource and
// ReplaySensorRegistry driving the real capture and sensor threads, and
// virtual-time delivery through the same entry points.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <sstream>
#include <thread>

#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/ports/clock.h"
#include "engine/replay/replay_delivery.h"
#include "engine/replay/offline_replay_ports.h"
#include "engine/replay/replay_key_source.h"
#include "engine/replay/replay_sensor_registry.h"
#include "engine/sensing/spu_sensor.h"
#include "tests/support/fake_device_tree.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::waitFor;

namespace {

constexpr std::uint64_t kMs = 1'000'000;
constexpr std::uint64_t kBase = 5'000'000'000; // trace time of the first record
constexpr int kReports = 51;                   // one every 2 ms from kBase

std::vector<std::uint8_t> report(std::int32_t x) {
    return clavio::testing::accelReport(x, 0, 65536);
}

// Shift pressed, a shifted key with one autorepeat, shift released, and a
// report every 2 ms whose x is its index / 100 g; then, last, one report of
// the wrong length, which the decoder skips.
std::string sessionText() {
    std::vector<TraceRecord> records;
    for (int k = 0; k < kReports; ++k) {
        const auto bytes = report(k * 65536 / 100);
        records.push_back(TraceRecord::makeAccel(kBase + k * 2 * kMs, bytes.data(), bytes.size()));
    }
    records.push_back(
        TraceRecord::makeKey(kBase + 10 * kMs, {TraceKeyKind::flags, 56, kFlagShift}));
    records.push_back(TraceRecord::makeKey(kBase + 20 * kMs, {TraceKeyKind::down, 0, kFlagShift}));
    records.push_back(
        TraceRecord::makeKey(kBase + 40 * kMs, {TraceKeyKind::down, 0, kFlagShift, true}));
    records.push_back(TraceRecord::makeKey(kBase + 60 * kMs, {TraceKeyKind::up, 0, kFlagShift}));
    records.push_back(TraceRecord::makeKey(kBase + 70 * kMs, {TraceKeyKind::flags, 56, 0}));
    const std::uint8_t odd[5] = {1, 2, 3, 4, 5};
    records.push_back(TraceRecord::makeAccel(kBase + 101 * kMs, odd, sizeof odd));
    std::stable_sort(records.begin(), records.end(),
                     [](const auto& a, const auto& b) { return a.t < b.t; });
    std::ostringstream out;
    TraceWriter writer(out);
    for (const auto& r : records) {
        writer.write(r);
    }
    return out.str();
}

std::shared_ptr<ReplayTimeline> timelineOf(const std::string& text) {
    std::optional<TraceError> error;
    auto timeline = ReplayTimeline::fromText(text, "mem", error);
    EXPECT_TRUE(timeline) << (error ? error->text() : "");
    return timeline;
}

struct Seen {
    KeyEvent event;
    bool down = false;
    std::uint64_t clockAtDelivery = 0;
};

// Collects what the keyboard front delivers, from the capture thread.
struct KeyLog {
    std::mutex lock;
    std::vector<Seen> seen;

    void attach(KeyboardCaptureManager& manager) {
        manager.setOnKeyDown([this](const KeyEvent& e) { add(e, true); });
        manager.setOnKeyUp([this](const KeyEvent& e) { add(e, false); });
    }
    void add(const KeyEvent& e, bool down) {
        const std::uint64_t now = hostTicks();
        std::lock_guard guard(lock);
        seen.push_back({e, down, now});
    }
    std::vector<Seen> copy() {
        std::lock_guard guard(lock);
        return seen;
    }
};

struct ExpectedKey {
    std::uint64_t offset;
    std::uint16_t code;
    std::uint32_t modifiers;
    bool repeat;
    bool down;
};

// What the event logic makes of the session's key records.
const ExpectedKey kExpectedKeys[] = {
    {10 * kMs, 56, kFlagShift, false, true}, // shift press: a flag bit was added
    {20 * kMs, 0, kFlagShift, false, true},  {40 * kMs, 0, kFlagShift, true, true},
    {60 * kMs, 0, kFlagShift, false, false}, {70 * kMs, 56, 0, false, false}, // shift release
};

void expectSessionKeys(const std::vector<Seen>& seen, std::uint64_t start) {
    ASSERT_EQ(seen.size(), std::size(kExpectedKeys));
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const ExpectedKey& want = kExpectedKeys[i];
        SCOPED_TRACE("key " + std::to_string(i));
        EXPECT_EQ(seen[i].event.keyCode, want.code);
        EXPECT_EQ(seen[i].event.modifiers, want.modifiers);
        EXPECT_EQ(seen[i].event.isRepeat, want.repeat);
        EXPECT_EQ(seen[i].down, want.down);
        EXPECT_EQ(seen[i].event.timestamp, start + want.offset);
    }
}

std::vector<TCAMotionSample> ringSamples(const TCARingBuffer* ring) {
    std::vector<TCAMotionSample> samples(kTCARingCapacity);
    samples.resize(tca_ring_query_window(ring, 0, 0, ~0ull, samples.data(), kTCARingCapacity));
    return samples;
}

void expectSessionSamples(const std::vector<TCAMotionSample>& samples, std::uint64_t start) {
    ASSERT_EQ(samples.size(), std::size_t(kReports)) << "the 5-byte report must be skipped";
    for (int k = 0; k < kReports; ++k) {
        SCOPED_TRACE("sample " + std::to_string(k));
        EXPECT_EQ(samples[k].timestamp, start + k * 2 * kMs);
        EXPECT_FLOAT_EQ(samples[k].x, float(k * 65536 / 100) / 65536.0f);
        EXPECT_FLOAT_EQ(samples[k].z, 1.0f);
    }
}

} // namespace

TEST(ReplaySensing, CaptureAndSensorThreadsGetEveryRecordAtItsDueTimeAligned) {
    auto timeline = timelineOf(sessionText());
    ASSERT_TRUE(timeline);
    // Both threads start after the origin; the keys and samples must still
    // keep the trace's offsets from it exactly.
    const std::uint64_t start = timeline->start(hostTicks() + 30 * kMs);
    EXPECT_EQ(timeline->endTicks(), start + 101 * kMs);

    tca_set_previous_flags(kFlagCommand); // left over from an earlier session
    auto keys = KeyboardCaptureManager::create(std::make_shared<ReplayKeySource>(timeline));
    KeyLog log;
    log.attach(*keys);
    auto sensor = SPUSensor::create(std::make_shared<ReplaySensorRegistry>(timeline));
    EXPECT_TRUE(keys->hasPermission());
    ASSERT_TRUE(keys->start());
    sensor->start();
    ASSERT_TRUE(waitFor([&] { return timeline->finished(); }));
    EXPECT_EQ(sensor->status(), SensorStatus::running);
    sensor->stop();
    keys->stop();

    const auto seen = log.copy();
    expectSessionKeys(seen, start);
    for (const auto& s : seen) {
        EXPECT_GE(s.clockAtDelivery, s.event.timestamp) << "a key was delivered early";
    }
    expectSessionSamples(ringSamples(sensor->ringBuffer()), start);
    EXPECT_EQ(timeline->delivered(TraceRecord::Type::accel), std::uint64_t(kReports + 1));
}

TEST(ReplaySensing, ARestartedCaptureGoesOnAfterTheLastKeyDelivered) {
    auto timeline = timelineOf(sessionText());
    auto keys = KeyboardCaptureManager::create(std::make_shared<ReplayKeySource>(timeline));
    KeyLog log;
    log.attach(*keys);
    ASSERT_TRUE(keys->start());
    ASSERT_TRUE(waitFor([&] { return timeline->delivered(TraceRecord::Type::key) >= 2; }));
    keys->stop();
    ASSERT_TRUE(keys->start());
    ASSERT_TRUE(waitFor([&] { return timeline->delivered(TraceRecord::Type::key) == 5; }));
    keys->stop();
    // Nothing twice, nothing lost, and the second tap kept the modifier state
    // the first one left (the release of shift is still a release).
    expectSessionKeys(log.copy(), *timeline->startTicks());
}

TEST(ReplaySensing, ABrokenTraceIsRefusedBeforeAnythingPlays) {
    std::string text = sessionText();
    // Break the line before the last: the whole trace is refused, not played
    // up to it.
    const auto last = text.rfind("{\"t\"");
    text.insert(last, "{\"t\":9999999999,\"key\":\"down\",\"code\":70000,\"flags\":0,"
                      "\"repeat\":false}\n");
    std::optional<TraceError> error;
    EXPECT_FALSE(ReplayTimeline::fromText(text, "broken.jsonl", error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->line, 58u); // header, 51 reports, 5 keys, then the bad line
    EXPECT_NE(error->text().find("broken.jsonl: line 58"), std::string::npos) << error->text();

    // A file is checked the same way, and named in the error.
    clavio::testing::TempDir dir;
    clavio::testing::writeFile(dir.path() / "newer.jsonl",
                               "{\"format\":\"clavio-trace\",\"version\":2}\n");
    EXPECT_FALSE(ReplayTimeline::open(dir.path() / "newer.jsonl", error));
    ASSERT_TRUE(error);
    EXPECT_NE(error->text().find("newer.jsonl: line 1"), std::string::npos) << error->text();
}

TEST(ReplaySensing, TheEndOfTheTraceLeavesBothThreadsIdle) {
    auto timeline = timelineOf(sessionText());
    auto keys = KeyboardCaptureManager::create(std::make_shared<ReplayKeySource>(timeline));
    auto sensor = SPUSensor::create(std::make_shared<ReplaySensorRegistry>(timeline));
    ASSERT_TRUE(keys->start());
    sensor->start();
    ASSERT_TRUE(waitFor([&] { return timeline->finished(); }));
    const double cpuBefore = clavio::testing::processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const double cpu = clavio::testing::processCpuSeconds() - cpuBefore;
    // Two spinning threads would burn about 1.2 s here.
    EXPECT_LT(cpu, 0.15);
    EXPECT_TRUE(keys->isRunning()) << "the end of a trace is not a lost keyboard";
    EXPECT_EQ(sensor->status(), SensorStatus::running) << "nor a lost accelerometer";
    sensor->stop();
    keys->stop();
}

TEST(ReplaySensing, VirtualTimeDeliveryUsesTheSameEntryPoints) {
    auto timeline = timelineOf(sessionText());
    auto keyboard = KeyboardCaptureManager::create(std::make_shared<ReplayKeySource>(timeline));
    auto sensor = SPUSensor::create(std::make_shared<OfflineSensorRegistry>(true));
    std::vector<Seen> seen;
    const auto record = [&seen](const KeyEvent& e, bool down) {
        seen.push_back({KeyEvent{e.keyCode, e.modifiers, e.timestamp, e.isRepeat, KeyGroup::other},
                        down, 0});
    };
    keyboard->setOnKeyDown([&](const KeyEvent& e) { record(e, true); });
    keyboard->setOnKeyUp([&](const KeyEvent& e) { record(e, false); });

    // The process clock is virtual and stands still: the stamps must come
    // from the records, not from the clock.
    VirtualClock clock(123);
    ClockSource* previous = setClockSource(&clock);
    tca_set_previous_flags(0);
    auto source = timeline->openSource();
    connectReplaySinks(*source, *keyboard, *sensor);
    source->rebaseTo(1'000'000);
    source->deliverUntil(1'000'000 + 20 * kMs);
    EXPECT_EQ(seen.size(), 2u) << "shift and the first key are due by 20 ms";
    source->deliverUntil(~0ull);
    setClockSource(previous);

    expectSessionKeys(seen, 1'000'000);
    expectSessionSamples(ringSamples(sensor->ringBuffer()), 1'000'000);
}
