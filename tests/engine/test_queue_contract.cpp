// The queue ports on real and virtual time, the task guard and the snapshot
// cell.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/core/timebase.h"
#include "engine/ports/clock.h"
#include "engine/runtime/guarded_task.h"
#include "engine/runtime/run_loop.h"
#include "engine/runtime/serial_deadline_queue.h"
#include "engine/runtime/snapshot_cell.h"
#include "engine/runtime/virtual_time_scheduler.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace std::chrono_literals;

namespace {

std::uint64_t ms(double m) {
    return tca_ms_to_mach(m);
}

// Holds a real worker inside a task until opened, so that what is submitted
// meanwhile is ordered by the queue alone; bounded so that nothing hangs.
struct Gate {
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    ClassifyTask task() {
        return [this] {
            entered.set_value();
            released.wait_for(5s);
        };
    }
    bool hold(ClassifyQueue& q) {
        return q.submit(task()) && entered.get_future().wait_for(5s) == std::future_status::ready;
    }
    void open() {
        if (released.wait_for(0s) != std::future_status::ready) {
            release.set_value();
        }
    }
    ~Gate() { open(); }
};

struct RealTime {
    RunLoop main;
    SerialDeadlineQueue classify;
    Gate gate;
    MainQueue& mainQueue() { return main; }
    ClassifyQueue& classifyQueue() { return classify; }
    void runMainFor(std::chrono::milliseconds d) { main.runFor(d); }
    void holdClassify() { ASSERT_TRUE(gate.hold(classify)); }
    void drainClassify() {
        gate.open();
        ASSERT_TRUE(classify.waitUntilIdle(5s));
    }
};

struct VirtualTime {
    VirtualTimeScheduler scheduler{ms(1000)};
    MainQueue& mainQueue() { return scheduler; }
    ClassifyQueue& classifyQueue() { return scheduler; }
    void runMainFor(std::chrono::milliseconds d) { scheduler.advanceBy(d); }
    void holdClassify() {} // nothing runs until time is advanced
    void drainClassify() { scheduler.advanceBy(1s); }
};

template <typename T> class QueueContract : public ::testing::Test {
protected:
    T q;
};
using Implementations = ::testing::Types<RealTime, VirtualTime>;
TYPED_TEST_SUITE(QueueContract, Implementations);

TYPED_TEST(QueueContract, PostsRunInOrderOnTheMainThread) {
    MainQueue& main = this->q.mainQueue();
    std::vector<int> order;
    bool allOnMain = true;
    for (int i = 0; i < 20; ++i) {
        main.post([&, i] {
            allOnMain = allOnMain && main.isMainThread();
            order.push_back(i);
        });
    }
    this->q.runMainFor(20ms);
    ASSERT_EQ(order.size(), 20u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()) && allOnMain);
}

TYPED_TEST(QueueContract, RepeatingTimerKeepsItsCadenceAndStopsWithItsHandle) {
    MainQueue& main = this->q.mainQueue();
    std::vector<std::uint64_t> fires;
    std::optional<TimerHandle> timer;
    const std::uint64_t start = hostTicks();
    timer = main.scheduleRepeating(15ms, [&] {
        fires.push_back(hostTicks());
        if (fires.size() == 3) {
            timer->invalidate();
            timer.reset(); // clearing the handle inside its own tick is allowed
        }
    });
    int replacedTicks = 0;
    TimerHandle replaced = main.scheduleRepeating(5ms, [&] { ++replacedTicks; });
    replaced = main.scheduleRepeating(1h, [] {}); // the 5 ms timer must stop
    EXPECT_TRUE(replaced.isValid());
    int scopedTicks = 0;
    {
        TimerHandle scoped = main.scheduleRepeating(5ms, [&] { ++scopedTicks; });
    }
    this->q.runMainFor(150ms);
    ASSERT_EQ(fires.size(), 3u) << "the timer fired after it was invalidated";
    for (std::size_t i = 0; i < fires.size(); ++i) {
        EXPECT_GE(fires[i], start + (i + 1) * ms(15)) << "tick " << i << " came early";
    }
    EXPECT_EQ(replacedTicks + scopedTicks, 0) << "a replaced or destroyed handle kept ticking";
}

