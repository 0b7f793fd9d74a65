// Conversions between monotonic ticks and milliseconds, nanoseconds and
// seconds. Ticks come from the process-wide clock (ports/clock.h), which on
// Linux counts nanoseconds, so both factors are 1.
//
// Threading: the factors are written once by a static initialiser before
// main() and only read afterwards; every function is callable from any
// thread, including real-time ones.
#pragma once

#include <cstdint>

namespace clavio {

struct TCATimebaseInfo {
    std::uint32_t numer = 1;
    std::uint32_t denom = 1;
};

// Queries the clock's ratio to nanoseconds and sets both factors. Runs as a
// static initialiser; calling it again is harmless.
void _tca_timebase_init() noexcept;

// ticks × numer ÷ denom, truncated toward zero; saturates at the 64-bit maximum.
std::uint64_t tca_mach_to_ns(std::uint64_t ticks) noexcept;
// ticks in seconds.
double tca_mach_to_sec(std::uint64_t ticks) noexcept;
// Milliseconds to ticks, truncated toward zero. A negative or NaN product gives
// 0; a product beyond the 64-bit range (including +infinity) gives UINT64_MAX.
std::uint64_t tca_ms_to_mach(double ms) noexcept;

const TCATimebaseInfo& tca_timebase_info() noexcept;

} // namespace clavio
