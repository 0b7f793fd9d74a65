// SDL2 audio output: float32 interleaved stereo, 48000 Hz requested (the
// device's rate accepted), the period the mixer asks for (256 frames) unless
// the output was made with another. Only SDL's audio subsystem is
// initialised, and only while the output is started.
//
// Period: the buffer SDL hands the render function. Measured on a shared
// 2-core machine (BENCHMARKS.md, bench/output_latency.sh): each halving
// takes about half a period off the key-to-first-frame delay, and the
// PulseAudio route adds its own buffering on top.
//
// Driver choice: when SDL_AUDIODRIVER is set, SDL uses it. Otherwise pipewire,
// then pulseaudio, then alsa are tried in turn, each until one both
// initialises and opens a device. SDL's own order tries PulseAudio first, and
// on a PipeWire desktop that route adds a full buffer plus the server's own
// latency (roughly 10-15 ms) compared with the native PipeWire route.
//
// Idle saving: suspend() closes the device but keeps SDL's audio subsystem
// (and its connection to the sound server) initialised; resume() opens a new
// device at the rate of the first. Pausing an SDL2 device would not do: a
// paused device's thread keeps waking every period and writing silence
// (measured: the same CPU as playing, in the process and in PulseAudio).
// Reopening reaches the first callback in about 1 ms on a quiet machine
// (PulseAudio on a null sink; 4 ms at worst in 20 tries, 20 ms under heavy
// load), well under a millisecond with the dummy driver.
//
// Device choice: setPreferredDevice names one of the devices deviceNames()
// lists (SDL_GetAudioDeviceName: the sound server's description of a sink,
// "Built-in Audio Analog Stereo"); empty plays through the system default.
// Every open (start, and resume after an idle spell) looks the name up
// afresh: a device that is gone is replaced by the default with one log
// line, and used again, with one more line, at the first open that finds it
// listed again.
//
// Threading contract: start() and stop() on the control (main) thread,
// suspend() and resume() on the mixer's idle thread, never concurrently (see
// the port). The render function runs on SDL's audio thread;
// SDL_CloseAudioDevice in stop() and suspend() waits for the callback to
// return, so render is never called after either.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/ports/audio_output.h"

namespace clavio::platform {

class SdlAudioOutput final : public AudioOutput {
public:
    // periodFrames: the period to ask SDL for instead of the request's (0:
    // the request's); 16 to 8192.
    explicit SdlAudioOutput(std::uint32_t periodFrames = 0) noexcept
        : _periodFrames(periodFrames) {}
    ~SdlAudioOutput() override;
    SdlAudioOutput(const SdlAudioOutput&) = delete;
    SdlAudioOutput& operator=(const SdlAudioOutput&) = delete;

    AudioOutputStart start(const AudioOutputRequest& request, AudioRenderFunction render,
                           void* context) override;
    void stop() override;
    bool canSuspend() const override { return true; }
    bool suspend() override;
    AudioOutputStart resume() override;
    std::vector<std::string> deviceNames() override;
    void setPreferredDevice(const std::string& name) override;
    // The device the open stream plays through: empty for the system default
    // (also after a fall-back). For tests and the log.
    std::string openedDevice() const;

private:
    // Initialises the audio subsystem with `driver` (null: SDL's choice) and
    // opens the default device. On failure leaves nothing open and sets error.
    bool openWith(const char* driver, std::uint32_t frames, const AudioOutputRequest& request,
                  AudioOutputStart& result);
    static void callback(void* userdata, std::uint8_t* stream, int len) noexcept;

    // Opens the default device of the initialised subsystem; 0 on failure.
    std::uint32_t openDevice(int rate, std::uint32_t frames, bool allowRateChange, double& obtained,
                             std::uint32_t& obtainedFrames);

    // The name to open now: the preferred one when listed, else empty (one
    // log line when that changes).
    std::string chooseDevice();

    mutable std::mutex _deviceMutex; // guards the three fields below
    std::string _preferred;
    std::string _opened;
    bool _fellBack = false;

    bool _started = false;           // subsystem initialised by start(), until stop()
    std::uint32_t _device = 0;       // 0 while suspended
    int _rate = 0;                   // the rate the stream runs at
    std::uint32_t _periodFrames = 0; // fixed at construction; 0: the request's
    std::uint32_t _bufferFrames = 0; // the period asked for at start, and at each resume
    AudioRenderFunction _render = nullptr;
    void* _context = nullptr;
};

} // namespace clavio::platform
