// An immutable snapshot that one thread replaces whole while others read it,
// without the readers ever locking, allocating or freeing.
//
// Threading contract:
// - read() from any thread, including the keyboard callback: two atomic
//   read-modify-writes on a reader counter and one atomic load; no lock, no
//   allocation, no system call. The guard must be short-lived (a lookup and
//   a copy of what is needed, never a wait for the writer's thread), and one
//   thread must not hold two guards of the same cell at once.
// - publish() from one writer at a time (the main thread; a mutex keeps
//   concurrent writers correct). It swaps the new snapshot in, then waits
//   until no reader is inside a guard, then frees the old snapshot on its own
//   thread. Every reader that entered after the swap holds the new snapshot,
//   so the wait ends as soon as the readers that might still hold the old one
//   have left.
// - The destructor must not run while a guard is held.
//
// Ordering: a reader increments the counter, then loads the pointer; the
// writer exchanges the pointer, then reads the counter; all four are
// sequentially consistent. So either the writer sees the reader's increment
// (and waits for it), or the reader's load comes after the exchange (and sees
// the new snapshot).
//
// Rejected: std::atomic<std::shared_ptr> (libstdc++ 12 spins on a lock bit in
// every load, and the reader that drops the last reference frees the old
// snapshot on its own thread, which may be the keyboard callback); keeping
// every retired snapshot until the cell dies (memory grows with every
// replacement).
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
        ~ReadGuard() { _cell._readers.fetch_sub(1, std::memory_order_seq_cst); }
        const T& operator*() const noexcept { return *_snapshot; }
        const T* operator->() const noexcept { return _snapshot; }
        const T* get() const noexcept { return _snapshot; }

    private:
        friend class SnapshotCell;
        explicit ReadGuard(const SnapshotCell& cell) noexcept : _cell(cell) {
            _cell._readers.fetch_add(1, std::memory_order_seq_cst);
            _snapshot = _cell._current.load(std::memory_order_seq_cst);
        }
        const SnapshotCell& _cell;
        const T* _snapshot = nullptr;
    };

    // Any thread. Null only when the cell was made with a null snapshot.
    ReadGuard read() const noexcept { return ReadGuard(*this); }

    // Writer thread. Swaps `next` in and frees the snapshot it replaces once
    // no reader can still hold it.
    void publish(std::unique_ptr<const T> next) {
        std::lock_guard lock(_writer);
        const T* old = _current.exchange(next.release(), std::memory_order_seq_cst);
        waitForReaders();
        delete old;
    }

    // Writer thread (tests). Readers inside a guard right now.
    std::uint32_t readersInside() const noexcept { return _readers.load(); }

private:
    void waitForReaders() const {
        // Readers stay a few hundred nanoseconds; a reader preempted inside
        // its guard is waited for with short sleeps rather than a hot spin.
        for (int spin = 0; _readers.load(std::memory_order_seq_cst) != 0; ++spin) {
            if (spin < 64) {
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        }
    }

    std::atomic<const T*> _current;
    mutable std::atomic<std::uint32_t> _readers{0};
    std::mutex _writer;
};

} // namespace clavio
