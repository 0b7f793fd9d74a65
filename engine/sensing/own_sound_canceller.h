// Takes Clavio's own sounds out of the microphone's strike envelope. The
// mixer writes the envelope of what it plays into its own ring (the same
// reduction as the microphone's, see mic_envelope.h); this learns how that
// envelope reaches the microphone (a delay and a gain: speakers, room and
// the output's latency) and writes the microphone's envelope minus the
// delayed, scaled own envelope into a ring the classifier reads.
//
// Learning runs while Clavio's sounds play, away from the keys: each
// learn() fits, over the envelopes of a past window with the milliseconds
// around each key left out (the keys are told by noteKey()), the gain of every candidate delay by
// least squares on the deviation from the window's floor, takes the delay
// that explains the most, and moves the estimates a step towards it. With
// headphones the microphone hears nothing of the mixer, and the fitted gain
// falls to about zero by itself.
//
// Threading contract: every member runs on the classify queue (one thread
// at a time); the source rings are read lock-free while their writers (the
// capture and render threads) run. Nothing here allocates after
// construction.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "engine/sensing/ring_buffer.h"

namespace clavio {

class OwnSoundCanceller {
public:
    static constexpr int kMaxDelayMs = 80;
    static constexpr int kLearnWindowMs = 400;

    // `mic` and `own` are the two envelope rings (1 kHz, ms-aligned stamps).
    OwnSoundCanceller(const TCARingBuffer* mic, const TCARingBuffer* own);

    // A key went down at `ticks`: its click must not be learnt as the
    // mixer's sound. Keeps the last 16.
    void noteKey(std::uint64_t ticks) noexcept;
    // Fits the path on the window ending `settleMs` before `now`. Returns
    // true when the window had enough of the mixer's sound to learn from.
    bool learn(std::uint64_t now, int settleMs = 60) noexcept;
    // Brings the corrected ring up to `now`.
    void update(std::uint64_t now) noexcept;

    const TCARingBuffer* correctedRing() const noexcept { return _corrected.get(); }
    float gain() const noexcept { return _gain; }
    int delayMs() const noexcept { return _delayMs; }

private:
    // Copies the own envelope of [from, from + count ms) into _ownDense
    // (0 where the mixer wrote nothing: it was silent or suspended).
    void loadOwn(std::uint64_t from, std::size_t count) noexcept;

    const TCARingBuffer* _mic;
    const TCARingBuffer* _own;
    std::unique_ptr<TCARingBuffer> _corrected;
    std::uint64_t _msTicks;
    std::uint64_t _copiedUpTo = 0; // mic stamps up to this one are in _corrected
    std::array<std::uint64_t, 16> _keys{};
    std::size_t _nextKey = 0;
    float _gain = 0.0f;
    int _delayMs = 0;
    bool _learnt = false;
    // Scratch for learn() and update(), on the classify queue only.
    static constexpr std::size_t kScratch = kLearnWindowMs + kMaxDelayMs + 8;
    std::array<TCAMotionSample, kScratch> _window{};
    std::array<float, kScratch> _ownDense{};
    std::array<float, kScratch> _micDense{};
};

} // namespace clavio
