// Readable names for virtual key codes, for tables printed by the command
// line: the kernel's name of the evdev key that maps to the code ("a",
// "space", "leftshift"), found through the evdev key map itself so that the
// two never disagree.
//
// Threading: any thread (the table is built once, thread-safely, on first use).
#pragma once

#include <cstdint>
#include <string>

namespace clavio::platform {

// The name, or "vk<code>" for a code no evdev key maps to.
std::string virtualKeyName(std::uint16_t code);

} // namespace clavio::platform
