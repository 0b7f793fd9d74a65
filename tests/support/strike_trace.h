// Session traces of known strikes: an accelerometer at 1 kHz resting at
// exactly 1 g (z axis), and for each strike a key down, one sample 3 ms later
// deviating by the strike's amplitude, autorepeats while held, and a key up.
#pragma once

#include <cmath>
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
    // Microphone blocks of 5 ms at 48 kHz over the same span: white noise of
    // micNoise peak, all zeros before micSilentUntil seconds, full scale
    // (alternating +1 and -1) before micClippedUntil seconds, and for each
    // strike a 4 kHz click 2 ms after the key, decaying in 1 ms, whose peak
    // is the strike's amplitudeG.
    bool withMicrophone = false;
    double micNoise = 0.002;
    double micSilentUntil = 0.0;
    double micClippedUntil = 0.0;

    static std::uint64_t keyTicks(const Strike& s) { return ticks(s.atSeconds); }
    static std::uint64_t ticks(double seconds) {
        return kStrikeTraceOrigin + std::uint64_t(std::llround(seconds * 1e9));
    }
    // Writes the trace; false when it could not be written.
    bool write(const std::filesystem::path& path) const;
};

} // namespace clavio::testing
