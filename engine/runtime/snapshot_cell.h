// An immutable snapshot that one thread replaces whole while others read it,
// without the readers ever locking, allocating or freeing.
//
// Threading contract:
// - read() from any thread, including the keyboard callback: a few atomic
//   loads and two atomic read-modify-writes on a reader counter; no lock, no
//   allocation, no system call. The guard must be short-lived (a lookup and
//   a copy of what is needed, never a wait for the writer's thread), and one
//   thread must not hold two guards of the same cell at once.
// - publish() from one writer at a time (the main thread; a mutex keeps
//   concurrent writers correct). It swaps the new snapshot in, moves new
//   readers to the other of two reader counters, waits until the counter the
//   earlier readers used drops to zero, then frees the old snapshot on its
//   own thread. Readers that keep arriving count on the other counter, so a
//   steady stream of readers never holds a replacement up.
// - The destructor must not run while a guard is held.
//
// Ordering (every operation sequentially consistent): a reader loads the
// epoch, increments that epoch's counter, loads the epoch again (if a writer
// advanced it meanwhile, the reader undoes its increment and starts over),
// then loads the pointer. The writer exchanges the pointer, advances the
// epoch, then waits on the counter of the epoch it left. A reader that got
// the old pointer confirmed its epoch before the writer advanced it, so it
// counts on the counter the writer waits for; a reader counted on the other
// counter loaded the pointer after an earlier writer's exchange, and that
// writer waited for it before this one could start.
//
// Rejected: std::atomic<std::shared_ptr> (libstdc++ 12 spins on a lock bit in
// every load, and the reader that drops the last reference frees the old
// snapshot on its own thread, which may be the keyboard callback); keeping
// every retired snapshot until the cell dies (memory grows with every
// replacement); one reader counter (a writer waits until no reader at all is
// inside, which continuous readers can put off indefinitely).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace clavio {

template <class T> class SnapshotCell {
public:
    explicit SnapshotCell(std::unique_ptr<const T> initial) : _current(initial.release()) {}
    ~SnapshotCell() { delete _current.load(std::memory_order_relaxed); }
    SnapshotCell(const SnapshotCell&) = delete;
    SnapshotCell& operator=(const SnapshotCell&) = delete;

    class ReadGuard {
    public:
        ReadGuard(const ReadGuard&) = delete;
        ReadGuard& operator=(const ReadGuard&) = delete;
        ~ReadGuard() { _counter->fetch_sub(1, std::memory_order_seq_cst); }
        const T& operator*() const noexcept { return *_snapshot; }
        const T* operator->() const noexcept { return _snapshot; }
        const T* get() const noexcept { return _snapshot; }

    private:
        friend class SnapshotCell;
        explicit ReadGuard(const SnapshotCell& cell) noexcept {
            for (;;) {
                const std::uint64_t epoch = cell._epoch.load(std::memory_order_seq_cst);
                std::atomic<std::uint32_t>& counter = cell._readers[epoch & 1u];
                counter.fetch_add(1, std::memory_order_seq_cst);
                if (cell._epoch.load(std::memory_order_seq_cst) == epoch) {
                    _counter = &counter;
                    break;
                }
                counter.fetch_sub(1, std::memory_order_seq_cst);
            }
            _snapshot = cell._current.load(std::memory_order_seq_cst);
        }
        std::atomic<std::uint32_t>* _counter = nullptr;
        const T* _snapshot = nullptr;
    };

    // Any thread. Null only when the cell was made with a null snapshot.
    ReadGuard read() const noexcept { return ReadGuard(*this); }

    // Writer thread. Swaps `next` in and frees the snapshot it replaces once
    // no reader can still hold it.
    void publish(std::unique_ptr<const T> next) {
        std::lock_guard lock(_writer);
        const T* old = _current.exchange(next.release(), std::memory_order_seq_cst);
        const std::uint64_t epoch = _epoch.fetch_add(1, std::memory_order_seq_cst);
        waitForReaders(_readers[epoch & 1u]);
        delete old;
    }

    // Any thread (tests). Readers inside a guard right now.
    std::uint32_t readersInside() const noexcept { return _readers[0].load() + _readers[1].load(); }

private:
    static void waitForReaders(const std::atomic<std::uint32_t>& counter) {
        // Readers stay a few hundred nanoseconds; a reader preempted inside
        // its guard is waited for with short sleeps rather than a hot spin.
        for (int spin = 0; counter.load(std::memory_order_seq_cst) != 0; ++spin) {
            if (spin < 64) {
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        }
    }

    std::atomic<const T*> _current;
    std::atomic<std::uint64_t> _epoch{0};
    mutable std::atomic<std::uint32_t> _readers[2] = {0, 0};
    std::mutex _writer;
};

} // namespace clavio
