#include "engine/ports/clock.h"

#include <chrono>

namespace clavio {

namespace {
SteadyClock gSteadyClock;
std::atomic<ClockSource*> gClock{&gSteadyClock};
} // namespace

std::uint64_t SteadyClock::nowTicks() const noexcept {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<std::uint64_t>(ns.count());
}

std::uint64_t hostTicks() noexcept {
    return gClock.load(std::memory_order_acquire)->nowTicks();
}

ClockSource* setClockSource(ClockSource* clock) noexcept {
    return gClock.exchange(clock ? clock : &gSteadyClock, std::memory_order_acq_rel);
}

ClockSource& clockSource() noexcept {
    return *gClock.load(std::memory_order_acquire);
}

} // namespace clavio
