#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/ports/clock.h"
#include "engine/core/timebase.h"
#include "engine/runtime/virtual_time_scheduler.h"
#include "tests/support/test_support.h"

namespace clavio {
namespace {

using namespace std::chrono_literals;

std::uint64_t ms(std::uint64_t m) {
    return tca_ms_to_mach(static_cast<double>(m));
}

struct Trace {
    std::vector<std::string> events;
    void add(const std::string& what) {
        events.push_back(what + "@" + std::to_string(hostTicks()));
    }
};

TEST(VirtualTimeScheduler, RunsBothQueuesAndTimersInTimeThenSubmissionOrder) {
    VirtualTimeScheduler scheduler(ms(1000));
    Trace trace;
    TimerHandle timer = scheduler.scheduleRepeating(3ms, [&] { trace.add("timer"); });
    scheduler.submitAt(ms(1003), [&] { trace.add("classifyA"); }); // same time, after the timer
    scheduler.submitAt(ms(1001), [&] { trace.add("classifyB"); });
    scheduler.post([&] {
        trace.add("main");
        scheduler.post([&] { trace.add("mainFromMain"); });  // same time, after this one
        scheduler.submit([&] { trace.add("classifyNow"); }); // likewise
    });
    scheduler.submitAt(ms(500), [&] { trace.add("overdue"); }); // past: runs at the current time

    EXPECT_EQ(scheduler.runUntil(ms(1007)), 8u);
    const std::string t1000 = std::to_string(ms(1000));
    EXPECT_EQ(
        trace.events,
        (std::vector<std::string>{
            "overdue@" + t1000, "main@" + t1000, "mainFromMain@" + t1000, "classifyNow@" + t1000,
            "classifyB@" + std::to_string(ms(1001)), "timer@" + std::to_string(ms(1003)),
            "classifyA@" + std::to_string(ms(1003)), "timer@" + std::to_string(ms(1006))}));
    EXPECT_EQ(hostTicks(), ms(1007)) << "the clock ends at the target";
    EXPECT_EQ(scheduler.nextDueTicks(), ms(1009));
}

TEST(VirtualTimeScheduler, RepeatingTimerFiresEveryIntervalUntilInvalidated) {
    VirtualTimeScheduler scheduler;
    std::vector<std::uint64_t> fires;
    std::optional<TimerHandle> timer;
    timer = scheduler.scheduleRepeating(100ms, [&] {
        fires.push_back(hostTicks());
        if (fires.size() == 12) {
            timer.reset();
        }
    });
    scheduler.runUntil(ms(1000));
    ASSERT_EQ(fires.size(), 10u);
    for (std::size_t i = 0; i < fires.size(); ++i) {
        EXPECT_EQ(fires[i], ms(100 * (i + 1)));
    }
    scheduler.advanceBy(5s);
    EXPECT_EQ(fires.size(), 12u) << "the timer outlived its handle";
    EXPECT_EQ(scheduler.pendingCount(), 0u);
    EXPECT_EQ(hostTicks(), ms(6000));
}

TEST(VirtualTimeScheduler, TellsMainFromClassifyAndRefusesNestedRuns) {
    testing::LogCapture log;
    VirtualTimeScheduler scheduler;
    std::vector<std::pair<bool, bool>> seen; // isMainThread, isCurrentQueue
    scheduler.post([&] {
        seen.emplace_back(scheduler.isMainThread(), scheduler.isCurrentQueue());
        EXPECT_EQ(scheduler.runUntil(ms(50)), 0u);
    });
    scheduler.submitAt(
        ms(1), [&] { seen.emplace_back(scheduler.isMainThread(), scheduler.isCurrentQueue()); });
    scheduler.runUntil(ms(10));
    EXPECT_EQ(seen, (std::vector<std::pair<bool, bool>>{{true, false}, {false, true}}));
    EXPECT_TRUE(scheduler.isMainThread());
    EXPECT_EQ(log.count("Virtual time cannot be advanced from inside one of its tasks"), 1u);
    EXPECT_EQ(hostTicks(), ms(10));
}

} // namespace
} // namespace clavio
