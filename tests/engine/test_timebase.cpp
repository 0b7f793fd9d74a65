#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/ports/clock.h"
#include "engine/core/timebase.h"

using namespace clavio;

TEST(Timebase, MillisecondsToTicksSaturatesAtBothEnds) {
    EXPECT_EQ(tca_ms_to_mach(0.0), 0u);
    EXPECT_EQ(tca_ms_to_mach(-5.0), 0u);
    EXPECT_EQ(tca_ms_to_mach(10.0), 10'000'000u);
    EXPECT_EQ(tca_ms_to_mach(20.9999999), 20'999'999u); // truncated toward zero
    EXPECT_EQ(tca_ms_to_mach(std::nan("")), 0u);
    EXPECT_EQ(tca_ms_to_mach(-std::numeric_limits<double>::infinity()), 0u);
    EXPECT_EQ(tca_ms_to_mach(std::numeric_limits<double>::infinity()),
              std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(tca_ms_to_mach(1e300), std::numeric_limits<std::uint64_t>::max());
}

TEST(Timebase, TicksAreNanosecondsOfTheMonotonicClock) {
    EXPECT_EQ(tca_timebase_info().numer, 1u);
    EXPECT_EQ(tca_timebase_info().denom, 1u);
    EXPECT_EQ(tca_mach_to_ns(123456789u), 123456789u);
    EXPECT_DOUBLE_EQ(tca_mach_to_sec(1'500'000'000u), 1.5);
    // The largest tick count converts to a double of 2^64, which must not wrap.
    EXPECT_EQ(tca_mach_to_ns(std::numeric_limits<std::uint64_t>::max()),
              std::numeric_limits<std::uint64_t>::max());
}

TEST(Clock, VirtualClockReplacesTheProcessClockUntilRestored) {
    VirtualClock virtualClock(5'000);
    ClockSource* previous = setClockSource(&virtualClock);
    EXPECT_EQ(hostTicks(), 5'000u);
    virtualClock.advance(1'000);
    EXPECT_EQ(hostTicks(), 6'000u);
    setClockSource(previous);
    const std::uint64_t a = hostTicks();
    const std::uint64_t b = hostTicks();
    EXPECT_GT(a, 6'000u);
    EXPECT_GE(b, a);
}
