#include "engine/replay/trace_recorder.h"

#include <algorithm>
#include <cstring>

namespace clavio {

TraceRecorder::TraceRecorder(std::size_t capacity) {
    std::size_t size = 2;
    while (size < capacity) {
        size <<= 1;
    }
    _mask = size - 1;
    for (auto& lane : _lanes) {
        lane.slots = std::make_unique<Slot[]>(size);
    }
}

void TraceRecorder::beginSlice(Lane lane, std::uint64_t now) noexcept {
    auto& watermark = _lanes[static_cast<std::size_t>(lane)].watermark;
    // A closed lane stays closed; a clock never runs back, but keep the
    // promise monotonic even if a caller passes an older time.
    const std::uint64_t current = watermark.load(std::memory_order_relaxed);
    if (current != kClosed && now > current) {
        watermark.store(now, std::memory_order_release);
    }
}

void TraceRecorder::closeLane(Lane lane) noexcept {
    _lanes[static_cast<std::size_t>(lane)].watermark.store(kClosed, std::memory_order_release);
}

TraceRecorder::Slot* TraceRecorder::reserve(Lane lane) noexcept {
    LaneQueue& q = _lanes[static_cast<std::size_t>(lane)];
    const std::uint64_t head = q.head.load(std::memory_order_relaxed);
    const std::uint64_t tail = q.tail.load(std::memory_order_acquire);
    if (head - tail > _mask) {
        _dropped.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    return &q.slots[head & _mask];
}

void TraceRecorder::publish(Lane lane) noexcept {
    LaneQueue& q = _lanes[static_cast<std::size_t>(lane)];
    q.head.store(q.head.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

bool TraceRecorder::pushKey(std::uint64_t t, const TraceKey& key) noexcept {
    Slot* slot = reserve(Lane::keys);
    if (slot == nullptr) {
        return false;
    }
    slot->t = t;
    slot->key = key;
    slot->length = 0;
    publish(Lane::keys);
    return true;
}

bool TraceRecorder::pushReport(std::uint64_t t, const std::uint8_t* report,
                               std::size_t length) noexcept {
    if (length > kMaxReportLength) {
        _oversized.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    Slot* slot = reserve(Lane::reports);
    if (slot == nullptr) {
        return false;
    }
    slot->t = t;
    slot->length = static_cast<std::uint8_t>(length);
    if (length > 0) {
        std::memcpy(slot->bytes.data(), report, length);
    }
    publish(Lane::reports);
    return true;
}

void TraceRecorder::take(Lane lane) {
    LaneQueue& q = _lanes[static_cast<std::size_t>(lane)];
    const std::uint64_t tail = q.tail.load(std::memory_order_relaxed);
    const std::uint64_t head = q.head.load(std::memory_order_acquire);
    for (std::uint64_t i = tail; i != head; ++i) {
        _pending.push_back({q.slots[i & _mask], lane});
    }
    q.tail.store(head, std::memory_order_release);
}

bool TraceRecorder::write(TraceWriter& writer, std::uint64_t upTo) {
    // Each lane is in time order already; a stable sort merges them and keeps
    // the order of records with equal times.
    std::stable_sort(_pending.begin(), _pending.end(),
                     [](const Pending& a, const Pending& b) { return a.slot.t < b.slot.t; });
    std::size_t n = 0;
    bool ok = true;
    for (; n < _pending.size() && _pending[n].slot.t <= upTo; ++n) {
        const Pending& p = _pending[n];
        // The watermarks make a record earlier than one already written
        // impossible for sources that stamp with the process clock; should a
        // source break that, its record keeps its place in the stream, a
        // little late, rather than be lost or break the trace.
        const std::uint64_t t = std::max(p.slot.t, _lastWritten);
        if (p.lane == Lane::keys) {
            ok = writer.writeKey(t, p.slot.key);
            if (ok) {
                _keysWritten.fetch_add(1, std::memory_order_relaxed);
            }
        } else {
            ok = writer.writeAccel(t, p.slot.bytes.data(), p.slot.length);
            if (ok) {
                _reportsWritten.fetch_add(1, std::memory_order_relaxed);
            }
        }
        if (!ok) {
            break;
        }
        _lastWritten = t;
    }
    _pending.erase(_pending.begin(), _pending.begin() + static_cast<std::ptrdiff_t>(n));
    return ok;
}

bool TraceRecorder::drain(TraceWriter& writer) {
    const std::uint64_t upTo = std::min(_lanes[0].watermark.load(std::memory_order_acquire),
                                        _lanes[1].watermark.load(std::memory_order_acquire));
    take(Lane::keys);
    take(Lane::reports);
    // Records stamped exactly at a watermark may still be joined by another
    // at that same time, which the trace allows; an earlier one cannot come.
    return write(writer, upTo);
}

bool TraceRecorder::flush(TraceWriter& writer) {
    take(Lane::keys);
    take(Lane::reports);
    return write(writer, kClosed);
}

} // namespace clavio
