// Session traces of known strikes for the render tests: an accelerometer at
// 1 kHz resting at exactly 1 g (z axis), and for each strike a key down, one
// sample 3 ms later that deviates by the strike's amplitude, and a key up.
// A held key sends autorepeats while it is down. Written with the trace
// writer, in time order.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace clavio::testing {

inline constexpr std::uint64_t kStrikeTraceOrigin = 1'000'000'000; // first record's ticks

struct Strike {
    double atSeconds = 0.0; // key down, from the trace's first record
    std::uint16_t code = 0;
    double amplitudeG = 0.0; // the one sample's deviation from 1 g
    double holdSeconds = 0.08;
    double repeatEverySeconds = 0.0; // > 0: autorepeats while held
};

struct StrikeTrace {
    double seconds = 3.0; // accelerometer span, from the first record
    bool withAccelerometer = true;
    std::vector<Strike> strikes;

    // Ticks of a strike's key down.
    static std::uint64_t keyTicks(const Strike& s);
    // Writes the trace; false when it could not be written.
    bool write(const std::filesystem::path& path) const;
};

} // namespace clavio::testing
