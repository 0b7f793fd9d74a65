#include "engine/core/timebase.h"

#include <cmath>
#include <limits>

namespace clavio {

namespace {
TCATimebaseInfo _timebase;
double _mach_to_ns_factor = 1.0;
double _ns_to_mach_factor = 1.0;

// 2^64 as a double: the first value that no longer fits an unsigned 64-bit integer.
constexpr double kTwoTo64 = 18446744073709551616.0;

std::uint64_t saturatingToU64(double v) noexcept {
    if (!(v > 0.0)) { // negative, zero and NaN
        return 0;
    }
    if (v >= kTwoTo64) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return static_cast<std::uint64_t>(v);
}

struct TimebaseInitialiser {
    TimebaseInitialiser() noexcept { _tca_timebase_init(); }
} gTimebaseInitialiser;
} // namespace

void _tca_timebase_init() noexcept {
    // The process clock counts nanoseconds (std::chrono::steady_clock, i.e.
    // CLOCK_MONOTONIC), so the ratio is 1/1.
    _timebase.numer = 1;
    _timebase.denom = 1;
    _mach_to_ns_factor =
        static_cast<double>(_timebase.numer) / static_cast<double>(_timebase.denom);
    _ns_to_mach_factor =
        static_cast<double>(_timebase.denom) / static_cast<double>(_timebase.numer);
}

std::uint64_t tca_mach_to_ns(std::uint64_t ticks) noexcept {
    return saturatingToU64(static_cast<double>(ticks) * _mach_to_ns_factor);
}

double tca_mach_to_sec(std::uint64_t ticks) noexcept {
    return (static_cast<double>(ticks) * _mach_to_ns_factor) * 1e-9;
}

std::uint64_t tca_ms_to_mach(double ms) noexcept {
    return saturatingToU64((ms * 1e6) * _ns_to_mach_factor);
}

const TCATimebaseInfo& tca_timebase_info() noexcept {
    return _timebase;
}

} // namespace clavio
