// The typing half of the demo session: a fixed text turned into timed key
// events (downs, ups, shift changes, one autorepeat run) and the strikes
// that go with them, each with a known strike force.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/replay/session_trace.h"

namespace clavio::demo {

// A deterministic random source that does not depend on the standard
// library's distributions (whose algorithms differ between implementations).
class Random {
public:
    explicit Random(std::uint64_t seed) : _state(seed) {}
    std::uint64_t bits();
    double uniform(); // [0, 1)
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    double normal(double mean, double sigma);

private:
    std::uint64_t _state;
};

// Strike force 0..1 to the size of the bump it leaves in the accelerometer,
// in g: 0.001 × 200^force. Exponential, like loudness: force 0 gives 1 mg
// (below the classifier's 3 mg deadzone up to force 0.207), force 1 gives
// 0.2 g (above its 0.14 g cap from force 0.933).
double strikeAmplitude(double force);

struct Strike {
    std::uint64_t keyTime = 0; // the key event that the strike belongs to
    std::uint16_t code = 0;
    TraceKeyKind kind = TraceKeyKind::down; // down, or flags for a shift press
    double force = 0.0;                     // 0..1, rounded to 1e-4
    double amplitude = 0.0;                 // g, strikeAmplitude(force)
    double onsetSeconds = 0.0;              // bump start, a few ms after the key event
    double direction[3] = {0.0, 0.0, -1.0}; // unit vector of the first lobe
};

struct TimedKey {
    std::uint64_t t = 0;
    TraceKey key;
};

struct TypingSession {
    std::vector<TimedKey> keys;  // in time order
    std::vector<Strike> strikes; // in time order
};

// Types the demo text starting at `startSeconds`.
TypingSession typeDemoText(Random& random, double startSeconds);

} // namespace clavio::demo
