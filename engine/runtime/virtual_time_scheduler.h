// Virtual time for offline rendering and tests: one object is the process
// clock, the main queue and the classify queue at once. Nothing runs until
// the driver calls runUntil(t); that call runs every task of both queues due
// by t, one at a time in (time, submission) order, setting the clock to each
// task's time first, and leaves the clock at t. Repeating timers come back
// every interval, so a driver that alternates runUntil(t) with pulling a
// block of audio sees the same order of events as the real threads would,
// and the same inputs always give the same run.
//
// Threading: one driving thread (the constructing one) calls runUntil and
// runs every task; it is the "main thread", except while a classify task
// runs, when isCurrentQueue() is true instead. post(), submitAt() and
// scheduleRepeating() are safe from any thread. Construction installs the
// scheduler as the process clock and destruction restores the previous one,
// so schedulers nest like scopes and must not outlive the threads that read
// the clock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>
#include <vector>

#include "engine/ports/classify_queue.h"
#include "engine/ports/clock.h"
#include "engine/ports/main_queue.h"

namespace clavio {

class VirtualTimeScheduler final : public ClockSource, public MainQueue, public ClassifyQueue {
public:
    explicit VirtualTimeScheduler(std::uint64_t startTicks = 0);
    ~VirtualTimeScheduler() override;
    VirtualTimeScheduler(const VirtualTimeScheduler&) = delete;
    VirtualTimeScheduler& operator=(const VirtualTimeScheduler&) = delete;

    // ClockSource
    std::uint64_t nowTicks() const noexcept override { return _clock.nowTicks(); }

    // MainQueue: posts run at the current virtual time, after what is due now.
    void post(std::function<void()> task) override;
    TimerHandle scheduleRepeating(std::chrono::nanoseconds interval,
                                  std::function<void()> tick) override;
    bool isMainThread() const noexcept override;

    // ClassifyQueue: a past deadline runs at the current virtual time.
    bool submitAt(std::uint64_t deadlineTicks, ClassifyTask task) noexcept override;
    bool isCurrentQueue() const noexcept override;

    // Driving thread. Runs everything due by `ticks` (including what those
    // tasks schedule for no later than `ticks`) and leaves the clock at
    // `ticks`, or where it is if that is later. Returns the number of tasks
    // and ticks run. A call from inside a task is refused with a log line.
    std::size_t runUntil(std::uint64_t ticks);
    std::size_t advanceBy(std::chrono::nanoseconds duration);

    // Time of the earliest pending task or timer tick, if any.
    std::optional<std::uint64_t> nextDueTicks() const;
    std::size_t pendingCount() const;

private:
    enum class Running { nothing, main, classify };
    struct Timer {
        std::shared_ptr<detail::TimerControl> control;
        std::uint64_t interval;
        std::function<void()> tick;
    };
    using Work = std::variant<std::function<void()>, ClassifyTask, std::shared_ptr<Timer>>;
    struct Entry {
        std::uint64_t time;
        std::uint64_t sequence;
        Work work;
    };

    void pushLocked(std::uint64_t time, Work work);
    bool runEntry(Entry& entry); // false for a stopped timer

    VirtualClock _clock;
    ClockSource* _previousClock;
    const std::thread::id _driver;
    std::atomic<Running> _running{Running::nothing};
    mutable std::mutex _mutex;
    std::vector<Entry> _heap; // min-heap on (time, sequence)
    std::uint64_t _nextSequence = 0;
};

} // namespace clavio
