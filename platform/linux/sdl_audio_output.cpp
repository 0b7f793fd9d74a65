#include "clavio_platform/sdl_audio_output.h"

#include <SDL.h>

#include <cstdlib>

namespace clavio::platform {

namespace {
constexpr const char* kDriverOrder[] = {"pipewire", "pulseaudio", "alsa"};
} // namespace

SdlAudioOutput::~SdlAudioOutput() {
    stop();
}

AudioOutputStart SdlAudioOutput::start(const AudioOutputRequest& request,
                                       AudioRenderFunction render, void* context) {
    AudioOutputStart result;
    if (_device != 0) {
        result.error = "audio output already started";
        return result;
    }
    if (!render) {
        result.error = "no render function";
        return result;
    }
    // Set before the device opens: the callback may run as soon as it is
    // unpaused, and SDL's thread creation orders these writes before it.
    _render = render;
    _context = context;

    const char* chosen = std::getenv("SDL_AUDIODRIVER");
    bool opened = false;
    if (chosen && *chosen) {
        opened = openWith(nullptr, request, result.sampleRate, result.error);
    } else {
        for (const char* driver : kDriverOrder) {
            if (openWith(driver, request, result.sampleRate, result.error)) {
                opened = true;
                break;
            }
        }
    }
    if (!opened) {
        _render = nullptr;
        _context = nullptr;
        return result;
    }
    SDL_PauseAudioDevice(_device, 0);
    result.started = true;
    result.error.clear();
    return result;
}

bool SdlAudioOutput::openWith(const char* driver, const AudioOutputRequest& request, double& rate,
                              std::string& error) {
    if (driver) {
        SDL_SetHint(SDL_HINT_AUDIODRIVER, driver);
    }
    const bool initialised = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    if (driver) {
        SDL_ResetHint(SDL_HINT_AUDIODRIVER);
    }
    if (!initialised) {
        error = SDL_GetError();
        return false;
    }
    SDL_AudioSpec want{};
    want.freq = int(request.sampleRate);
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = Uint16(request.bufferFrames);
    want.callback = &SdlAudioOutput::callback;
    want.userdata = this;
    SDL_AudioSpec got{};
    // Only the rate may differ from the request; SDL converts anything else,
    // so the callback always sees float32 interleaved stereo.
    const SDL_AudioDeviceID device =
        SDL_OpenAudioDevice(nullptr, 0, &want, &got, SDL_AUDIO_ALLOW_FREQUENCY_CHANGE);
    if (device == 0) {
        error = SDL_GetError();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return false;
    }
    _device = device;
    rate = double(got.freq);
    return true;
}

void SdlAudioOutput::stop() {
    if (_device == 0) {
        return;
    }
    SDL_CloseAudioDevice(_device); // returns once the callback has finished
    _device = 0;
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    _render = nullptr;
    _context = nullptr;
}

void SdlAudioOutput::callback(void* userdata, std::uint8_t* stream, int len) noexcept {
    auto* self = static_cast<SdlAudioOutput*>(userdata);
    const auto floats = std::uint32_t(std::uint32_t(len) / sizeof(float));
    AudioBuffer buffer{reinterpret_cast<float*>(stream), floats};
    self->_render(self->_context, floats / 2, &buffer, 1);
}

} // namespace clavio::platform
