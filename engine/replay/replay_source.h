// Turns a session trace into timed calls of two sinks, the same calls that
// live capture makes: accelerometer reports (bytes, length, timestamp) for
// the report decoder, and raw key records for the keyboard event logic.
//
// Time is the caller's: deliverUntil(ticks) hands over every record due by
// `ticks`, so offline rendering drives it on virtual time and
// replayInRealTime() drives it from the process clock. Timestamps are the
// trace's own unless rebaseTo() moves the first record to another tick (a
// live clock's "now"); offsets between records are kept exactly either way,
// so a key and the samples around it keep their relation.
//
// Threading: a ReplaySource belongs to one thread at a time (the thread that
// plays the part of the keyboard and sensor threads). The sinks are called
// synchronously on that thread, in trace order; they are live capture's real
// callbacks, so delivering a record allocates nothing and takes no lock (the
// streaming reader parses the next record after the sink has returned).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

#include "engine/replay/session_trace.h"

namespace clavio {

using AccelReportSink =
    std::function<void(const std::uint8_t* report, std::size_t length, std::uint64_t timestamp)>;
using TraceKeySink = std::function<void(const TraceKey& key, std::uint64_t timestamp)>;
// A microphone block: its samples, their rate and its first sample's time.
using MicBlockSink = std::function<void(const float* samples, std::size_t count,
                                        std::uint32_t rate, std::uint64_t timestamp)>;

class ReplaySource {
public:
    // Streams from a reader. A malformed line met on the way ends the replay
    // there (error() tells); callers that must not act on a broken trace
    // check it whole first (summarizeTrace). With `only` set, records of the
    // other type are read past and never delivered (a key tap and a report
    // stream each play their own part of one trace).
    explicit ReplaySource(TraceReader reader, std::optional<TraceRecord::Type> only = std::nullopt);
    // Replays records held in memory, in the order given (readTrace's order).
    explicit ReplaySource(std::vector<TraceRecord> records);
    // Replays a trace read whole, with `only` as for a reader.
    explicit ReplaySource(std::shared_ptr<const LoadedTrace> trace,
                          std::optional<TraceRecord::Type> only = std::nullopt);
    // Holds a pointer into itself (the next record).
    ReplaySource(const ReplaySource&) = delete;
    ReplaySource& operator=(const ReplaySource&) = delete;

    void setAccelSink(AccelReportSink sink) { _accelSink = std::move(sink); }
    void setKeySink(TraceKeySink sink) { _keySink = std::move(sink); }
    void setMicSink(MicBlockSink sink) { _micSink = std::move(sink); }

    // Delivered timestamps become startTicks + (t − first record's t).
    void rebaseTo(std::uint64_t startTicks) { _rebase = startTicks; }
    // Delivered timestamps become startTicks + (t − traceOrigin). Sources
    // that play different parts of one trace re-base on the same origin (the
    // whole trace's first record) so that they stay aligned.
    void rebaseTo(std::uint64_t startTicks, std::uint64_t traceOrigin) {
        _rebase = startTicks;
        _origin = traceOrigin;
    }
    // Trace time of the first record delivered by this source; none when it
    // has none.
    std::optional<std::uint64_t> firstTicks() const { return _first; }
    // Delivery time (re-based) of the next record; none when finished.
    std::optional<std::uint64_t> nextTime() const;

    // Delivers, in order, every remaining record whose delivery time is at
    // most `ticks`. Returns the number delivered.
    std::size_t deliverUntil(std::uint64_t ticks);
    // Passes over the next `count` records without delivering them (a player
    // resuming where an earlier one stopped). Returns the number passed over.
    std::size_t skip(std::size_t count);

    bool finished() const { return !_current; }
    const std::optional<TraceError>& error() const;
    std::uint64_t accelDelivered() const { return _accelDelivered; }
    std::uint64_t keysDelivered() const { return _keysDelivered; }

private:
    void advance();
    std::uint64_t deliveryTime(std::uint64_t t) const;

    std::optional<TraceReader> _reader;
    std::vector<TraceRecord> _records;
    std::shared_ptr<const LoadedTrace> _loaded;
    std::size_t _index = 0;
    TraceRecord _pending;                  // the reader's look-ahead record
    const TraceRecord* _current = nullptr; // next record, or null when finished
    std::optional<TraceRecord::Type> _only;
    std::optional<std::uint64_t> _first;
    std::optional<std::uint64_t> _origin;
    std::optional<std::uint64_t> _rebase;
    AccelReportSink _accelSink;
    TraceKeySink _keySink;
    MicBlockSink _micSink;
    std::uint64_t _accelDelivered = 0;
    std::uint64_t _keysDelivered = 0;
};

enum class ReplayEnd {
    finished, // every record delivered
    stopped,  // a stop was requested
    failed,   // the trace turned out malformed (source.error())
};

// Calling thread (a replay thread; not real-time). Plays `source` on the
// process clock (hostTicks()): re-bases it so that its first record is due at
// `startTicks`, then sleeps until each record is due and delivers it, until
// the trace ends or `stop` is requested (which ends the wait at once).
// Records are stamped with their due time, not the wake-up time, so sleep
// jitter delays a delivery but never skews a key against its samples.
// Meant for the steady clock; on virtual time use deliverUntil() directly.
ReplayEnd replayInRealTime(ReplaySource& source, std::uint64_t startTicks, std::stop_token stop);

} // namespace clavio
