// Synthetic typing sessions with known strike forces, for measuring how well
// the classification follows the hand.
//
// Each press makes the chassis ring: a damped vibration (90 to 160 Hz,
// dying out over 6 to 11 ms) that starts 1.5 to 6 ms after the key event,
// with an amplitude proportional to the strike's force times the key's
// coupling (0.7 to 1.4, by where the key sits relative to the sensor). The
// accelerometer sees it on top of about 1 g of gravity whose direction
// drifts slowly (the laptop tilts on a lap) through a fixed sensor offset,
// plus white noise. Forces are log-uniform over an order of magnitude. A
// sensor below 1 kHz low-pass filters and decimates a signal simulated at a
// high internal rate, as its own digital filter does.
//
// The same configuration always gives the same session.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "engine/replay/session_trace.h"

namespace clavio::bench {

struct FidelitySessionConfig {
    std::uint64_t seed = 1;
    double seconds = 600.0;
    double sensorRateHz = 1000.0;
    double keysPerSecond = 8.0;
    double forceMin = 1.0; // forces log-uniform over [forceMin, forceMax]
    double forceMax = 10.0;
    // Vibration amplitude in g per unit of force at coupling 1: the range of
    // forces and couplings then spans the default deadzone (0.003 g) to
    // hard cap (0.14 g).
    double gPerForce = 0.0095;
    // White noise per axis and sample at 1 kHz (g, rms); at other rates it
    // follows the square root of the rate (a constant noise density).
    double noiseG = 0.0006;
};

struct FidelityPress {
    std::uint16_t code = 0;
    std::uint64_t keyTicks = 0; // the key-down record's time
    double force = 0.0;
    double coupling = 0.0; // the key's true coupling
};

struct FidelitySession {
    std::shared_ptr<const LoadedTrace> trace;
    std::vector<FidelityPress> presses; // in key-down order
    std::map<std::uint16_t, double> couplings;
};

// The keys a session types: letters, digits, punctuation and the space bar.
std::vector<std::uint16_t> fidelityKeyCodes();

// The coupling of every typed key for a seed: a sensor placed somewhere
// near the middle, keys coupling less the further they sit from it, plus a
// per-key variation (the row, the case's ribs).
std::map<std::uint16_t, double> fidelityCouplings(std::uint64_t seed);

// Throws std::invalid_argument for a configuration that cannot make a
// session (non-positive rate, duration or typing speed), and
// std::runtime_error if the trace cannot be built.
FidelitySession makeFidelitySession(const FidelitySessionConfig& config);

} // namespace clavio::bench
