// The motion sample ring: the most recent 8000 accelerometer samples.
//
// Threading contract:
// - Exactly one writer, the accelerometer thread (tca_ring_write). It never
//   locks, allocates or makes a system call.
// - Any number of readers on other threads (tca_ring_query_window,
//   tca_ring_latest, totalCount loads).
// - Publication: a slot is complete before the release store of writeIndex;
//   readers acquire-load writeIndex before touching slots. totalCount follows
//   the index with a relaxed add, so a reader may see one ahead of the other
//   (see tca_ring_query_window).
// - Tear-freedom: once the ring has wrapped, the writer may overwrite a slot
//   a reader is copying. Each slot carries a sequence number (odd while being
//   written) and every field is an atomic, so a reader checks the sequence
//   before and after its copy and retries on a change. The writer pays two
//   extra stores; it never waits for readers.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace clavio {

inline constexpr std::uint32_t kTCARingCapacity = 8000;

struct TCAMotionSample {
    std::uint64_t timestamp = 0;
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    float magnitude = 0.0f;
};
static_assert(std::is_trivially_copyable_v<TCAMotionSample>);

// One slot of the ring. Fields are atomics so concurrent copies are not data
// races; `sequence` is even when the slot is stable.
struct TCARingSlot {
    std::atomic<std::uint32_t> sequence{0};
    std::atomic<float> x{0.0f};
    std::atomic<std::uint64_t> timestamp{0};
    std::atomic<float> y{0.0f};
    std::atomic<float> z{0.0f};
    std::atomic<float> magnitude{0.0f};
};
static_assert(std::atomic<float>::is_always_lock_free);
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

struct TCARingBuffer {
    std::atomic<std::uint32_t> writeIndex{0};
    std::atomic<std::uint64_t> totalCount{0};
    TCARingSlot samples[kTCARingCapacity];
};

// Zeroes every slot and resets writeIndex and totalCount. Not concurrent with
// readers or the writer.
void tca_ring_init(TCARingBuffer* ring) noexcept;

// Writer thread only. Appends one sample; magnitude is computed here in
// single precision.
void tca_ring_write(TCARingBuffer* ring, std::uint64_t timestamp, float x, float y,
                    float z) noexcept;

// Any thread. Copies, in write order (oldest first), every valid sample with
// centre - before <= timestamp <= centre + after (lower bound clamped at 0,
// upper bound saturating), stopping when `capacity` samples are copied.
// Returns the number copied.
std::uint32_t tca_ring_query_window(const TCARingBuffer* ring, std::uint64_t centre,
                                    std::uint64_t before, std::uint64_t after, TCAMotionSample* out,
                                    std::uint32_t capacity) noexcept;

// Any thread. The newest sample, or false (out untouched) on an empty ring.
bool tca_ring_latest(const TCARingBuffer* ring, TCAMotionSample* out) noexcept;

// Any thread. Acquire load of totalCount.
std::uint64_t tca_ring_total(const TCARingBuffer* ring) noexcept;

} // namespace clavio
