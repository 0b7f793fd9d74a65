#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "engine/ports/clock.h"
#include "engine/runtime/guarded_task.h"
#include "engine/runtime/run_loop.h"
#include "engine/runtime/termination_center.h"
#include "engine/core/timebase.h"
#include "tests/support/test_support.h"

namespace clavio {
namespace {

using namespace std::chrono_literals;

TEST(RunLoop, PostsFromOtherThreadsRunInOrderOnTheLoopThread) {
    RunLoop loop;
    std::vector<int> order;
    bool allOnMain = true;
    std::thread poster([&] {
        EXPECT_FALSE(loop.isMainThread());
        std::this_thread::sleep_for(20ms); // the loop is waiting by now
        for (int i = 0; i < 50; ++i) {
            loop.post([&, i] {
                allOnMain = allOnMain && loop.isMainThread();
                order.push_back(i);
            });
        }
    });
    EXPECT_TRUE(loop.runUntil([&] { return order.size() == 50; }, 5s));
    poster.join();
    std::vector<int> expected(50);
    for (int i = 0; i < 50; ++i) {
        expected[i] = i;
    }
    EXPECT_EQ(order, expected);
    EXPECT_TRUE(allOnMain);
    EXPECT_TRUE(loop.isMainThread());
}

TEST(RunLoop, RepeatingTimerKeepsItsCadenceAndStopsWhenInvalidatedInItsOwnTick) {
    RunLoop loop;
    std::vector<std::uint64_t> fires;
    std::optional<TimerHandle> timer;
    const std::uint64_t start = hostTicks();
    const std::uint64_t interval = tca_ms_to_mach(15);
    timer = loop.scheduleRepeating(15ms, [&] {
        fires.push_back(hostTicks());
        if (fires.size() == 3) {
            timer->invalidate();
            timer.reset(); // clearing the handle inside its own tick is allowed
        }
    });
    ASSERT_TRUE(timer->isValid());
    loop.runFor(150ms);
    ASSERT_EQ(fires.size(), 3u) << "the timer fired after it was invalidated";
    for (std::size_t i = 0; i < fires.size(); ++i) {
        EXPECT_GE(fires[i], start + (i + 1) * interval) << "tick " << i << " came early";
    }
}

TEST(RunLoop, DestroyingOrReplacingAHandleStopsItsTimer) {
    RunLoop loop;
    int first = 0;
    int second = 0;
    {
        TimerHandle handle = loop.scheduleRepeating(5ms, [&] { ++first; });
        loop.runFor(22ms);
    }
    const int firstAtDestruction = first;
    EXPECT_GE(firstAtDestruction, 1);

    TimerHandle replaced = loop.scheduleRepeating(5ms, [&] { ++second; });
    TimerHandle other = loop.scheduleRepeating(1s, [] {});
    replaced = std::move(other); // the 5 ms timer must stop
    EXPECT_TRUE(replaced.isValid());
    loop.runFor(30ms);
    EXPECT_EQ(first, firstAtDestruction);
    EXPECT_EQ(second, 0);
}

// Every queue (run loop, Qt main queue, classify queue, virtual time) runs
// its tasks through this one guard.
TEST(GuardedTask, AThrowingTaskIsLoggedWithItsQueueNameAndTheCallerGoesOn) {
    testing::LogCapture log;
    auto boom = [] { throw std::runtime_error("boom"); };
    auto odd = [] { throw 42; };
    int ran = 0;
    auto fine = [&] { ++ran; };
    runGuardedTask(boom, "test.queue");
    runGuardedTask(odd, "other");
    runGuardedTask(fine, "quiet");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "[Clavio] test.queue task failed: boom",
                               "[Clavio] other task failed with an unknown exception"}));
    EXPECT_EQ(ran, 1);
}
TEST(TerminationCenter, NotifyOnTheMainThreadRunsObserversAtOnceAndOnlyOnce) {
    RunLoop loop;
    TerminationCenter center(loop);
    std::vector<int> calls;
    center.addQuitObserver([&] { calls.push_back(1); });
    center.addQuitObserver([&] { calls.push_back(2); });
    center.notifyTermination();
    EXPECT_EQ(calls, (std::vector<int>{1, 2})) << "observers must run before notify returns";
    center.notifyTermination();
    EXPECT_EQ(calls.size(), 2u);
    EXPECT_TRUE(center.terminating());
}

TEST(TerminationCenter, NotifyFromAnotherThreadDeliversOnTheMainQueue) {
    RunLoop loop;
    TerminationCenter center(loop);
    std::atomic<int> calls{0};
    bool onMain = false;
    center.addQuitObserver([&] {
        onMain = loop.isMainThread();
        ++calls;
    });
    std::thread([&] {
        center.notifyTermination();
        center.notifyTermination();
    }).join();
    EXPECT_EQ(calls, 0) << "delivered off the main thread";
    EXPECT_TRUE(loop.runUntil([&] { return calls > 0; }, 5s));
    loop.runFor(10ms);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(onMain);
}

} // namespace
} // namespace clavio
