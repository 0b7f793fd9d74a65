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

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/pipeline/tocca_coordinator.h"

namespace clavio {

nlohmann::ordered_json encodePressEvent(const ToccaCoordinator::PressReport& press);
nlohmann::ordered_json encodeReleaseEvent(const ToccaCoordinator::ReleaseReport& release);

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
