// Virtual key code to key group: the table that chooses a key's sample set.
//
// Threading: pure functions; real-time safe.
#pragma once

#include <cstdint>

#include "engine/core/core_types.h"

namespace clavio {

// The raw value (0..7) of the key's KeyGroup. Codes of 128 or more and
// negative codes are `other`.
int TCAKeyGroupFromKeyCode(std::int32_t keyCode) noexcept;

// KeyGroup of TCAKeyGroupFromKeyCode, `other` when that is no raw value.
KeyGroup keyGroupForKeyCode(std::int32_t keyCode) noexcept;

} // namespace clavio
