// Port: a sound capture device that hands mono sample blocks to a callback
// on its own capture thread. Linux implements it over SDL2's capture devices
// (platform/linux/audio); a trace replay implements it from a session's
// "mic" records.
//
// What is captured is for strike detection only: a consumer reduces each
// block to what it measures and drops the samples when the callback
// returns. Nothing of the audio is kept, logged, stored or sent.
//
// Threading contract:
// - start(), stop() and deviceNames() are called from one control thread.
// - Between a successful start() and the return of stop(), the device calls
//   the block callback from exactly one thread at a time. stop() returns
//   only once the callback has returned for the last time, so the context
//   may be destroyed after stop().
// - The block callback must be real-time safe: no lock, no allocation, no
//   log, no system call. `samples` is valid only during the call.
// - lost() may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace clavio {

// One block: `count` mono samples at `sampleRate` Hz, the first of which was
// captured at `firstSampleTicks` (hostTicks(), the clock of key events).
using MicrophoneBlockCallback = void (*)(void* context, const float* samples, std::uint32_t count,
                                         double sampleRate,
                                         std::uint64_t firstSampleTicks) noexcept;

struct MicrophoneStart {
    bool started = false;
    double sampleRate = 0.0; // the rate the device captures at
    std::string error;       // one line when !started
    std::string deviceName;  // the device actually opened; empty when unknown
};

class Microphone {
public:
    virtual ~Microphone() = default;

    // Control thread. Opens `deviceName` (empty: the system's default
    // source) for mono capture at the device's own rate, in blocks of about
    // `blockSeconds`, and starts calling `callback(context, ...)`. On failure
    // nothing stays open and the callback is never called.
    virtual MicrophoneStart start(std::string_view deviceName, double blockSeconds,
                                  MicrophoneBlockCallback callback, void* context) = 0;
    // Control thread. Stops capturing and releases the device; a no-op when
    // not started.
    virtual void stop() = 0;

    // Control thread. The capture devices the sound system lists now.
    virtual std::vector<std::string> deviceNames() { return {}; }

    // Any thread. True once the started device has gone away (unplugged, or
    // the sound server lost it); capture stays stopped until the next start().
    virtual bool lost() const noexcept { return false; }
};

} // namespace clavio
