// The main queue: the thread of the user interface and the coordinator.
// Posted tasks run there in order, repeating timers fire there, and every
// write of an observable property happens there.
//
// Threading: post() is callable from any thread (not real-time: it may lock
// and allocate). scheduleRepeating() and the handles it returns belong to the
// main thread. isMainThread() is callable from anywhere.
// Implementations: RunLoop (command line), VirtualTimeScheduler (virtual
// time); the Qt application brings its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace clavio {

namespace detail {
// Shared between a timer's handle and the queue that fires it.
struct TimerControl {
    std::atomic<bool> valid{true};
};
} // namespace detail

// The owner's handle on a repeating timer. Invalidating it, assigning over it
// or destroying it stops the timer for good: a tick already running finishes,
// no further tick starts. A tick may invalidate or destroy its own handle.
class TimerHandle {
public:
    TimerHandle() noexcept = default;
    explicit TimerHandle(std::shared_ptr<detail::TimerControl> control) noexcept
        : _control(std::move(control)) {}
    TimerHandle(TimerHandle&& other) noexcept = default;
    TimerHandle& operator=(TimerHandle&& other) noexcept;
    TimerHandle(const TimerHandle&) = delete;
    TimerHandle& operator=(const TimerHandle&) = delete;
    ~TimerHandle() { invalidate(); }

    void invalidate() noexcept;
    bool isValid() const noexcept;

private:
    std::shared_ptr<detail::TimerControl> _control;
};

class MainQueue {
public:
    virtual ~MainQueue() = default;

    // Any thread. Runs `task` on the main thread after the tasks posted before it.
    virtual void post(std::function<void()> task) = 0;

    // Main thread. Calls `tick` every `interval`, the first time one interval
    // from now. A tick that comes late is not repeated for the intervals it
    // missed (real time); the next one keeps to the original cadence. An
    // interval that is not positive is refused with a log line and gives an
    // invalid handle.
    virtual TimerHandle scheduleRepeating(std::chrono::nanoseconds interval,
                                          std::function<void()> tick) = 0;

    // Any thread. True on the main thread (and, on virtual time, only while
    // no classify-queue task is running).
    virtual bool isMainThread() const noexcept = 0;
};

// A duration in ticks of the process clock; 0 for a duration that is not
// positive, the 64-bit maximum when it does not fit.
std::uint64_t ticksFromDuration(std::chrono::nanoseconds duration) noexcept;
// Ticks as a duration, for waits on std::chrono clocks; saturates.
std::chrono::nanoseconds durationFromTicks(std::uint64_t ticks) noexcept;

} // namespace clavio
