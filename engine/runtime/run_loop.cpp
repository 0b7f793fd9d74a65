#include "engine/runtime/run_loop.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <string>

#include "engine/core/log.h"
#include "engine/ports/clock.h"
#include "engine/runtime/guarded_task.h"

namespace clavio {

namespace {

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

std::uint64_t addSaturating(std::uint64_t a, std::uint64_t b) {
    return a > kNever - b ? kNever : a + b;
}

// The first fire time after `now` on the cadence prev, prev + interval, ...
std::uint64_t nextOnCadence(std::uint64_t previous, std::uint64_t interval, std::uint64_t now) {
    const std::uint64_t next = addSaturating(previous, interval);
    if (next > now) {
        return next;
    }
    const std::uint64_t steps = (now - previous) / interval + 1;
    return steps > kNever / interval ? kNever : addSaturating(previous, steps * interval);
}

} // namespace

RunLoop::RunLoop() : _mainThread(std::this_thread::get_id()) {}

RunLoop::~RunLoop() = default;

void RunLoop::post(std::function<void()> task) {
    if (!task) {
        return;
    }
    {
        std::lock_guard lock(_mutex);
        _posted.push_back(std::move(task));
    }
    _wake.notify_one();
}

TimerHandle RunLoop::scheduleRepeating(std::chrono::nanoseconds interval,
                                       std::function<void()> tick) {
    const std::uint64_t ticks = ticksFromDuration(interval);
    if (ticks == 0 || !tick) {
        logLine("[Clavio] Repeating timer refused: its interval must be positive");
        return TimerHandle();
    }
    auto control = std::make_shared<detail::TimerControl>();
    {
        std::lock_guard lock(_mutex);
        _timers.push_back(Timer{control, ticks, addSaturating(hostTicks(), ticks),
                                std::make_shared<std::function<void()>>(std::move(tick))});
    }
    _wake.notify_one();
    return TimerHandle(std::move(control));
}

bool RunLoop::isMainThread() const noexcept {
    return std::this_thread::get_id() == _mainThread;
}

void RunLoop::run() {
    loop(nullptr, std::nullopt);
}

void RunLoop::runFor(std::chrono::nanoseconds duration) {
    loop(nullptr, addSaturating(hostTicks(), ticksFromDuration(duration)));
}

bool RunLoop::runUntil(const std::function<bool()>& predicate, std::chrono::nanoseconds timeout) {
    std::optional<std::uint64_t> end;
    if (timeout != std::chrono::nanoseconds::max()) {
        end = addSaturating(hostTicks(), ticksFromDuration(timeout));
    }
    return loop(predicate ? &predicate : nullptr, end) == Exit::predicate;
}

void RunLoop::quit() {
    {
        std::lock_guard lock(_mutex);
        _quitRequested = true;
    }
    _wake.notify_all();
}

RunLoop::Exit RunLoop::loop(const std::function<bool()>* predicate,
                            std::optional<std::uint64_t> endTicks) {
    for (;;) {
        if (predicate && (*predicate)()) {
            return Exit::predicate;
        }
        std::function<void()> task;
        std::shared_ptr<std::function<void()>> tick;
        std::shared_ptr<detail::TimerControl> tickControl;
        {
            std::unique_lock lock(_mutex);
            if (_quitRequested) {
                _quitRequested = false;
                return Exit::quit;
            }
            if (!_posted.empty()) {
                task = std::move(_posted.front());
                _posted.pop_front();
            } else {
                std::erase_if(_timers, [](const Timer& t) {
                    return !t.control->valid.load(std::memory_order_acquire);
                });
                const std::uint64_t now = hostTicks();
                Timer* earliest = nullptr;
                for (Timer& t : _timers) {
                    if (!earliest || t.nextFire < earliest->nextFire) {
                        earliest = &t;
                    }
                }
                if (earliest && earliest->nextFire <= now) {
                    tick = earliest->tick;
                    tickControl = earliest->control;
                    earliest->nextFire = nextOnCadence(earliest->nextFire, earliest->interval, now);
                } else {
                    if (endTicks && now >= *endTicks) {
                        return Exit::timeout;
                    }
                    const std::uint64_t wakeAt =
                        std::min(earliest ? earliest->nextFire : kNever, endTicks.value_or(kNever));
                    if (wakeAt == kNever) {
                        _wake.wait(lock);
                    } else {
                        _wake.wait_for(lock, durationFromTicks(wakeAt - now));
                    }
                    continue;
                }
            }
        }
        if (task) {
            runGuardedTask(task, "Main queue");
        } else if (tickControl->valid.load(std::memory_order_acquire)) {
            runGuardedTask(*tick, "Main queue");
        }
    }
}

} // namespace clavio
