// Audio output: a stream that, once started, calls a render function on its
// own thread with a frame count and a list of float buffers, and reports the
// sample rate it runs at.
//
// Threading contract:
// - start() and stop() are called from one control thread (the main thread).
//   suspend() and resume() are called by the mixer's idle control thread,
//   which runs only between a successful start() and the next stop(). No two
//   of the four ever run concurrently.
// - Between a successful start() and the return of stop(), the output calls
//   the render function from exactly one thread at a time (its own real-time
//   thread, or the caller's thread for an offline output). stop() returns
//   only once the render function has returned for the last time, so the
//   context may be destroyed after stop().
// - The render function must be real-time safe: no lock, no allocation, no
//   log, no system call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace clavio {

// One output buffer. `floatCount` is its full size in floats; the render
// function zeroes all of it.
struct AudioBuffer {
    float* data = nullptr;
    std::uint32_t floatCount = 0;
};

// More than one buffer: buffer 0 is the left channel, buffer 1 the right.
// Exactly one buffer: interleaved stereo (frame n at 2n and 2n+1).
// Returns 0 (success); the value exists for outputs that propagate it.
using AudioRenderFunction = int (*)(void* context, std::uint32_t frames, AudioBuffer* buffers,
                                    std::uint32_t bufferCount) noexcept;

// What the mixer asks of an output. The output may run at another rate and
// reports the one it got. `bufferFrames` is a request for the device period.
struct AudioOutputRequest {
    double sampleRate = 48000.0;
    std::uint32_t bufferFrames = 256;
};

struct AudioOutputStart {
    bool started = false;
    double sampleRate = 0.0; // the rate the output runs (or would run) at; 0 when unknown
    std::string error;       // one line when !started
    std::string driver;      // the sound system it plays through ("pipewire"); empty when unknown
    std::uint32_t bufferFrames = 0; // the device period it got, in frames; 0 when unknown
};

class AudioOutput {
public:
    virtual ~AudioOutput() = default;
    // Control thread. Opens the stream and starts calling `render(context, ...)`.
    // On failure nothing stays open and render is never called.
    virtual AudioOutputStart start(const AudioOutputRequest& request, AudioRenderFunction render,
                                   void* context) = 0;
    // Control thread. Stops and releases the stream, suspended or not; a
    // no-op when not started.
    virtual void stop() = 0;

    // Idle saving, optional. A running stream wakes every period and keeps
    // the sound server busy even when it plays silence; an output that can
    // release its device while nothing sounds says so here.
    virtual bool canSuspend() const { return false; }
    // Idle thread, while started and not suspended. Stops calling render and
    // releases the device; returns once render has returned for the last
    // time. False when not possible (nothing changed).
    virtual bool suspend() { return false; }
    // Idle thread, while suspended. Reopens the device at the rate the stream
    // had, so the mixer's steps stay right, and render calls restart. On
    // failure the output stays suspended (and may be resumed later or
    // stopped); `error` says why.
    virtual AudioOutputStart resume() { return AudioOutputStart{false, 0.0, "cannot resume", {}}; }

    // Device choice, optional. The names of the playback devices the sound
    // system lists now (control thread; may open the sound system briefly).
    virtual std::vector<std::string> deviceNames() { return {}; }
    // Control thread. The device to play through from the next start or
    // resume on; empty: the system default. A device that is not listed
    // then is replaced by the default (one log line) and used again once it
    // is back.
    virtual void setPreferredDevice(const std::string& /*name*/) {}
};

} // namespace clavio
