#include "engine/replay/trace_recorder.h"

#include <algorithm>
#include <cstring>

namespace clavio {

namespace {
std::size_t powerOfTwo(std::size_t atLeast) {
    std::size_t size = 2;
    while (size < atLeast) {
        size <<= 1;
    }
    return size;
}
} // namespace

TraceRecorder::TraceRecorder(std::size_t capacity, std::size_t micSlots) {
    const std::size_t size = powerOfTwo(capacity);
    _mask = size - 1;
    _lanes[0].slots = std::make_unique<Slot[]>(size);
    _lanes[1].slots = std::make_unique<Slot[]>(size);
    if (micSlots > 0) {
        const std::size_t micSize = powerOfTwo(micSlots);
        _micMask = micSize - 1;
        _lanes[2].micSlots = std::make_unique<MicSlot[]>(micSize);
    } else {
        closeLane(Lane::mic);
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

bool TraceRecorder::reserve(Lane lane, std::uint64_t& head) noexcept {
    LaneQueue& q = _lanes[static_cast<std::size_t>(lane)];
    head = q.head.load(std::memory_order_relaxed);
    const std::uint64_t tail = q.tail.load(std::memory_order_acquire);
    if (head - tail > (lane == Lane::mic ? _micMask : _mask)) {
        _dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    return true;
}

void TraceRecorder::publish(Lane lane) noexcept {
    LaneQueue& q = _lanes[static_cast<std::size_t>(lane)];
    q.head.store(q.head.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

bool TraceRecorder::pushKey(std::uint64_t t, const TraceKey& key) noexcept {
    std::uint64_t head = 0;
    if (!reserve(Lane::keys, head)) {
        return false;
    }
    Slot* slot = &_lanes[0].slots[head & _mask];
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
    std::uint64_t head = 0;
    if (!reserve(Lane::reports, head)) {
        return false;
    }
    Slot* slot = &_lanes[1].slots[head & _mask];
    slot->t = t;
    slot->length = static_cast<std::uint8_t>(length);
    if (length > 0) {
        std::memcpy(slot->bytes.data(), report, length);
    }
    publish(Lane::reports);
    return true;
}

bool TraceRecorder::pushMic(std::uint64_t t, const float* samples, std::size_t count,
                            std::uint32_t rate) noexcept {
    if (!_lanes[2].micSlots || rate < kTraceMicMinRate || rate > kTraceMicMaxRate) {
        _dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    for (std::size_t first = 0; first < count; first += kMicSlotSamples) {
        std::uint64_t head = 0;
        if (!reserve(Lane::mic, head)) {
            return false;
        }
        MicSlot& slot = _lanes[2].micSlots[head & _micMask];
        slot.t = t + std::uint64_t(double(first) * 1e9 / rate + 0.5);
        slot.rate = rate;
        slot.count = std::uint32_t(std::min(kMicSlotSamples, count - first));
        std::memcpy(slot.samples.data(), samples + first, slot.count * sizeof(float));
        publish(Lane::mic);
        beginSlice(Lane::mic, slot.t);
    }
    return true;
}

void TraceRecorder::take(Lane lane) {
    LaneQueue& q = _lanes[static_cast<std::size_t>(lane)];
    const std::uint64_t tail = q.tail.load(std::memory_order_relaxed);
    const std::uint64_t head = q.head.load(std::memory_order_acquire);
    for (std::uint64_t i = tail; i != head; ++i) {
        if (lane == Lane::mic) {
            const MicSlot& m = q.micSlots[i & _micMask];
            Pending p{Slot{}, lane, std::vector<float>(m.samples.begin(),
                                                       m.samples.begin() + m.count),
                      m.rate};
            p.slot.t = m.t;
            _pending.push_back(std::move(p));
        } else {
            _pending.push_back({q.slots[i & _mask], lane, {}, 0});
        }
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
        } else if (p.lane == Lane::mic) {
            ok = writer.writeMic(t, p.samples.data(), p.samples.size(), p.rate);
            if (ok) {
                _micWritten.fetch_add(1, std::memory_order_relaxed);
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
    const std::uint64_t upTo = std::min({_lanes[0].watermark.load(std::memory_order_acquire),
                                         _lanes[1].watermark.load(std::memory_order_acquire),
                                         _lanes[2].watermark.load(std::memory_order_acquire)});
    take(Lane::keys);
    take(Lane::reports);
    take(Lane::mic);
    // Records stamped exactly at a watermark may still be joined by another
    // at that same time, which the trace allows; an earlier one cannot come.
    return write(writer, upTo);
}

bool TraceRecorder::flush(TraceWriter& writer) {
    take(Lane::keys);
    take(Lane::reports);
    take(Lane::mic);
    return write(writer, kClosed);
}

} // namespace clavio
