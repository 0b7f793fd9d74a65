// The microphone's strike envelope: what the classifier needs of the captured
// sound and nothing more. Each block is high-passed (key clicks carry their
// energy above 1 kHz; voices, hum and fans mostly below), rectified and
// reduced to its peak per millisecond, written into a motion ring as the
// magnitude of a sample stamped at the millisecond's start on the key-event
// clock. The samples themselves are dropped when the call returns.
//
// The same reduction makes the envelope of what the mixer plays
// (engine/audio), so that the two can be compared on one scale.
//
// Threading contract:
// - tca_mic_envelope_init: before the first block, not concurrently.
// - tca_mic_envelope_process: the one capture thread (or render thread) that
//   owns the state. No lock, no allocation, no log, no system call; it is the
//   ring's only writer.
// - The counters: any thread (relaxed atomics, read as health figures).
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/sensing/ring_buffer.h"

namespace clavio {

inline constexpr double kTCAMicHighpassHz = 1000.0;
// A sample at or beyond this magnitude counts as clipped.
inline constexpr float kTCAMicClipLevel = 0.999f;

struct TCAMicEnvelope {
    TCARingBuffer* ring = nullptr;
    double highpassHz = kTCAMicHighpassHz;
    std::uint64_t msTicks = 0;
    double ticksPerSecond = 0.0;
    // Second-order Butterworth high-pass for `rate`, recomputed when the
    // rate changes.
    double rate = 0.0;
    float b0 = 0.0f, b1 = 0.0f, b2 = 0.0f, a1 = 0.0f, a2 = 0.0f;
    float x1 = 0.0f, x2 = 0.0f, y1 = 0.0f, y2 = 0.0f;
    // The millisecond being gathered.
    bool bucketOpen = false;
    std::uint64_t bucketStart = 0;
    float bucketPeak = 0.0f;

    std::atomic<std::uint64_t> samples{0};
    std::atomic<std::uint64_t> clipped{0};
    std::atomic<std::uint64_t> zeros{0}; // samples exactly 0: a muted or dead source
    std::atomic<std::uint64_t> written{0}; // envelope values written to the ring
};

// Resets the state to write into `ring`.
void tca_mic_envelope_init(TCAMicEnvelope* state, TCARingBuffer* ring,
                           double highpassHz = kTCAMicHighpassHz) noexcept;

// Reduces one block of `count` mono samples at `rate` Hz whose first sample
// was taken at `firstTicks`. A millisecond is written once a later sample
// arrives (at most one block late); a jump in time closes it too.
void tca_mic_envelope_process(TCAMicEnvelope* state, const float* samples, std::uint32_t count,
                              double rate, std::uint64_t firstTicks) noexcept;

} // namespace clavio
