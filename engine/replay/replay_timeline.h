// One trace replayed in real time by the live sensing threads: the key tap
// of ReplayKeySource plays its key records, the report stream of
// ReplaySensorRegistry its accelerometer reports. Both play from one shared
// ReplayTimeline, which holds the checked trace and the replay clock's origin
// on the process clock, so a key and the samples around it keep the offsets
// they had when recorded, to the tick.
//
// The trace is read whole, in one pass, when the timeline is made (a broken
// trace is refused before anything plays, with the error naming its line; a
// pipe or a FIFO can be the trace) and held compactly (LoadedTrace); each
// player walks its own kind's records in it.
//
// Times: the origin is fixed once, by start() or by the first player made,
// whichever comes first. A record at trace time t is due at
// origin + (t - the trace's first t), and is delivered with that due time as
// its timestamp, never the moment its thread woke up. A record that is
// already due when its player gets to it (a thread that started late) is
// delivered at once, still with its due time.
//
// Threading contract:
// - ReplayTimeline: immutable after make except the origin (set once, atomic
//   compare-and-swap) and the delivery counters (atomic, written by the
//   players, read from any thread).
// - ReplayPlayer: runSlice and the destructor on the one thread that owns the
//   player (a capture or sensor thread); interrupt() from any thread while
//   the player exists, and hurry() too, without a lock or an allocation (a
//   futex wake at most). Sinks are called on the owning thread, synchronously;
//   between them the player reads the next record (not real-time work), while
//   the sinks themselves are the live callbacks and allocate nothing.
// - One player per kind at a time: a player made after an earlier one of its
//   kind was destroyed goes on after the last record that one delivered.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <semaphore>
#include <string>

#include "engine/replay/replay_source.h"
#include "engine/replay/session_trace.h"

namespace clavio {

class ReplayTimeline {
    struct Passkey {};

public:
    using Kind = TraceRecord::Type;

    // Reads and checks the whole trace. Null, with `error` set (naming the
    // line), when the trace cannot be read or is malformed.
    static std::shared_ptr<ReplayTimeline> open(const std::filesystem::path& path,
                                                std::optional<TraceError>& error);
    // The same for a trace held in memory; `source` names it in errors.
    static std::shared_ptr<ReplayTimeline> fromText(std::string text, std::string source,
                                                    std::optional<TraceError>& error);
    // A trace already read.
    static std::shared_ptr<ReplayTimeline> fromTrace(std::shared_ptr<const LoadedTrace> trace);

    // What the trace holds.
    const TraceSummary& summary() const noexcept { return _trace->summary(); }
    std::uint64_t recordCount(Kind kind) const noexcept;
    bool hasKeys() const noexcept { return recordCount(Kind::key) > 0; }
    bool hasAccel() const noexcept { return recordCount(Kind::accel) > 0; }
    // The file, or the name given to fromText.
    const std::string& sourceName() const noexcept { return _trace->source(); }

    // Any thread. Fixes the origin at `startTicks` (process clock) unless it
    // was fixed already; returns the origin in force.
    std::uint64_t start(std::uint64_t startTicks) noexcept;
    std::optional<std::uint64_t> startTicks() const noexcept;
    // The due time of a trace time, once started; the trace time otherwise.
    std::uint64_t dueTicks(std::uint64_t traceTicks) const noexcept;
    // The due time of the last record, once started (the origin for an
    // empty trace).
    std::optional<std::uint64_t> endTicks() const noexcept;

    // Records of a kind delivered so far, over all players of that kind.
    std::uint64_t delivered(Kind kind) const noexcept;
    // Every record of both kinds delivered.
    bool finished() const noexcept;

    // A fresh pass over the whole trace (both kinds, trace times), for
    // virtual-time delivery (connectReplaySinks, deliverUntil).
    std::unique_ptr<ReplaySource> openSource() const;

    ReplayTimeline(Passkey, std::shared_ptr<const LoadedTrace> trace);

private:
    friend class ReplayPlayer;

    void noteDelivered(Kind kind, std::uint64_t count) noexcept;

    static constexpr std::uint64_t kNotStarted = ~std::uint64_t{0};

    const std::shared_ptr<const LoadedTrace> _trace;
    std::atomic<std::uint64_t> _origin{kNotStarted};
    std::atomic<std::uint64_t> _keysDelivered{0};
    std::atomic<std::uint64_t> _accelDelivered{0};
};

// Plays the records of one kind on the process clock, in slices.
class ReplayPlayer {
public:
    // Fixes the timeline's origin at hostTicks() if nothing did before, and
    // resumes after the records of this kind already delivered.
    ReplayPlayer(std::shared_ptr<ReplayTimeline> timeline, ReplayTimeline::Kind kind);
    ReplayPlayer(const ReplayPlayer&) = delete;
    ReplayPlayer& operator=(const ReplayPlayer&) = delete;

    // Set before the first slice; called with each record and its due time.
    // The pass over the trace begins with the first slice.
    void setKeySink(TraceKeySink sink);
    void setAccelSink(AccelReportSink sink);
    void setMicSink(MicBlockSink sink);

    // Before the first slice. Delivers in batches, as a device read in
    // batches would: after a delivery the player sleeps at least
    // `batchSeconds` and then delivers every record due, each still with its
    // own due time. 0 (the default): each record at its due moment.
    void setBatching(double batchSeconds) noexcept;

    // Owning thread. Delivers every record due by now; when none was due (or
    // the batch is not over), waits until the next one is, an interrupt or a
    // hurry comes or `seconds` pass, and tries again. Returns after a
    // delivery, at the end of the slice, or at once on a pending interrupt.
    // After the last record it only waits out its slices (never spinning)
    // until its owner stops.
    void runSlice(double seconds);

    // Any thread. Makes the running (or the next) slice return at once.
    void interrupt() noexcept;
    // Any thread; no lock, no allocation. Delivers what is due at once and
    // each record at its moment for `holdSeconds` (SensorReportStream::hurry).
    void hurry(double holdSeconds) noexcept;

    // True when this player started at the trace's first record of its kind
    // (not resuming after an earlier player).
    bool startsAtBeginning() const noexcept { return _startsAtBeginning; }
    // Owning thread. Whether every record of this kind was delivered.
    bool done() const noexcept { return _opened && !_source; }

private:
    void open();
    std::size_t deliverDue(std::uint64_t now);

    std::shared_ptr<ReplayTimeline> _timeline;
    ReplayTimeline::Kind _kind;
    std::uint64_t _origin = 0;
    std::uint64_t _resumeAfter = 0; // records of this kind delivered by earlier players
    bool _startsAtBeginning = true;
    bool _opened = false;
    TraceKeySink _keySink;
    AccelReportSink _accelSink;
    MicBlockSink _micSink;
    std::unique_ptr<ReplaySource> _source; // null until opened and once played out

    // Owning thread: after takeWake, whether the slice ends now.
    bool takeWake() noexcept;
    void signal() noexcept;

    std::uint64_t _batchTicks = 0;
    std::uint64_t _nextBatch = 0;    // no batched delivery before this
    std::uint64_t _hurriedUntil = 0; // unbatched until this
    std::atomic<bool> _interrupted{false};
    std::atomic<bool> _hurried{false};
    std::atomic<std::uint64_t> _hurryHoldTicks{0};
    // One token at most: _signalled says whether it was given.
    std::atomic<bool> _signalled{false};
    std::counting_semaphore<1> _wake{0};
};

} // namespace clavio
