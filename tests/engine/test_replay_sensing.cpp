// Replay of a trace through the sensing ports: ReplayKeySource and
// ReplaySensorRegistry driving the real capture and sensor threads.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <sstream>
#include <thread>

#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/ports/clock.h"
#include "engine/replay/replay_key_source.h"
#include "engine/replay/replay_sensor_registry.h"
#include "engine/sensing/spu_sensor.h"
#include "tests/support/fake_device_tree.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;

namespace {

constexpr std::uint64_t kMs = 1'000'000;
constexpr std::uint64_t kBase = 5'000'000'000; // trace time of the first record
constexpr int kReports = 51;                   // one every 2 ms from kBase

// Shift pressed, a shifted key with one autorepeat, shift released, and a
// report every 2 ms whose x is its index / 100 g; then, last, one report of
// the wrong length, which the decoder skips.
std::string sessionText() {
    std::vector<TraceRecord> records;
    for (int k = 0; k < kReports; ++k) {
        const auto bytes = accelReport(k * 65536 / 100, 0, 65536);
        records.push_back(TraceRecord::makeAccel(kBase + k * 2 * kMs, bytes.data(), bytes.size()));
    }
    for (const auto& [at, key] : std::vector<std::pair<std::uint64_t, TraceKey>>{
             {10, {TraceKeyKind::flags, 56, kFlagShift}},
             {20, {TraceKeyKind::down, 0, kFlagShift}},
             {40, {TraceKeyKind::down, 0, kFlagShift, true}},
             {60, {TraceKeyKind::up, 0, kFlagShift}},
             {70, {TraceKeyKind::flags, 56, 0}}}) {
        records.push_back(TraceRecord::makeKey(kBase + at * kMs, key));
    }
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

// What the keyboard front delivers, from the capture thread: offset from the
// start, code, modifiers, repeat, down. Every key must come on or after
// its time and keep the trace's offset exactly.
using Key = std::tuple<std::uint64_t, std::uint16_t, std::uint32_t, bool, bool>;
struct KeyLog {
    std::mutex lock;
    std::vector<Key> keys;
    std::uint64_t start = 0; // the timeline's

    void attach(KeyboardCaptureManager& manager) {
        manager.setOnKeyDown([this](const KeyEvent& e) { add(e, true); });
        manager.setOnKeyUp([this](const KeyEvent& e) { add(e, false); });
    }
    void add(const KeyEvent& e, bool down) {
        EXPECT_GE(hostTicks(), e.timestamp) << "a key was delivered early";
        std::lock_guard guard(lock);
        keys.emplace_back(e.timestamp, e.keyCode, e.modifiers, e.isRepeat, down);
    }
    // Shift's flag change is a press when a flag bit was added and a release
    // when one was removed.
    void expectSessionKeys() {
        std::lock_guard guard(lock);
        for (auto& key : keys) {
            std::get<0>(key) -= start;
        }
        EXPECT_EQ(keys, (std::vector<Key>{{10 * kMs, 56, kFlagShift, false, true},
                                          {20 * kMs, 0, kFlagShift, false, true},
                                          {40 * kMs, 0, kFlagShift, true, true},
                                          {60 * kMs, 0, kFlagShift, false, false},
                                          {70 * kMs, 56, 0, false, false}}));
    }
};

} // namespace

TEST(ReplaySensing, CaptureAndSensorThreadsGetEveryRecordAtItsDueTimeAlignedThenIdle) {
    auto timeline = timelineOf(sessionText());
    ASSERT_TRUE(timeline);
    // Both threads start after the origin; the keys and samples must still
    // keep the trace's offsets from it exactly.
    KeyLog log;
    log.start = timeline->start(hostTicks() + 30 * kMs);
    EXPECT_EQ(timeline->endTicks(), log.start + 101 * kMs);
    tca_set_previous_flags(kFlagCommand); // left over from an earlier session
    auto keys = KeyboardCaptureManager::create(std::make_shared<ReplayKeySource>(timeline));
    log.attach(*keys);
    auto sensor = SPUSensor::create(std::make_shared<ReplaySensorRegistry>(timeline));
    EXPECT_TRUE(keys->hasPermission());
    ASSERT_TRUE(keys->start());
    sensor->start();
    ASSERT_TRUE(waitFor([&] { return timeline->finished(); }));
    // The end of a trace is neither a lost keyboard nor a lost accelerometer,
    // and leaves both threads idle: two spinning ones would burn about 1.2 s.
    const double cpuBefore = processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_LT(processCpuSeconds() - cpuBefore, 0.15);
    EXPECT_TRUE(keys->isRunning());
    EXPECT_EQ(sensor->status(), SensorStatus::running);
    sensor->stop();
    keys->stop();
    log.expectSessionKeys();
    std::vector<TCAMotionSample> samples(kTCARingCapacity);
    samples.resize(
        tca_ring_query_window(sensor->ringBuffer(), 0, 0, ~0ull, samples.data(), kTCARingCapacity));
    ASSERT_EQ(samples.size(), std::size_t(kReports)) << "the 5-byte report must be skipped";
    for (int k = 0; k < kReports; ++k) {
        EXPECT_EQ(samples[k].timestamp, log.start + k * 2 * kMs) << k;
        EXPECT_FLOAT_EQ(samples[k].x, float(k * 65536 / 100) / 65536.0f) << k;
        EXPECT_FLOAT_EQ(samples[k].z, 1.0f) << k;
    }
    EXPECT_EQ(timeline->delivered(TraceRecord::Type::accel), std::uint64_t(kReports + 1));
}

TEST(ReplaySensing, ARestartedCaptureGoesOnAfterTheLastKeyDelivered) {
    auto timeline = timelineOf(sessionText());
    auto keys = KeyboardCaptureManager::create(std::make_shared<ReplayKeySource>(timeline));
    KeyLog log;
    log.attach(*keys);
    ASSERT_TRUE(keys->start());
    log.start = *timeline->startTicks();
    ASSERT_TRUE(waitFor([&] { return timeline->delivered(TraceRecord::Type::key) >= 2; }));
    keys->stop();
    ASSERT_TRUE(keys->start());
    ASSERT_TRUE(waitFor([&] { return timeline->delivered(TraceRecord::Type::key) == 5; }));
    keys->stop();
    // Nothing twice, nothing lost, and the second tap kept the modifier state
    // the first one left (the release of shift is still a release).
    log.expectSessionKeys();
}

TEST(ReplaySensing, ABrokenTraceIsRefusedBeforeAnythingPlays) {
    std::string text = sessionText();
    // Break the line before the last: the whole trace is refused, not played
    // up to it.
    text.insert(text.rfind("{\"t\""), "{\"t\":9999999999,\"key\":\"down\",\"code\":70000,"
                                      "\"flags\":0,\"repeat\":false}\n");
    std::optional<TraceError> error;
    EXPECT_FALSE(ReplayTimeline::fromText(text, "broken.jsonl", error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->line, 58u); // header, 51 reports, 5 keys, then the bad line
    EXPECT_NE(error->text().find("broken.jsonl: line 58"), std::string::npos) << error->text();
    // A file is checked the same way, and named in the error.
    TempDir dir;
    writeFile(dir.path() / "newer.jsonl", "{\"format\":\"clavio-trace\",\"version\":2}\n");
    EXPECT_FALSE(ReplayTimeline::open(dir.path() / "newer.jsonl", error));
    ASSERT_TRUE(error);
    EXPECT_NE(error->text().find("newer.jsonl: line 1"), std::string::npos) << error->text();
}

// (The test above checks every report's due time through batched slices.)
TEST(ReplaySensing, ABatchedReplayWaitsOutItsBatchUnlessAKeyPressHurriesIt) {
    std::ostringstream out;
    TraceWriter writer(out);
    const auto bytes = accelReport(0, 0, 65536);
    for (int k = 0; k < 300; ++k) { // 1 ms apart
        writer.write(TraceRecord::makeAccel(kBase + k * kMs, bytes.data(), bytes.size()));
    }
    auto timeline = timelineOf(out.str());
    ASSERT_TRUE(timeline);
    const std::uint64_t start = timeline->start(hostTicks());
    ReplayPlayer player(timeline, TraceRecord::Type::accel);
    std::vector<std::uint64_t> stamps;
    player.setAccelSink([&](const std::uint8_t*, std::size_t, std::uint64_t due) {
        EXPECT_LE(due, hostTicks()) << "delivered before its time";
        stamps.push_back(due);
    });
    player.setBatching(30.0); // longer than the trace
    auto slice = [&](double seconds) {
        const std::size_t before = stamps.size();
        player.runSlice(seconds);
        return stamps.size() - before;
    };
    // After the first delivery nothing comes until a hurry from another
    // thread delivers what is due at once; during its hold reports come
    // one by one, then the batch holds them again.
    EXPECT_GT(slice(0.25), 0u);
    EXPECT_EQ(slice(0.05), 0u) << "inside the batch";
    std::thread hurrier([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        player.hurry(0.05);
    });
    const auto waitStart = std::chrono::steady_clock::now();
    EXPECT_GT(slice(5.0), 10u);
    hurrier.join();
    EXPECT_LT(std::chrono::steady_clock::now() - waitStart, std::chrono::seconds(1));
    EXPECT_EQ(stamps.back(), start + (stamps.size() - 1) * kMs);
    // During the hold a slice returns with the reports due, not at its end
    // (how many fell due depends on how late this thread runs).
    const auto holdStart = std::chrono::steady_clock::now();
    slice(0.25);
    EXPECT_LT(std::chrono::steady_clock::now() - holdStart, std::chrono::milliseconds(200))
        << "one report at its moment";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GT(slice(0.25), 0u) << "what fell due, at once during the hold";
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_EQ(slice(0.05), 0u) << "batched again";
}
