// Thread names the kernel can show (top, gdb, /proc/<pid>/task/*/comm).
// Linux keeps 15 characters, so a label such as "com.nomari.clavio.classify"
// becomes its last dotted component ("classify"); logs keep the full label.
#pragma once

#include <string>
#include <string_view>

namespace clavio::platform {

// The short name for a label: the part after the last '.', cut to 15 bytes
// (at a UTF-8 character boundary); the label itself when that part is empty.
std::string shortThreadName(std::string_view label);

// Installs pthread_setname_np as the engine's thread-naming hook. Called
// once by main() before threads start.
void installThreadNaming() noexcept;

} // namespace clavio::platform
