#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/ports/clock.h"
#include "engine/runtime/serial_deadline_queue.h"
#include "engine/core/timebase.h"
#include "tests/support/test_support.h"

namespace clavio {
namespace {

using namespace std::chrono_literals;

std::uint64_t msToTicks(double ms) {
    return tca_ms_to_mach(ms);
}

// Holds the worker inside a task until released, so that everything
// submitted meanwhile is ordered by the queue alone.
class Gate {
public:
    ClassifyTask task() {
        return [this] {
            _entered.set_value();
            _release.get_future().wait();
        };
    }
    // Bounded, so that a queue that never runs the gate fails instead of hanging.
    bool entered() {
        return _entered.get_future().wait_for(std::chrono::seconds(5)) ==
               std::future_status::ready;
    }
    void open() {
        if (!_opened) {
            _opened = true;
            _release.set_value();
        }
    }
    // A failed assertion must not leave the worker (and the queue's
    // destructor) waiting for ever.
    ~Gate() { open(); }

private:
    std::promise<void> _entered;
    std::promise<void> _release;
    bool _opened = false;
};

TEST(SerialDeadlineQueue, RunsDueTasksByDeadlineThenSubmissionOrder) {
    SerialDeadlineQueue queue;
    Gate gate;
    ASSERT_TRUE(queue.submit(gate.task()));
    ASSERT_TRUE(gate.entered());

    std::mutex mutex;
    std::vector<int> order;
    auto record = [&](int id) {
        return [&, id] {
            std::lock_guard lock(mutex);
            order.push_back(id);
        };
    };
    const std::uint64_t base = hostTicks() - msToTicks(1000); // all already due
    const std::uint64_t deadlines[] = {base + 50, base + 10, base + 30, base + 10,
                                       base + 20, base + 50, base + 10};
    for (int id = 0; id < 7; ++id) {
        ASSERT_TRUE(queue.submitAt(deadlines[id], record(id)));
    }
    gate.open();
    ASSERT_TRUE(queue.waitUntilIdle(5s));
    EXPECT_EQ(order, (std::vector<int>{1, 3, 6, 4, 2, 0, 5}));
}

TEST(SerialDeadlineQueue, NeverRunsATaskBeforeItsDeadline) {
    SerialDeadlineQueue queue;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs; // deadline, run time
    std::mutex mutex;
    const std::uint64_t now = hostTicks();
    for (double ms : {40.0, 5.0, 25.0, 0.0}) {
        const std::uint64_t deadline = now + msToTicks(ms);
        ASSERT_TRUE(queue.submitAt(deadline, [&, deadline] {
            std::lock_guard lock(mutex);
            runs.emplace_back(deadline, hostTicks());
        }));
    }
    ASSERT_TRUE(queue.waitUntilIdle(5s));
    ASSERT_EQ(runs.size(), 4u);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        EXPECT_GE(runs[i].second, runs[i].first) << "task " << i << " ran early";
        if (i > 0) {
            EXPECT_GT(runs[i].first, runs[i - 1].first) << "deadline order broken";
        }
    }
}

TEST(SerialDeadlineQueue, PastDeadlineRunsPromptlyWhileWorkerSleepsForALaterOne) {
    SerialDeadlineQueue queue;
    std::atomic<bool> farRan{false};
    ASSERT_TRUE(queue.submitAt(hostTicks() + msToTicks(60'000), [&] { farRan = true; }));
    std::this_thread::sleep_for(20ms); // the worker is now asleep until the far deadline

    std::promise<std::uint64_t> ran;
    const std::uint64_t submitted = hostTicks();
    ASSERT_TRUE(queue.submitAt(submitted - msToTicks(500), [&] { ran.set_value(hostTicks()); }));
    auto future = ran.get_future();
    ASSERT_EQ(future.wait_for(2s), std::future_status::ready)
        << "an earlier task did not wake the sleeping worker";
    EXPECT_FALSE(farRan);
}

TEST(SerialDeadlineQueue, ShutdownDiscardsPendingTasksAndFinishesTheRunningOne) {
    testing::LogCapture log;
    auto token = std::make_shared<int>(7);
    std::atomic<bool> pendingRan{false};
    std::atomic<bool> runningFinished{false};
    const auto started = std::chrono::steady_clock::now();
    {
        SerialDeadlineQueue queue;
        std::promise<void> entered;
        ASSERT_TRUE(queue.submit([&] {
            entered.set_value();
            std::this_thread::sleep_for(50ms);
            runningFinished = true;
        }));
        ASSERT_TRUE(queue.submitAt(hostTicks() + msToTicks(60'000),
                                   [&, token] { pendingRan = *token == 7; }));
        ASSERT_TRUE(queue.submitAt(hostTicks() + msToTicks(30'000), [token] {}));
        ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
        EXPECT_EQ(token.use_count(), 3);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s)
        << "destruction waited for a pending deadline";
    EXPECT_TRUE(runningFinished);
    EXPECT_FALSE(pendingRan);
    EXPECT_EQ(token.use_count(), 1) << "captures of discarded tasks were not destroyed";
    EXPECT_EQ(log.count("com.nomari.clavio.classify shut down with 2 task(s) not run"), 1u);
}

TEST(SerialDeadlineQueue, FullQueueRefusesTheNewestTask) {
    SerialDeadlineQueue queue("test.full", 3);
    Gate gate;
    ASSERT_TRUE(queue.submit(gate.task()));
    ASSERT_TRUE(gate.entered());
    std::atomic<int> ran{0};
    const std::uint64_t due = hostTicks();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(queue.submitAt(due, [&] { ++ran; }));
    }
    auto token = std::make_shared<int>(0);
    EXPECT_FALSE(queue.submitAt(due, [&ran, token] { ran += 100; }));
    EXPECT_EQ(token.use_count(), 1) << "a refused task must be destroyed";
    EXPECT_EQ(queue.refusedCount(), 1u);
    gate.open();
    ASSERT_TRUE(queue.waitUntilIdle(5s));
    EXPECT_EQ(ran, 3);
    EXPECT_TRUE(queue.submit([&] { ++ran; })) << "room again once drained";
}

} // namespace
} // namespace clavio