TYPED_TEST(QueueContract, ClassifyTasksRunByDeadlineThenSubmissionOrderNeverEarly) {
    ClassifyQueue& queue = this->q.classifyQueue();
    this->q.holdClassify();
    std::mutex mutex;
    std::vector<int> order;
    bool early = false, offQueue = false;
    const std::uint64_t base = hostTicks();
    const std::uint64_t offsets[] = {50, 10, 30, 10, 20, 50, 10};
    for (int id = 0; id < 7; ++id) {
        const std::uint64_t deadline = base + offsets[id];
        ASSERT_TRUE(queue.submitAt(deadline, [&, id, deadline] {
            std::lock_guard lock(mutex);
            order.push_back(id);
            early = early || hostTicks() < deadline;
            offQueue = offQueue || !queue.isCurrentQueue();
        }));
    }
    // A later deadline still pending once the rest ran must wait for its time.
    std::atomic<std::uint64_t> lateRan{0};
    ASSERT_TRUE(queue.submitAt(base + ms(40), [&] { lateRan = hostTicks(); }));
    this->q.drainClassify();
    EXPECT_EQ(order, (std::vector<int>{1, 3, 6, 4, 2, 0, 5}));
    EXPECT_GE(lateRan.load(), base + ms(40));
    EXPECT_FALSE(early || offQueue || queue.isCurrentQueue()) << early << offQueue;
}

TEST(SerialDeadlineQueue, PastDeadlineRunsPromptlyWhileWorkerSleepsForALaterOne) {
    SerialDeadlineQueue queue;
    std::atomic<bool> farRan{false};
    ASSERT_TRUE(queue.submitAt(hostTicks() + ms(60'000), [&] { farRan = true; }));
    std::this_thread::sleep_for(20ms); // the worker is now asleep until the far deadline
    std::promise<void> ran;
    ASSERT_TRUE(queue.submitAt(hostTicks() - ms(500), [&] { ran.set_value(); }));
    ASSERT_EQ(ran.get_future().wait_for(2s), std::future_status::ready)
        << "an earlier task did not wake the sleeping worker";
    EXPECT_FALSE(farRan);
}

TEST(SerialDeadlineQueue, ShutdownDiscardsPendingTasksAndFinishesTheRunningOne) {
    clavio::testing::LogCapture log;
    auto token = std::make_shared<int>(7);
    std::atomic<bool> pendingRan{false}, runningFinished{false};
    const auto started = std::chrono::steady_clock::now();
    {
        SerialDeadlineQueue queue;
        std::promise<void> entered;
        ASSERT_TRUE(queue.submit([&] {
            entered.set_value();
            std::this_thread::sleep_for(50ms);
            runningFinished = true;
        }));
        ASSERT_TRUE(queue.submitAt(hostTicks() + ms(60'000), [&, token] { pendingRan = true; }));
        ASSERT_TRUE(queue.submitAt(hostTicks() + ms(30'000), [token] {}));
        ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s)
        << "destruction waited for a pending deadline";
    EXPECT_TRUE(runningFinished && !pendingRan);
    EXPECT_EQ(token.use_count(), 1) << "captures of discarded tasks were not destroyed";
    EXPECT_EQ(log.count("com.nomari.clavio.classify shut down with 2 task(s) not run"), 1u);
}

// Every queue (run loop, Qt main queue, classify queue, virtual time) runs
// its tasks through this one guard.
TEST(GuardedTask, AThrowingTaskIsLoggedWithItsQueueNameAndTheCallerGoesOn) {
    clavio::testing::LogCapture log;
    int ran = 0;
    auto boom = [] { throw std::runtime_error("boom"); };
    auto odd = [] { throw 42; };
    auto fine = [&] { ++ran; };
    runGuardedTask(boom, "test.queue");
    runGuardedTask(odd, "other");
    runGuardedTask(fine, "quiet");
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"[Clavio] test.queue task failed: boom",
                                        "[Clavio] other task failed with an unknown exception"}));
    EXPECT_EQ(ran, 1);
}

// Every element holds the generation; a reader that sees two values saw a
// snapshot being built or freed.
struct Generation {
    explicit Generation(int g) : values(64, g) {}
    std::vector<int> values;
};
using Cell = SnapshotCell<Generation>;
auto generation(int g) {
    return std::make_unique<const Generation>(g);
}

} // namespace

TEST(SnapshotCell, PublishWaitsForAReaderStillHoldingTheOldSnapshot) {
    Cell cell(generation(1));
    std::promise<void> entered, release;
    std::atomic<int> seenAfterWait{0};
    std::thread reader([&] {
        const auto snapshot = cell.read();
        entered.set_value();
        release.get_future().wait();
        seenAfterWait = snapshot->values.back(); // still alive (AddressSanitizer)
    });
    entered.get_future().wait();
    auto publishing = std::async(std::launch::async, [&] { cell.publish(generation(2)); });
    EXPECT_EQ(publishing.wait_for(50ms), std::future_status::timeout)
        << "publish returned while a reader held the old snapshot";
    release.set_value();
    reader.join();
    publishing.get();
    EXPECT_EQ(seenAfterWait.load(), 1);
}
