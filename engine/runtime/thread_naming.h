// Names for the system's own threads. The engine starts its threads with
// std::thread and names them through a hook that the composition root
// installs (the Linux one sets a short kernel name and tries to raise the
// thread's priority), so the engine stays free of platform headers.
//
// Threading: setThreadNamer is called once by the composition root (or a
// test) before threads start; nameCurrentThread from the thread being named.
#pragma once

#include <string_view>

namespace clavio {

inline constexpr std::string_view kKeyboardThreadLabel = "com.nomari.clavio.keyboard-capture";
inline constexpr std::string_view kSensorThreadLabel = "com.nomari.clavio.spu-sensor";

// Receives the full label; applies whatever naming the platform offers.
using ThreadNamer = void (*)(std::string_view label);

// Installs the hook; nullptr removes it. Returns the previous one.
ThreadNamer setThreadNamer(ThreadNamer namer) noexcept;

// Names the calling thread and remembers the full label for currentThreadLabel().
void nameCurrentThread(std::string_view label);

// The full label given to the calling thread, empty when it has none.
std::string_view currentThreadLabel() noexcept;

} // namespace clavio
