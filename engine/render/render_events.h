// The events file of an offline render: one JSON object a line, one per
// press and one per release, in key-event order.
//
//   {"t":T,"code":C,"group":"alpha","repeat":false,"sounded":true,
//    "classifiedAt":T2,"rawPeak":P,"baseline":B,"score":S,"velocity":V,
//    "tier":"hard","peakTimestamp":T3,"samplesInWindow":N,
//    "layers":[{"tier":"hard","gain":G,"sample":I,"playGain":G2,"pitch":F}]}
//   {"t":T,"code":C,"group":"alpha","release":true,"sample":I,"playGain":0.4,"pitch":F}
//
// Members appear in this order; floats are written as the shortest decimal
// that reads back to the same 32-bit value, so a reader can compare them
// exactly with its own arithmetic. A release that found no sample has
// "sample" -1.
//
// Threading: pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/pipeline/tocca_coordinator.h"

namespace clavio {

nlohmann::ordered_json encodePressEvent(const ToccaCoordinator::PressReport& press);
nlohmann::ordered_json encodeReleaseEvent(const ToccaCoordinator::ReleaseReport& release);

// One press or one release of a render.
using RenderEvent = std::variant<ToccaCoordinator::PressReport, ToccaCoordinator::ReleaseReport>;

std::uint64_t keyTicks(const RenderEvent& event);
// The event's line of the events file, without its "\n".
std::string encodeEventLine(const RenderEvent& event);

// Puts the presses and releases of a render back in key-event order (a
// press before a release of the same tick, otherwise as they were added)
// while they are reported in another: a release when its key goes up, a
// press when it is classified, a classification delay after its key went
// down. Only the events whose key time is still inside that delay are held,
// so what it holds follows the typing rate, not the length of the session.
//
// Threading: one thread.
class KeyOrderBuffer {
public:
    // Returning false stops the buffer: nothing more is handed on and every
    // later call returns false.
    using Sink = std::function<bool(const RenderEvent&)>;

    explicit KeyOrderBuffer(Sink sink) : _sink(std::move(sink)) {}

    void add(RenderEvent event);
    // Hands on, in order, every held event whose key time is before
    // `ticks`. The caller promises that no event added later has a key time
    // before it. False once the sink has refused an event.
    bool handOnBefore(std::uint64_t ticks);
    // Hands on everything held.
    bool handOnAll();

    std::size_t held() const { return _held.size(); }
    std::size_t mostHeld() const { return _mostHeld; }

private:
    bool handOnFirst(); // the first held event, which must exist

    Sink _sink;
    // (key time, 0 press / 1 release): equal keys keep the order they were
    // added in.
    std::multimap<std::pair<std::uint64_t, int>, RenderEvent> _held;
    std::size_t _mostHeld = 0;
    bool _stopped = false;
};

// Every press and release, ordered by key-event time (a press before a
// release of the same tick), one compact JSON object per line, each line
// ending in "\n".
std::string encodeEventsFile(const std::vector<ToccaCoordinator::PressReport>& presses,
                             const std::vector<ToccaCoordinator::ReleaseReport>& releases);
// The same lines handed one at a time to `line`, which returns false to stop:
// a large render's events go to their file without being built in memory.
void forEachEventLine(const std::vector<ToccaCoordinator::PressReport>& presses,
                      const std::vector<ToccaCoordinator::ReleaseReport>& releases,
                      const std::function<bool(std::string_view)>& line);

} // namespace clavio
