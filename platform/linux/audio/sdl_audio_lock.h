// SDL's audio device table: one lock for it, and its listing.
//
// The lock: SDL2 picks a new device's slot
// without a lock of its own, so the output (opened again on the idle
// thread when a key wakes it) and the microphone (opened on the main thread)
// must not open, close, count or initialise at the same time. Never taken
// in an audio callback; SDL's close waits for its callback, which never
// takes it either.
#pragma once

#include <SDL.h>

#include <mutex>
#include <string>
#include <vector>

namespace clavio::platform {

// Taken first, at the entry of every output and microphone member that
// touches SDL (before their own locks); recursive, since one such member may
// call another.
inline std::recursive_mutex& sdlAudioLock() {
    static std::recursive_mutex lock;
    return lock;
}

// The names of the playback (capture 0) or capture (1) devices SDL lists
// now; the audio subsystem must be initialised.
inline std::vector<std::string> sdlDeviceNames(int capture) {
    std::vector<std::string> names;
    const int count = SDL_GetNumAudioDevices(capture);
    for (int i = 0; i < count; ++i) {
        if (const char* name = SDL_GetAudioDeviceName(i, capture)) {
            names.emplace_back(name);
        }
    }
    return names;
}

// The index of the device called `name` in that listing, or -1.
inline int sdlDeviceIndex(const std::string& name, int capture) {
    const int count = SDL_GetNumAudioDevices(capture);
    for (int i = 0; i < count; ++i) {
        const char* each = SDL_GetAudioDeviceName(i, capture);
        if (each && name == each) {
            return i;
        }
    }
    return -1;
}

} // namespace clavio::platform
