// Naming the threads the engine starts. Threads carry their full label (such
// as "com.nomari.clavio.classify") in logs; the platform decides what the
// operating system gets to see (Linux keeps 15 characters).
//
// Threading: the hook is installed once by the composition root before any
// thread starts; nameCurrentThread() is callable from any thread.
#pragma once

#include <string_view>

namespace clavio {

using ThreadNamingHook = void (*)(std::string_view label);

// Without a hook threads keep the name the system gave them.
void setThreadNamingHook(ThreadNamingHook hook) noexcept;

// Any thread: names the calling thread through the hook.
void nameCurrentThread(std::string_view label) noexcept;

} // namespace clavio
