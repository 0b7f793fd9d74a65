#include "engine/ports/main_queue.h"

#include <limits>

#include "engine/core/timebase.h"

namespace clavio {

TimerHandle& TimerHandle::operator=(TimerHandle&& other) noexcept {
    if (this != &other) {
        invalidate();
        _control = std::move(other._control);
    }
    return *this;
}

void TimerHandle::invalidate() noexcept {
    if (_control) {
        _control->valid.store(false, std::memory_order_release);
    }
}

bool TimerHandle::isValid() const noexcept {
    return _control && _control->valid.load(std::memory_order_acquire);
}

std::uint64_t ticksFromDuration(std::chrono::nanoseconds duration) noexcept {
    if (duration.count() <= 0) {
        return 0;
    }
    // ticks = ns × denom ÷ numer, split so that no intermediate overflows.
    const auto& info = tca_timebase_info();
    const std::uint64_t numer = info.numer ? info.numer : 1;
    const std::uint64_t denom = info.denom ? info.denom : 1;
    const auto ns = static_cast<std::uint64_t>(duration.count());
    const std::uint64_t whole = ns / numer;
    const std::uint64_t rest = ns % numer;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    if (whole > kMax / denom) {
        return kMax;
    }
    const std::uint64_t ticks = whole * denom;
    const std::uint64_t fraction = rest * denom / numer; // rest < numer < 2^32: no overflow
    return ticks > kMax - fraction ? kMax : ticks + fraction;
}

std::chrono::nanoseconds durationFromTicks(std::uint64_t ticks) noexcept {
    const std::uint64_t ns = tca_mach_to_ns(ticks);
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return std::chrono::nanoseconds(static_cast<std::int64_t>(ns > kMax ? kMax : ns));
}

} // namespace clavio
