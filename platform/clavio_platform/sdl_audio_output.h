// SDL2 audio output: float32 interleaved stereo, 48000 Hz requested (the
// device's rate accepted), a 256-frame period. Only SDL's audio subsystem is
// initialised, and only while the output is started.
//
// Driver choice: when SDL_AUDIODRIVER is set, SDL uses it. Otherwise pipewire,
// then pulseaudio, then alsa are tried in turn, each until one both
// initialises and opens a device. SDL's own order tries PulseAudio first, and
// on a PipeWire desktop that route adds a full buffer plus the server's own
// latency (roughly 10-15 ms) compared with the native PipeWire route.
//
// Threading contract: start() and stop() on the control (main) thread. The
// render function runs on SDL's audio thread; SDL_CloseAudioDevice in stop()
// waits for the callback to return, so render is never called after stop().
#pragma once

#include <cstdint>

#include "clavio/ports/audio_output.h"

namespace clavio::platform {

class SdlAudioOutput final : public AudioOutput {
public:
    SdlAudioOutput() = default;
    ~SdlAudioOutput() override;
    SdlAudioOutput(const SdlAudioOutput&) = delete;
    SdlAudioOutput& operator=(const SdlAudioOutput&) = delete;

    AudioOutputStart start(const AudioOutputRequest& request, AudioRenderFunction render,
                           void* context) override;
    void stop() override;

private:
    // Initialises the audio subsystem with `driver` (null: SDL's choice) and
    // opens the default device. On failure leaves nothing open and sets error.
    bool openWith(const char* driver, const AudioOutputRequest& request, double& rate,
                  std::string& error);
    static void callback(void* userdata, std::uint8_t* stream, int len) noexcept;

    std::uint32_t _device = 0;
    AudioRenderFunction _render = nullptr;
    void* _context = nullptr;
};

} // namespace clavio::platform
