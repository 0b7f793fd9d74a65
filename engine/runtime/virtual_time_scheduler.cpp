#include "engine/runtime/virtual_time_scheduler.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <string>

#include "engine/core/log.h"
#include "engine/runtime/guarded_task.h"

namespace clavio {

namespace {

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

template <typename E> bool runsLater(const E& a, const E& b) {
    return a.time != b.time ? a.time > b.time : a.sequence > b.sequence;
}

} // namespace

VirtualTimeScheduler::VirtualTimeScheduler(std::uint64_t startTicks)
    : _clock(startTicks), _previousClock(setClockSource(this)),
      _driver(std::this_thread::get_id()) {}

VirtualTimeScheduler::~VirtualTimeScheduler() {
    setClockSource(_previousClock);
}

void VirtualTimeScheduler::pushLocked(std::uint64_t time, Work work) {
    _heap.push_back(Entry{time, _nextSequence++, std::move(work)});
    std::push_heap(_heap.begin(), _heap.end(), runsLater<Entry>);
}

void VirtualTimeScheduler::post(std::function<void()> task) {
    if (!task) {
        return;
    }
    std::lock_guard lock(_mutex);
    pushLocked(_clock.nowTicks(), std::move(task));
}

TimerHandle VirtualTimeScheduler::scheduleRepeating(std::chrono::nanoseconds interval,
                                                    std::function<void()> tick) {
    const std::uint64_t ticks = ticksFromDuration(interval);
    if (ticks == 0 || !tick) {
        logLine("[Clavio] Repeating timer refused: its interval must be positive");
        return TimerHandle();
    }
    auto control = std::make_shared<detail::TimerControl>();
    auto timer = std::make_shared<Timer>(Timer{control, ticks, std::move(tick)});
    std::lock_guard lock(_mutex);
    const std::uint64_t now = _clock.nowTicks();
    pushLocked(now > kNever - ticks ? kNever : now + ticks, std::move(timer));
    return TimerHandle(std::move(control));
}

bool VirtualTimeScheduler::isMainThread() const noexcept {
    return std::this_thread::get_id() == _driver &&
           _running.load(std::memory_order_relaxed) != Running::classify;
}

bool VirtualTimeScheduler::submitAt(std::uint64_t deadlineTicks, ClassifyTask task) noexcept {
    if (!task) {
        return false;
    }
    std::lock_guard lock(_mutex);
    pushLocked(deadlineTicks, std::move(task));
    return true;
}

bool VirtualTimeScheduler::isCurrentQueue() const noexcept {
    return std::this_thread::get_id() == _driver &&
           _running.load(std::memory_order_relaxed) == Running::classify;
}

std::size_t VirtualTimeScheduler::runUntil(std::uint64_t ticks) {
    if (_running.load(std::memory_order_relaxed) != Running::nothing) {
        logLine("[Clavio] Virtual time cannot be advanced from inside one of its tasks");
        return 0;
    }
    std::size_t ran = 0;
    for (;;) {
        Entry entry;
        {
            std::lock_guard lock(_mutex);
            if (_heap.empty() || _heap.front().time > ticks) {
                break;
            }
            std::pop_heap(_heap.begin(), _heap.end(), runsLater<Entry>);
            entry = std::move(_heap.back());
            _heap.pop_back();
        }
        // Time never runs backwards: overdue work runs at the current time.
        if (entry.time > _clock.nowTicks()) {
            _clock.set(entry.time);
        }
        if (runEntry(entry)) {
            ++ran;
        }
    }
    if (ticks > _clock.nowTicks()) {
        _clock.set(ticks);
    }
    return ran;
}

bool VirtualTimeScheduler::runEntry(Entry& entry) {
    if (auto* task = std::get_if<std::function<void()>>(&entry.work)) {
        _running.store(Running::main, std::memory_order_relaxed);
        runGuardedTask(*task, "Virtual-time");
    } else if (auto* classify = std::get_if<ClassifyTask>(&entry.work)) {
        _running.store(Running::classify, std::memory_order_relaxed);
        runGuardedTask(*classify, "Virtual-time");
    } else {
        const auto& timer = std::get<std::shared_ptr<Timer>>(entry.work);
        if (!timer->control->valid.load(std::memory_order_acquire)) {
            return false;
        }
        _running.store(Running::main, std::memory_order_relaxed);
        runGuardedTask(timer->tick, "Virtual-time");
        if (timer->control->valid.load(std::memory_order_acquire) &&
            entry.time <= kNever - timer->interval) {
            std::lock_guard lock(_mutex);
            pushLocked(entry.time + timer->interval, timer);
        }
    }
    _running.store(Running::nothing, std::memory_order_relaxed);
    return true;
}

std::size_t VirtualTimeScheduler::advanceBy(std::chrono::nanoseconds duration) {
    const std::uint64_t now = _clock.nowTicks();
    const std::uint64_t step = ticksFromDuration(duration);
    return runUntil(now > kNever - step ? kNever : now + step);
}

std::optional<std::uint64_t> VirtualTimeScheduler::nextDueTicks() const {
    std::lock_guard lock(_mutex);
    // Stopped timers stay in the heap until their turn comes; they still count
    // here, which at worst makes a driver stop once for nothing.
    if (_heap.empty()) {
        return std::nullopt;
    }
    return _heap.front().time;
}

std::size_t VirtualTimeScheduler::pendingCount() const {
    std::lock_guard lock(_mutex);
    return _heap.size();
}

} // namespace clavio
