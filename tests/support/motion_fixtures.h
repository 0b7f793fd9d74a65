// Motion-ring fixtures: a heap-allocated ring, writes of a chosen magnitude,
// and a virtual process clock for the scope of a test.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/ports/clock.h"
#include "engine/sensing/ring_buffer.h"

namespace clavio::testing {

inline constexpr std::uint64_t kTicksPerMs = 1'000'000; // ticks are nanoseconds

inline std::unique_ptr<TCARingBuffer> makeRing() {
    auto ring = std::make_unique<TCARingBuffer>();
    tca_ring_init(ring.get());
    return ring;
}

// A sample whose magnitude is exactly `magnitude` (sqrt(m·m) == |m| in IEEE).
inline void writeMagnitude(TCARingBuffer* ring, std::uint64_t timestamp, float magnitude) {
    tca_ring_write(ring, timestamp, magnitude, 0.0f, 0.0f);
}

// Replaces the process clock with a virtual one for the scope.
class ScopedVirtualClock {
public:
    explicit ScopedVirtualClock(std::uint64_t start = 0) : _clock(start) {
        _previous = setClockSource(&_clock);
    }
    ~ScopedVirtualClock() { setClockSource(_previous); }
    void set(std::uint64_t ticks) { _clock.set(ticks); }

private:
    VirtualClock _clock;
    ClockSource* _previous = nullptr;
};

} // namespace clavio::testing
