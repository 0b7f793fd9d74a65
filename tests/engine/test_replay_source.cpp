#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine/core/core_types.h"
#include "engine/ports/clock.h"
#include "engine/replay/replay_source.h"

using namespace clavio;

namespace {

// What the sinks saw, in order: a report's length and first byte, or a key's
// code and kind; and its time.
using Delivery = std::tuple<bool, std::size_t, int, std::uint64_t>;

void connect(ReplaySource& source, std::vector<Delivery>& seen) {
    source.setAccelSink([&seen](const std::uint8_t* report, std::size_t length, std::uint64_t t) {
        seen.emplace_back(true, length, report[0], t);
    });
    source.setKeySink([&seen](const TraceKey& key, std::uint64_t t) {
        seen.emplace_back(false, key.code, int(key.kind), t);
    });
}

} // namespace

TEST(ReplaySource, DeliversRecordsInOrderWhenTheirTimeComes) {
    const std::uint8_t report[22] = {7};
    const std::uint8_t odd[5] = {9};
    ReplaySource source({
        TraceRecord::makeAccel(100, report, sizeof report),
        TraceRecord::makeKey(200, {TraceKeyKind::down, 4, kFlagShift, false}),
        TraceRecord::makeAccel(200, odd, sizeof odd),
        TraceRecord::makeKey(250, {TraceKeyKind::flags, 56, 0, false}),
        TraceRecord::makeKey(400, {TraceKeyKind::up, 4, 0, false}),
    });
    std::vector<Delivery> seen;
    connect(source, seen);
    EXPECT_EQ(source.firstTicks(), 100u);
    EXPECT_EQ(source.deliverUntil(99), 0u);
    EXPECT_EQ(source.nextTime(), 100u);
    EXPECT_EQ(source.deliverUntil(200), 3u); // both records at 200 are due at 200
    // A wrong-length report is handed on as it is.
    EXPECT_EQ(seen, (std::vector<Delivery>{{true, 22, 7, 100},
                                           {false, 4, int(TraceKeyKind::down), 200},
                                           {true, 5, 9, 200}}));
    EXPECT_EQ(source.nextTime(), 250u);
    EXPECT_EQ(source.deliverUntil(399), 1u);
    EXPECT_FALSE(source.finished());
    EXPECT_EQ(source.deliverUntil(~0ull), 1u);
    EXPECT_TRUE(source.finished());
    EXPECT_FALSE(source.nextTime());
    EXPECT_EQ(source.deliverUntil(~0ull), 0u);
    EXPECT_EQ(source.accelDelivered(), 2u);
    EXPECT_EQ(source.keysDelivered(), 3u);
    EXPECT_EQ(seen.back(), Delivery(false, 4, int(TraceKeyKind::up), 400));
}

TEST(ReplaySource, RealTimeReplayEndsPromptlyOnStop) {
    ReplaySource source({TraceRecord::makeKey(0, {TraceKeyKind::down, 1, 0, false}),
                         TraceRecord::makeKey(60'000'000'000, {TraceKeyKind::up, 1, 0, false})});
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
