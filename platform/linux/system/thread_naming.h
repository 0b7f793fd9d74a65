// Installs the Linux thread naming hook for the engine's threads: a short
// kernel name (15 characters: the last part of the label, so
// "com.nomari.clavio.spu-sensor" shows as "spu-sensor") and an attempt to
// raise the thread's priority, ignored when refused.
//
// Threading: call once from main (or a test) before threads start.
#pragma once

#include <string>
#include <string_view>

namespace clavio::platform {

void installThreadNaming();

// The kernel name used for a label.
std::string shortThreadName(std::string_view label);

} // namespace clavio::platform
