// The table of classified presses that render and play print: time since
// the trace began, key, group, peak, velocity, tier and the velocity layers
// that sounded.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "engine/pipeline/tocca_coordinator.h"

namespace clavio::cli {

// The table's heading and the line of one press, each ending in "\n": a
// long render writes its lines as the presses come.
std::string pressTableHeading();
std::string pressTableLine(const ToccaCoordinator::PressReport& press, std::uint64_t originTicks);

void printPressTable(std::ostream& out, const std::vector<ToccaCoordinator::PressReport>& presses,
                     std::uint64_t originTicks);

} // namespace clavio::cli
