// One lock for SDL's audio device table: SDL2 picks a new device's slot
// without a lock of its own, so the output (opened again on the idle
// thread when a key wakes it) and the microphone (opened on the main thread)
// must not open, close, count or initialise at the same time. Never taken
// in an audio callback; SDL's close waits for its callback, which never
// takes it either.
#pragma once

#include <mutex>

namespace clavio::platform {

// Taken first, at the entry of every output and microphone member that
// touches SDL (before their own locks); recursive, since one such member may
// call another.
inline std::recursive_mutex& sdlAudioLock() {
    static std::recursive_mutex lock;
    return lock;
}

} // namespace clavio::platform
