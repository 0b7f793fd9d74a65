// The serial classify queue: work that must never overlap (classifications,
// baseline updates) runs one task at a time, ordered by deadline and, for
// equal deadlines, by submission order. A task with a deadline already passed
// runs as soon as the queue is free.
//
// Threading: submitAt() and submit() are callable from any thread, including
// the keyboard callback: they never allocate (the task is stored inline) and
// never wait for a running task. Tasks run on the queue's own context, one at
// a time; everything a task touches that other threads also touch must be
// protected as usual. Implementations: SerialDeadlineQueue (a worker thread
// on the process clock) and VirtualTimeScheduler (virtual time, one thread).
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/core/inline_task.h"
#include "engine/ports/clock.h"

namespace clavio {

// Large enough for a weak reference, a pointer to captured state and a
// KeyEvent; a bigger capture fails to compile.
using ClassifyTask = InlineTask<112>;

class ClassifyQueue {
public:
    static constexpr std::string_view label = "com.nomari.clavio.classify";

    virtual ~ClassifyQueue() = default;

    // Any thread. Runs `task` once hostTicks() has reached `deadlineTicks`.
    // Returns false when the queue refuses the task (shut down, or full:
    // the newest task is refused, see the implementation), in which case the
    // task is destroyed without running.
    virtual bool submitAt(std::uint64_t deadlineTicks, ClassifyTask task) noexcept = 0;

    // Any thread. Runs `task` as soon as the queue is free.
    bool submit(ClassifyTask task) noexcept { return submitAt(hostTicks(), std::move(task)); }

    // Any thread. True while called from a task of this queue.
    virtual bool isCurrentQueue() const noexcept = 0;
};

} // namespace clavio
