// The process-wide clock source. Key events, sensor reports and queue
// deadlines are all stamped from it, so replacing it with a VirtualClock
// moves the whole system onto virtual time (offline rendering, tests).
//
// Threading: hostTicks() is callable from any thread, including real-time
// ones (one atomic load and a virtual call). setClockSource() is called by
// the composition root or a test before the threads that read the clock
// start, and the previous clock must outlive any reader still using it.
#pragma once

#include <atomic>
#include <cstdint>

namespace clavio {

class ClockSource {
public:
    virtual ~ClockSource() = default;
    // Monotonic ticks (nanoseconds on Linux). Any thread; real-time safe.
    virtual std::uint64_t nowTicks() const noexcept = 0;
};

// CLOCK_MONOTONIC through std::chrono::steady_clock (the same clock on Linux).
class SteadyClock final : public ClockSource {
public:
    std::uint64_t nowTicks() const noexcept override;
};

// A clock that only moves when told to. Any thread may read it; the driver
// of virtual time (one thread) advances it.
class VirtualClock final : public ClockSource {
public:
    explicit VirtualClock(std::uint64_t start = 0) noexcept : _now(start) {}
    std::uint64_t nowTicks() const noexcept override {
        return _now.load(std::memory_order_acquire);
    }
    void set(std::uint64_t ticks) noexcept { _now.store(ticks, std::memory_order_release); }
    void advance(std::uint64_t ticks) noexcept { _now.fetch_add(ticks, std::memory_order_acq_rel); }

private:
    std::atomic<std::uint64_t> _now;
};

// Any thread. The current process-wide clock's ticks.
std::uint64_t hostTicks() noexcept;

// Replaces the process-wide clock; nullptr restores the steady clock.
// Returns the previous one.
ClockSource* setClockSource(ClockSource* clock) noexcept;
ClockSource& clockSource() noexcept;

} // namespace clavio
