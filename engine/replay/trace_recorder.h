// Collects a live session from up to three threads, the keyboard's, the
// accelerometer's and (when asked for) the microphone's, and writes it as one
// trace in time order.
//
// Each source pushes its records into its own lane, a fixed single-producer
// single-consumer queue, from inside its callbacks. The writer's thread
// drains the lanes and merges them: a trace refuses times going backwards, and
// the two threads' records reach it in no common order, so a record is
// written only once no lane can still deliver an earlier one. For that each
// producer raises its lane's watermark before each slice of waiting
// (beginSlice with the clock read then): every record it pushes afterwards is
// stamped at that time or later, because sources stamp records with the
// process clock when they see them. The microphone's lane has no slices: each
// block raises its watermark to the block's first sample, since the next
// block starts later. A closed lane holds nothing back; the microphone's lane
// exists only when the recorder is built with room for blocks, and is closed
// otherwise.
//
// Threading contract:
// - beginSlice, pushKey / pushReport / pushMic and closeLane: the lane's one producer
//   thread. They take no lock, allocate nothing and make no system call, so
//   they may run inside key and report callbacks.
// - drain and flush: one consumer thread (not real-time: they allocate and
//   write).
// - Counters: any thread.
// - Publication: a slot is complete before the release store of its lane's
//   head; the watermark is stored with release after the pushes before it,
//   and the consumer loads watermarks (acquire) before it drains the lanes.
// - Full lane: the record is dropped and counted (dropped()); the producer
//   never waits for the consumer.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "engine/replay/session_trace.h"

namespace clavio {

class TraceRecorder {
public:
    enum class Lane : std::uint8_t { keys = 0, reports = 1, mic = 2 };

    // Longest report kept. Accelerometer reports are 22 bytes; longer ones
    // (other reports of a device) are counted in oversized() and left out.
    static constexpr std::size_t kMaxReportLength = 64;
    static constexpr std::size_t kDefaultCapacity = 16384;
    // Samples a microphone slot holds; a longer block takes several slots.
    static constexpr std::size_t kMicSlotSamples = 1024;
    // About 5 s of 5 ms blocks at 48 kHz (4 MiB).
    static constexpr std::size_t kDefaultMicSlots = 1024;

    // `capacity` slots per key and report lane and `micSlots` for the
    // microphone (0: no microphone lane), each rounded up to a power of two.
    explicit TraceRecorder(std::size_t capacity = kDefaultCapacity, std::size_t micSlots = 0);
    TraceRecorder(const TraceRecorder&) = delete;
    TraceRecorder& operator=(const TraceRecorder&) = delete;

    // Producer of `lane`. Every record pushed from now on is stamped at or
    // after `now`.
    void beginSlice(Lane lane, std::uint64_t now) noexcept;
    // Producer of the keys lane. False when the record was dropped.
    bool pushKey(std::uint64_t t, const TraceKey& key) noexcept;
    // Producer of the reports lane. False when the report was dropped.
    bool pushReport(std::uint64_t t, const std::uint8_t* report, std::size_t length) noexcept;
    // Producer of the microphone lane: a block of `count` samples at `rate`
    // Hz whose first sample is at `t`. False when some of it was dropped
    // (lane full, no microphone lane, or a rate a trace cannot carry).
    bool pushMic(std::uint64_t t, const float* samples, std::size_t count,
                 std::uint32_t rate) noexcept;
    // Producer of `lane` (or the owner, for a lane nobody feeds): nothing
    // more will come from it.
    void closeLane(Lane lane) noexcept;

    // Consumer. Writes, in time order, every record that no lane can still
    // precede. False when the writer failed.
    bool drain(TraceWriter& writer);
    // Consumer, once the producers have stopped. Writes everything left.
    bool flush(TraceWriter& writer);

    std::uint64_t keysWritten() const noexcept {
        return _keysWritten.load(std::memory_order_relaxed);
    }
    std::uint64_t reportsWritten() const noexcept {
        return _reportsWritten.load(std::memory_order_relaxed);
    }
    std::uint64_t micBlocksWritten() const noexcept {
        return _micWritten.load(std::memory_order_relaxed);
    }
    std::uint64_t dropped() const noexcept { return _dropped.load(std::memory_order_relaxed); }
    std::uint64_t oversized() const noexcept { return _oversized.load(std::memory_order_relaxed); }

private:
    struct Slot {
        std::uint64_t t = 0;
        TraceKey key;
        std::uint8_t length = 0; // report bytes; the keys lane leaves it 0
        std::array<std::uint8_t, kMaxReportLength> bytes{};
    };
    static_assert(std::is_trivially_copyable_v<Slot>);

    struct MicSlot {
        std::uint64_t t = 0;
        std::uint32_t rate = 0;
        std::uint32_t count = 0;
        std::array<float, kMicSlotSamples> samples{};
    };
    static_assert(std::is_trivially_copyable_v<MicSlot>);

    struct Pending {
        Slot slot;
        Lane lane;
        std::vector<float> samples; // lane mic: the block
        std::uint32_t rate = 0;     // lane mic
    };

    struct LaneQueue {
        std::unique_ptr<Slot[]> slots;
        std::unique_ptr<MicSlot[]> micSlots; // the microphone lane's
        std::atomic<std::uint64_t> head{0};      // next slot to fill; written by the producer
        std::atomic<std::uint64_t> tail{0};      // next slot to take; written by the consumer
        std::atomic<std::uint64_t> watermark{0}; // producer's promise, see above
    };

    bool reserve(Lane lane, std::uint64_t& head) noexcept;
    void publish(Lane lane) noexcept;
    void take(Lane lane);
    bool write(TraceWriter& writer, std::uint64_t upTo);

    static constexpr std::uint64_t kClosed = ~std::uint64_t{0};

    std::size_t _mask;
    std::size_t _micMask = 0;
    std::array<LaneQueue, 3> _lanes;
    std::vector<Pending> _pending; // consumer only
    std::uint64_t _lastWritten = 0;
    std::atomic<std::uint64_t> _keysWritten{0};
    std::atomic<std::uint64_t> _reportsWritten{0};
    std::atomic<std::uint64_t> _micWritten{0};
    std::atomic<std::uint64_t> _dropped{0};
    std::atomic<std::uint64_t> _oversized{0};
};

} // namespace clavio
