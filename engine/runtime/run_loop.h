// A small main queue for the command line: posted tasks and repeating timers
// run on the thread that calls run(), runFor() or runUntil(). Timers follow
// the process clock (ports/clock.h). No thread of its own: a program that
// wants a main loop lends it its main thread.
//
// Threading: the thread that constructs the loop is its main thread and the
// only one that may run it. post() and quit() are callable from any thread;
// they wake a waiting loop. Tasks and ticks run without the internal lock
// held, so they may post, schedule timers and invalidate handles freely.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/ports/main_queue.h"

namespace clavio {

class RunLoop final : public MainQueue {
public:
    RunLoop();
    ~RunLoop() override;
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    void post(std::function<void()> task) override;
    TimerHandle scheduleRepeating(std::chrono::nanoseconds interval,
                                  std::function<void()> tick) override;
    bool isMainThread() const noexcept override;

    // Main thread. Runs tasks and timers until quit() is called.
    void run();
    // Main thread. Runs tasks and timers for `duration` of the process clock,
    // or until quit().
    void runFor(std::chrono::nanoseconds duration);
    // Main thread. Runs until `predicate` holds (checked before waiting and
    // after every task and tick, so state changed by another thread should
    // be announced with a post), quit() or the timeout. True if the
    // predicate held.
    bool runUntil(const std::function<bool()>& predicate,
                  std::chrono::nanoseconds timeout = std::chrono::nanoseconds::max());

    // Any thread. Makes the current (or else the next) run return after the
    // task in progress.
    void quit();

private:
    enum class Exit { quit, predicate, timeout };
    struct Timer {
        std::shared_ptr<detail::TimerControl> control;
        std::uint64_t interval = 0;
        std::uint64_t nextFire = 0;
        std::shared_ptr<std::function<void()>> tick;
    };

    Exit loop(const std::function<bool()>* predicate, std::optional<std::uint64_t> endTicks);

    const std::thread::id _mainThread;
    std::mutex _mutex;
    std::condition_variable _wake;
    std::deque<std::function<void()>> _posted;
    std::vector<Timer> _timers;
    bool _quitRequested = false;
};

} // namespace clavio
