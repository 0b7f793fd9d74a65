#include "engine/sensing/ring_buffer.h"

#include <cmath>
#include <limits>

namespace clavio {

namespace {

// A reader that keeps losing the race to the writer on one slot gives up on
// that slot rather than spinning: at 1 kHz the writer touches a slot for well
// under a microsecond, so more than a few retries means the slot is being
// rewritten again and again, which only happens to the oldest slots, far
// outside any window a reader asks for.
constexpr int kMaxCopyAttempts = 8;

bool copySlot(const TCARingSlot& slot, TCAMotionSample* out) noexcept {
    for (int attempt = 0; attempt < kMaxCopyAttempts; ++attempt) {
        const std::uint32_t before = slot.sequence.load(std::memory_order_acquire);
        if (before & 1u) {
            continue;
        }
        // Acquire loads pair with the writer's release stores of the fields:
        // a field from a newer write brings the odd sequence number with it,
        // so the second load below cannot still see `before`. (Fences would
        // do the same, but ThreadSanitizer does not model them; on x86 these
        // are plain loads either way.)
        TCAMotionSample s;
        s.timestamp = slot.timestamp.load(std::memory_order_acquire);
        s.x = slot.x.load(std::memory_order_acquire);
        s.y = slot.y.load(std::memory_order_acquire);
        s.z = slot.z.load(std::memory_order_acquire);
        s.magnitude = slot.magnitude.load(std::memory_order_acquire);
        if (slot.sequence.load(std::memory_order_relaxed) == before) {
            *out = s;
            return true;
        }
    }
    return false;
}

} // namespace

void tca_ring_init(TCARingBuffer* ring) noexcept {
    for (auto& slot : ring->samples) {
        slot.sequence.store(0, std::memory_order_relaxed);
        slot.timestamp.store(0, std::memory_order_relaxed);
        slot.x.store(0.0f, std::memory_order_relaxed);
        slot.y.store(0.0f, std::memory_order_relaxed);
        slot.z.store(0.0f, std::memory_order_relaxed);
        slot.magnitude.store(0.0f, std::memory_order_relaxed);
    }
    ring->writeIndex.store(0, std::memory_order_relaxed);
    ring->totalCount.store(0, std::memory_order_release);
}

void tca_ring_write(TCARingBuffer* ring, std::uint64_t timestamp, float x, float y,
                    float z) noexcept {
    const std::uint32_t i = ring->writeIndex.load(std::memory_order_relaxed);
    TCARingSlot& slot = ring->samples[i];
    const std::uint32_t seq = slot.sequence.load(std::memory_order_relaxed);
    slot.sequence.store(seq + 1, std::memory_order_relaxed);
    // Release stores: whoever reads one of these values also sees the odd
    // sequence number stored before it (see copySlot).
    slot.x.store(x, std::memory_order_release);
    slot.y.store(y, std::memory_order_release);
    slot.z.store(z, std::memory_order_release);
    const float sumXY = x * x + y * y;
    slot.magnitude.store(std::sqrt(sumXY + z * z), std::memory_order_release);
    slot.timestamp.store(timestamp, std::memory_order_release);
    slot.sequence.store(seq + 2, std::memory_order_release);
    ring->writeIndex.store((i + 1) % kTCARingCapacity, std::memory_order_release);
    // The only writer: a relaxed load and store add 1 without the locked
    // read-modify-write a fetch_add costs (about three times the whole write).
    ring->totalCount.store(ring->totalCount.load(std::memory_order_relaxed) + 1,
                           std::memory_order_relaxed);
}

std::uint32_t tca_ring_query_window(const TCARingBuffer* ring, std::uint64_t centre,
                                    std::uint64_t before, std::uint64_t after, TCAMotionSample* out,
                                    std::uint32_t capacity) noexcept {
    const std::uint32_t writeIndex = ring->writeIndex.load(std::memory_order_acquire);
    const std::uint64_t total = ring->totalCount.load(std::memory_order_acquire);
    if (total == 0) {
        return 0;
    }
    const std::uint64_t lower = before > centre ? 0 : centre - before;
    const std::uint64_t upper = after > std::numeric_limits<std::uint64_t>::max() - centre
                                    ? std::numeric_limits<std::uint64_t>::max()
                                    : centre + after;
    const std::uint32_t n =
        total < kTCARingCapacity ? static_cast<std::uint32_t>(total) : kTCARingCapacity;
    if (capacity == 0) {
        return 0;
    }
    const std::uint32_t start = (writeIndex + kTCARingCapacity - n) % kTCARingCapacity;
    std::uint32_t copied = 0;
    std::uint32_t slotIndex = start;
    for (std::uint32_t k = 0; k < n && copied < capacity; ++k) {
        // Most slots lie outside the window: one atomic load of the timestamp
        // rules them out without the sequence-checked copy. A slot being
        // rewritten meanwhile is skipped on whichever timestamp was read, as
        // if the scan had passed it just before or after the write; slots
        // that may match are copied whole and checked again.
        const TCARingSlot& slot = ring->samples[slotIndex];
        const std::uint64_t t = slot.timestamp.load(std::memory_order_relaxed);
        TCAMotionSample s;
        if (t >= lower && t <= upper && copySlot(slot, &s) && s.timestamp >= lower &&
            s.timestamp <= upper) {
            out[copied++] = s;
        }
        if (++slotIndex == kTCARingCapacity) {
            slotIndex = 0;
        }
    }
    return copied;
}

bool tca_ring_latest(const TCARingBuffer* ring, TCAMotionSample* out) noexcept {
    if (ring->totalCount.load(std::memory_order_acquire) == 0) {
        return false;
    }
    const std::uint32_t writeIndex = ring->writeIndex.load(std::memory_order_acquire);
    TCAMotionSample s;
    // The newest slot is never the one being overwritten next, so a failed
    // copy can only come from a writer lapping the whole ring mid-copy.
    if (!copySlot(ring->samples[(writeIndex + kTCARingCapacity - 1) % kTCARingCapacity], &s)) {
        return false;
    }
    *out = s;
    return true;
}

std::uint64_t tca_ring_total(const TCARingBuffer* ring) noexcept {
    return ring->totalCount.load(std::memory_order_acquire);
}

} // namespace clavio
