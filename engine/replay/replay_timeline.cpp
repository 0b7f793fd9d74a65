#include "engine/replay/replay_timeline.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <sstream>

#include "engine/ports/clock.h"

namespace clavio {

namespace {
std::uint64_t addSaturating(std::uint64_t a, std::uint64_t b) noexcept {
    return b > std::numeric_limits<std::uint64_t>::max() - a
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

std::uint64_t secondsToTicks(double seconds) noexcept {
    if (!(seconds > 0.0)) {
        return 0;
    }
    constexpr double kMax = 1e18; // about 31 years; longer waits are capped
    return static_cast<std::uint64_t>(std::min(seconds * 1e9, kMax));
}
} // namespace

ReplayTimeline::ReplayTimeline(Passkey, std::shared_ptr<const LoadedTrace> trace)
    : _trace(std::move(trace)) {}

std::shared_ptr<ReplayTimeline>
ReplayTimeline::fromTrace(std::shared_ptr<const LoadedTrace> trace) {
    return trace ? std::make_shared<ReplayTimeline>(Passkey{}, std::move(trace)) : nullptr;
}

std::shared_ptr<ReplayTimeline> ReplayTimeline::open(const std::filesystem::path& path,
                                                     std::optional<TraceError>& error) {
    return fromTrace(LoadedTrace::read(path, error));
}

std::shared_ptr<ReplayTimeline> ReplayTimeline::fromText(std::string text, std::string source,
                                                         std::optional<TraceError>& error) {
    TraceReader reader(std::make_unique<std::istringstream>(std::move(text)), source);
    return fromTrace(LoadedTrace::read(reader, std::move(source), error));
}

std::uint64_t ReplayTimeline::recordCount(Kind kind) const noexcept {
    switch (kind) {
    case Kind::key:
        return summary().keyDowns + summary().keyUps + summary().flagChanges;
    case Kind::mic:
        return summary().micBlocks;
    case Kind::accel:
        break;
    }
    return summary().accelReports;
}

std::uint64_t ReplayTimeline::start(std::uint64_t startTicks) noexcept {
    // The sentinel cannot be an origin; a start at the very end of the clock
    // moves one tick earlier.
    startTicks = std::min(startTicks, kNotStarted - 1);
    std::uint64_t expected = kNotStarted;
    if (_origin.compare_exchange_strong(expected, startTicks, std::memory_order_acq_rel)) {
        return startTicks;
    }
    return expected;
}

std::optional<std::uint64_t> ReplayTimeline::startTicks() const noexcept {
    const std::uint64_t origin = _origin.load(std::memory_order_acquire);
    if (origin == kNotStarted) {
        return std::nullopt;
    }
    return origin;
}

std::uint64_t ReplayTimeline::dueTicks(std::uint64_t traceTicks) const noexcept {
    const auto origin = startTicks();
    if (!origin || !summary().firstTicks) {
        return traceTicks;
    }
    // Trace times never lie before the first record (the reader refuses
    // times going backwards).
    return addSaturating(*origin, traceTicks - *summary().firstTicks);
}

std::optional<std::uint64_t> ReplayTimeline::endTicks() const noexcept {
    const auto origin = startTicks();
    if (!origin) {
        return std::nullopt;
    }
    return summary().lastTicks ? dueTicks(*summary().lastTicks) : *origin;
}

std::uint64_t ReplayTimeline::delivered(Kind kind) const noexcept {
    return (kind == Kind::key ? _keysDelivered : _accelDelivered).load(std::memory_order_acquire);
}

bool ReplayTimeline::finished() const noexcept {
    return delivered(Kind::key) >= recordCount(Kind::key) &&
           delivered(Kind::accel) >= recordCount(Kind::accel);
}

void ReplayTimeline::noteDelivered(Kind kind, std::uint64_t count) noexcept {
    (kind == Kind::key ? _keysDelivered : _accelDelivered)
        .fetch_add(count, std::memory_order_acq_rel);
}

std::unique_ptr<ReplaySource> ReplayTimeline::openSource() const {
    return std::make_unique<ReplaySource>(_trace);
}

ReplayPlayer::ReplayPlayer(std::shared_ptr<ReplayTimeline> timeline, ReplayTimeline::Kind kind)
    : _timeline(std::move(timeline)), _kind(kind) {
    _origin = _timeline->start(hostTicks());
    _resumeAfter = _timeline->delivered(kind);
    _startsAtBeginning = _resumeAfter == 0;
    // Nothing (more) of this kind: no pass over the file at all.
    _opened = _resumeAfter >= _timeline->recordCount(kind);
}

void ReplayPlayer::open() {
    // Done in the first slice rather than at construction: finding the first
    // record of this kind may mean reading past many of the other, and a
    // capture waits for its tap to be created only so long.
    _opened = true;
    _source = std::make_unique<ReplaySource>(_timeline->_trace, _kind);
    _source->setKeySink(std::move(_keySink));
    _source->setAccelSink(std::move(_accelSink));
    _source->rebaseTo(_origin, _timeline->summary().firstTicks.value_or(0));
    _source->skip(static_cast<std::size_t>(_resumeAfter));
}

void ReplayPlayer::setKeySink(TraceKeySink sink) {
    _keySink = std::move(sink);
}

void ReplayPlayer::setAccelSink(AccelReportSink sink) {
    _accelSink = std::move(sink);
}

std::size_t ReplayPlayer::deliverDue(std::uint64_t now) {
    if (!_opened) {
        open();
    }
    if (!_source) {
        return 0;
    }
    const std::size_t count = _source->deliverUntil(now);
    if (count > 0) {
        _timeline->noteDelivered(_kind, count);
    }
    if (_source->finished()) {
        _source.reset();
    }
    return count;
}

void ReplayPlayer::runSlice(double seconds) {
    const std::uint64_t sliceEnd = addSaturating(hostTicks(), secondsToTicks(seconds));
    for (;;) {
        {
            std::lock_guard lock(_wakeLock);
            if (_interrupted) {
                _interrupted = false;
                return;
            }
        }
        const std::uint64_t now = hostTicks();
        if (deliverDue(now) > 0 || now >= sliceEnd) {
            return;
        }
        std::uint64_t wakeAt = sliceEnd;
        if (_source) {
            if (const auto next = _source->nextTime()) {
                wakeAt = std::min(wakeAt, *next);
            }
        }
        std::unique_lock lock(_wakeLock);
        _wake.wait_for(lock, std::chrono::nanoseconds(wakeAt - now),
                       [this] { return _interrupted; });
    }
}

void ReplayPlayer::interrupt() noexcept {
    std::lock_guard lock(_wakeLock);
    _interrupted = true;
    _wake.notify_all();
}

} // namespace clavio
