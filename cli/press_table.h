// The table of classified presses that render and play print: time since
// the trace began, key, group, peak, velocity, tier and the velocity layers
// that sounded.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "engine/pipeline/tocca_coordinator.h"

namespace clavio::cli {

void printPressTable(std::ostream& out, const std::vector<ToccaCoordinator::PressReport>& presses,
                     std::uint64_t originTicks);

} // namespace clavio::cli
