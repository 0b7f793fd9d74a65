#include "engine/replay/replay_source.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "engine/ports/clock.h"

namespace clavio {

ReplaySource::ReplaySource(TraceReader reader, std::optional<TraceRecord::Type> only)
    : _reader(std::move(reader)), _only(only) {
    advance();
    if (_current) {
        _first = _current->t;
    }
}

ReplaySource::ReplaySource(std::vector<TraceRecord> records) : _records(std::move(records)) {
    if (!_records.empty()) {
        _current = &_records.front();
        _first = _current->t;
    }
}

ReplaySource::ReplaySource(std::shared_ptr<const LoadedTrace> trace,
                           std::optional<TraceRecord::Type> only)
    : _loaded(std::move(trace)), _only(only) {
    advance();
    if (_current) {
        _first = _current->t;
    }
}

const std::optional<TraceError>& ReplaySource::error() const {
    static const std::optional<TraceError> kNone;
    return _reader ? _reader->error() : kNone;
}

void ReplaySource::advance() {
    if (_reader) {
        while (_reader->next(_pending)) {
            if (!_only || _pending.type == *_only) {
                _current = &_pending;
                return;
            }
        }
        _current = nullptr;
        return;
    }
    if (_loaded) {
        // _index is the next record to look at.
        const auto& records = _loaded->records();
        while (_index < records.size() && _only && records[_index].type != *_only) {
            ++_index;
        }
        _current = nullptr;
        if (_index < records.size()) {
            _loaded->get(_index++, _pending);
            _current = &_pending;
        }
        return;
    }
    ++_index;
    _current = _index < _records.size() ? &_records[_index] : nullptr;
}

std::uint64_t ReplaySource::deliveryTime(std::uint64_t t) const {
    const std::optional<std::uint64_t> origin = _origin ? _origin : _first;
    if (!_rebase || !origin) {
        return t;
    }
    if (t >= *origin) {
        return *_rebase + (t - *origin);
    }
    // Only records given out of order in memory, or an origin later than the
    // trace's first record, can lie before the origin.
    const std::uint64_t early = *origin - t;
    return early < *_rebase ? *_rebase - early : 0;
}

std::optional<std::uint64_t> ReplaySource::nextTime() const {
    if (!_current) {
        return std::nullopt;
    }
    return deliveryTime(_current->t);
}

std::size_t ReplaySource::deliverUntil(std::uint64_t ticks) {
    std::size_t delivered = 0;
    while (_current) {
        const std::uint64_t at = deliveryTime(_current->t);
        if (at > ticks) {
            break;
        }
        if (_current->type == TraceRecord::Type::mic) {
            if (_micSink) {
                _micSink(_current->mic.data(), _current->mic.size(), _current->rate, at);
            }
        } else if (_current->type == TraceRecord::Type::accel) {
            ++_accelDelivered;
            if (_accelSink) {
                _accelSink(_current->accel.data(), _current->accel.size(), at);
            }
        } else {
            ++_keysDelivered;
            if (_keySink) {
                _keySink(_current->key, at);
            }
        }
        ++delivered;
        advance();
    }
    return delivered;
}

std::size_t ReplaySource::skip(std::size_t count) {
    std::size_t skipped = 0;
    for (; skipped < count && _current; ++skipped) {
        advance();
    }
    return skipped;
}

ReplayEnd replayInRealTime(ReplaySource& source, std::uint64_t startTicks, std::stop_token stop) {
    // A wait that a stop request ends at once. Waits are capped so that the
    // clock is read again now and then rather than trusted across a long sleep.
    constexpr std::uint64_t kMaxWaitTicks = 100'000'000;
    std::mutex mutex;
    std::condition_variable_any wake;
    source.rebaseTo(startTicks);
    while (const auto due = source.nextTime()) {
        if (stop.stop_requested()) {
            return ReplayEnd::stopped;
        }
        const std::uint64_t now = hostTicks();
        if (now < *due) {
            const std::uint64_t wait = std::min(*due - now, kMaxWaitTicks);
            std::unique_lock lock(mutex);
            wake.wait_for(lock, stop, std::chrono::nanoseconds(wait), [] { return false; });
            continue;
        }
        source.deliverUntil(now);
    }
    return source.error() ? ReplayEnd::failed : ReplayEnd::finished;
}

} // namespace clavio
