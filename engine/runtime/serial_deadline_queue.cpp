#include "engine/runtime/serial_deadline_queue.h"

#include <algorithm>
#include <exception>

#include "engine/core/log.h"
#include "engine/ports/main_queue.h"
#include "engine/runtime/guarded_task.h"
#include "engine/runtime/thread_naming.h"

namespace clavio {

namespace {

thread_local const SerialDeadlineQueue* tCurrentQueue = nullptr;

// std::push_heap builds a max-heap; "later" first makes it a min-heap.
template <typename E> bool runsLater(const E& a, const E& b) {
    return a.deadline != b.deadline ? a.deadline > b.deadline : a.sequence > b.sequence;
}

} // namespace

SerialDeadlineQueue::SerialDeadlineQueue(std::string label, std::size_t capacity)
    : _label(std::move(label)), _capacity(capacity ? capacity : 1) {
    _heap.reserve(_capacity);
    _worker = std::thread([this] { work(); });
}

SerialDeadlineQueue::~SerialDeadlineQueue() {
    {
        std::lock_guard lock(_mutex);
        _stopping = true;
    }
    _wake.notify_all();
    _worker.join();
    std::size_t discarded = 0;
    {
        std::lock_guard lock(_mutex);
        discarded = _heap.size();
        _heap.clear();
    }
    _idle.notify_all();
    if (discarded > 0) {
        logLine("[Clavio] " + _label + " shut down with " + std::to_string(discarded) +
                " task(s) not run");
    }
}

bool SerialDeadlineQueue::submitAt(std::uint64_t deadlineTicks, ClassifyTask task) noexcept {
    bool earliest = false;
    {
        std::lock_guard lock(_mutex);
        if (_stopping || _heap.size() >= _capacity) {
            _refused.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        const std::uint64_t sequence = _nextSequence++;
        _heap.push_back(Entry{deadlineTicks, sequence, std::move(task)});
        std::push_heap(_heap.begin(), _heap.end(), runsLater<Entry>);
        earliest = _heap.front().sequence == sequence;
    }
    // A later task than the one the worker sleeps for needs no wake-up.
    if (earliest) {
        _wake.notify_one();
    }
    return true;
}

bool SerialDeadlineQueue::isCurrentQueue() const noexcept {
    return tCurrentQueue == this;
}

bool SerialDeadlineQueue::waitUntilIdle(std::chrono::nanoseconds timeout) {
    std::unique_lock lock(_mutex);
    return _idle.wait_for(lock, timeout, [this] { return _heap.empty() && !_busy; });
}

void SerialDeadlineQueue::work() {
    nameCurrentThread(_label);
    tCurrentQueue = this;
    std::unique_lock lock(_mutex);
    while (!_stopping) {
        if (_heap.empty()) {
            _idle.notify_all();
            _wake.wait(lock);
            continue;
        }
        const std::uint64_t now = hostTicks();
        const std::uint64_t deadline = _heap.front().deadline;
        if (deadline > now) {
            _wake.wait_for(lock, durationFromTicks(deadline - now));
            continue;
        }
        std::pop_heap(_heap.begin(), _heap.end(), runsLater<Entry>);
        ClassifyTask task = std::move(_heap.back().task);
        _heap.pop_back();
        _busy = true;
        lock.unlock();
        runGuardedTask(task, _label);
        task.reset(); // captures die on the worker, outside the lock
        lock.lock();
        _busy = false;
    }
    tCurrentQueue = nullptr;
}

} // namespace clavio
