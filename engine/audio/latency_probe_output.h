// An audio output that measures, without a lock, how long each key press
// waits for its sound: it wraps another output, and its render trampoline
// notes the process clock at the start of every render cycle that is the
// first to mix a newly started press.
//
// How a press is matched to its first cycle: the pipeline reports a press
// after its play calls returned (the voices are published by then), and
// notePress() then publishes the press's number with a release store. At
// the start of each cycle the render thread reads that number with an
// acquire load, before the mixer looks at any voice: every press noted by
// then has its voices visible to this cycle, which is therefore the first
// to render them (a press whose play calls overlap the cycle's start may
// already sound in the cycle before, so a delay is at worst one period
// long). The cycle's start time is its first frame's render time.
//
// Threading contract:
// - start() and stop(): the control (main) thread, as for any output.
// - notePress(): one thread, the classify queue (single producer); no lock,
//   no allocation.
// - The render trampoline: the wrapped output's render thread; it writes
//   only the first-frame slots, its frame count and its cycle counters,
//   reads the clock once per cycle, and takes no lock.
//
// Late cycles: a cycle that starts more than one whole period after the
// previous one's start plus that period (a gap over two periods) left the
// device without fresh audio for at least a period: the output underran, or
// would have with one period of buffering. Counted on the render thread
// (relaxed atomics, read afterwards); the longest gap is kept too. Only
// cycles of one stream are compared: the gap to the first cycle after
// start() is not.
// - drain(): one consumer thread (the main thread), not real-time.
// - Full-queue policy: at most kCapacity presses wait between notePress()
//   and drain(); a press beyond that is not measured (counted in dropped()),
//   because overwriting a slot the consumer has not read would pair a key
//   with another press's frame.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/ports/audio_output.h"

namespace clavio {

class LatencyProbeOutput final : public AudioOutput {
public:
    static constexpr std::size_t kCapacity = 4096;

    struct Measurement {
        std::uint64_t keyTicks = 0;        // the key event's timestamp
        std::uint64_t firstFrameTicks = 0; // start of the first cycle that mixed its voices
        std::uint64_t firstFrame = 0;      // that cycle's first frame, counted from start()
        std::int64_t delayTicks() const { return std::int64_t(firstFrameTicks - keyTicks); }
    };

    // `inner` must outlive the probe.
    explicit LatencyProbeOutput(AudioOutput& inner) noexcept : _inner(inner) {}

    AudioOutputStart start(const AudioOutputRequest& request, AudioRenderFunction render,
                           void* context) override;
    void stop() override;

    // Classify queue, after the play calls of a press that started a voice.
    void notePress(std::uint64_t keyTicks) noexcept;

    // Consumer thread. Appends the presses whose first cycle has run, in
    // press order; returns how many.
    std::size_t drain(std::vector<Measurement>& out);

    std::uint64_t dropped() const noexcept { return _dropped.load(std::memory_order_relaxed); }
    // Control thread, after start(): what the wrapped output reported.
    const AudioOutputStart& started() const noexcept { return _started; }
    // Any thread: render cycles since start(), those that came late (see
    // above), and the longest gap between two cycle starts, in clock ticks.
    std::uint64_t cycles() const noexcept { return _cycles.load(std::memory_order_relaxed); }
    std::uint64_t lateCycles() const noexcept { return _late.load(std::memory_order_relaxed); }
    std::uint64_t longestGapTicks() const noexcept {
        return _longestGap.load(std::memory_order_relaxed);
    }
    std::uint64_t noted() const noexcept { return _noted.load(std::memory_order_relaxed); }

private:
    static int render(void* context, std::uint32_t frames, AudioBuffer* buffers,
                      std::uint32_t bufferCount) noexcept;

    AudioOutput& _inner;
    AudioRenderFunction _render = nullptr;
    void* _context = nullptr;
    AudioOutputStart _started;
    // Clock ticks per frame as a 32.32 fixed-point value: the requested rate
    // until start() returns with the one the output got.
    std::atomic<std::uint64_t> _ticksPerFrameQ32{0};

    // Slot i % kCapacity belongs to press i.
    std::array<std::uint64_t, kCapacity> _keyTicks{};   // written before _noted is published
    std::array<std::uint64_t, kCapacity> _frameTicks{}; // written before _rendered is published
    std::array<std::uint64_t, kCapacity> _frameIndex{}; // likewise
    std::uint64_t _framesRendered = 0;                  // render thread only (reset by start())
    std::uint64_t _lastCycleTicks = 0;                  // likewise; 0: no cycle yet
    std::uint64_t _lastCycleFrames = 0;                 // likewise
    std::atomic<std::uint64_t> _cycles{0};
    std::atomic<std::uint64_t> _late{0};
    std::atomic<std::uint64_t> _longestGap{0};
    std::atomic<std::uint64_t> _noted{0};    // producer: presses noted
    std::atomic<std::uint64_t> _rendered{0}; // render thread: presses given a first cycle
    std::atomic<std::uint64_t> _drained{0};  // consumer: presses read out
    std::atomic<std::uint64_t> _dropped{0};
};

} // namespace clavio
