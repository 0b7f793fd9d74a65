// The classify queue on real time: one worker thread runs the tasks one at a
// time in (deadline, submission) order, sleeping on a condition variable
// until the earliest deadline of the process clock or a new, earlier task.
//
// Threading: submitAt() from any thread. It takes the queue's mutex for one
// heap insertion into storage reserved at construction (no allocation) and
// wakes the worker only when the new task is the earliest; the worker holds
// the mutex only to pop, never while a task runs, so a submitter never waits
// behind a task. (A lock-free submission ring was considered; waking a
// sleeping thread needs the lock or a system call either way, and the
// libstdc++ 12 timed semaphore that would avoid both has known lost-wakeup
// faults.) Full-queue policy: the newest task is refused (submitAt returns
// false) and counted, because the tasks already queued have been promised a
// deadline and a queue that deep means the worker is stuck; memory stays
// bounded without allocating. Destruction discards the tasks that have not
// run (their captures are destroyed) and joins the worker after the task in
// progress.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/ports/classify_queue.h"

namespace clavio {

class SerialDeadlineQueue final : public ClassifyQueue {
public:
    static constexpr std::size_t kDefaultCapacity = 1024;

    // Starts the worker thread, named `label` through the thread-naming hook.
    explicit SerialDeadlineQueue(std::string label = std::string(ClassifyQueue::label),
                                 std::size_t capacity = kDefaultCapacity);
    ~SerialDeadlineQueue() override;
    SerialDeadlineQueue(const SerialDeadlineQueue&) = delete;
    SerialDeadlineQueue& operator=(const SerialDeadlineQueue&) = delete;

    bool submitAt(std::uint64_t deadlineTicks, ClassifyTask task) noexcept override;
    bool isCurrentQueue() const noexcept override;

    // Any thread but the worker. Waits until no task is queued or running,
    // or until the timeout (then false). For tests and orderly shutdowns.
    bool waitUntilIdle(std::chrono::nanoseconds timeout);

    const std::string& label() const noexcept { return _label; }
    // Tasks refused because the queue was full or shutting down.
    std::uint64_t refusedCount() const noexcept { return _refused.load(std::memory_order_relaxed); }

private:
    struct Entry {
        std::uint64_t deadline;
        std::uint64_t sequence;
        ClassifyTask task;
    };

    void work();

    const std::string _label;
    const std::size_t _capacity;
    std::mutex _mutex;
    std::condition_variable _wake;
    std::condition_variable _idle;
    std::vector<Entry> _heap; // min-heap on (deadline, sequence), capacity reserved
    std::uint64_t _nextSequence = 0;
    bool _busy = false;
    bool _stopping = false;
    std::atomic<std::uint64_t> _refused{0};
    std::thread _worker;
};

} // namespace clavio
