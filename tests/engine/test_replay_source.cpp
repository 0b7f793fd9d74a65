#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "engine/core/core_types.h"
#include "engine/ports/clock.h"
#include "engine/replay/replay_source.h"

using namespace clavio;

namespace {

// What the sinks saw, in order.
struct Delivery {
    bool accel = false;
    std::vector<std::uint8_t> bytes;
    TraceKey key;
    std::uint64_t timestamp = 0;
    std::uint64_t clockAtDelivery = 0;
};

void connect(ReplaySource& source, std::vector<Delivery>& seen) {
    source.setAccelSink([&seen](const std::uint8_t* report, std::size_t length, std::uint64_t t) {
        seen.push_back({true, {report, report + length}, {}, t, hostTicks()});
    });
    source.setKeySink([&seen](const TraceKey& key, std::uint64_t t) {
        seen.push_back({false, {}, key, t, hostTicks()});
    });
}

std::vector<TraceRecord> records() {
    const std::uint8_t report[22] = {1, 2, 3};
    const std::uint8_t odd[5] = {9, 9, 9, 9, 9};
    return {
        TraceRecord::makeAccel(100, report, sizeof report),
        TraceRecord::makeKey(200, {TraceKeyKind::down, 4, kFlagShift, false}),
        TraceRecord::makeAccel(200, odd, sizeof odd),
        TraceRecord::makeKey(250, {TraceKeyKind::flags, 56, 0, false}),
        TraceRecord::makeKey(400, {TraceKeyKind::up, 4, 0, false}),
    };
}

std::string traceText(const std::vector<TraceRecord>& rs) {
    std::ostringstream out;
    TraceWriter writer(out);
    for (const auto& r : rs) {
        writer.write(r);
    }
    return out.str();
}

} // namespace

TEST(ReplaySource, DeliversRecordsInOrderWhenTheirTimeComes) {
    ReplaySource source(records());
    std::vector<Delivery> seen;
    connect(source, seen);
    EXPECT_EQ(source.firstTicks(), 100u);
    EXPECT_EQ(source.deliverUntil(99), 0u);
    EXPECT_EQ(source.nextTime(), 100u);
    EXPECT_EQ(source.deliverUntil(200), 3u); // both records at 200 are due at 200
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_TRUE(seen[0].accel);
    EXPECT_EQ(seen[0].bytes.size(), 22u);
    EXPECT_EQ(seen[0].bytes[2], 3u);
    EXPECT_EQ(seen[0].timestamp, 100u);
    EXPECT_FALSE(seen[1].accel);
    EXPECT_EQ(seen[1].key, (TraceKey{TraceKeyKind::down, 4, kFlagShift, false}));
    EXPECT_EQ(seen[1].timestamp, 200u);
    EXPECT_TRUE(seen[2].accel); // a wrong-length report is handed on as it is
    EXPECT_EQ(seen[2].bytes.size(), 5u);
    EXPECT_EQ(source.nextTime(), 250u);
    EXPECT_EQ(source.deliverUntil(399), 1u);
    EXPECT_FALSE(source.finished());
    EXPECT_EQ(source.deliverUntil(~0ull), 1u);
    EXPECT_TRUE(source.finished());
    EXPECT_FALSE(source.nextTime());
    EXPECT_EQ(source.deliverUntil(~0ull), 0u);
    EXPECT_EQ(source.accelDelivered(), 2u);
    EXPECT_EQ(source.keysDelivered(), 3u);
    EXPECT_EQ(seen.back().key.kind, TraceKeyKind::up);
}

TEST(ReplaySource, RealTimeReplayEndsPromptlyOnStop) {
    std::vector<TraceRecord> rs = {
        TraceRecord::makeKey(0, {TraceKeyKind::down, 1, 0, false}),
        TraceRecord::makeKey(60'000'000'000, {TraceKeyKind::up, 1, 0, false}),
    };
    ReplaySource source(std::move(rs));
    std::vector<Delivery> seen;
    connect(source, seen);
    ReplayEnd end = ReplayEnd::finished;
    const auto began = std::chrono::steady_clock::now();
    std::jthread player(
        [&](std::stop_token stop) { end = replayInRealTime(source, hostTicks(), stop); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    player.request_stop();
    player.join();
    EXPECT_EQ(end, ReplayEnd::stopped);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_FALSE(source.finished());
}

