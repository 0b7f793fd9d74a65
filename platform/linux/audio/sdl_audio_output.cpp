#include "platform/linux/audio/sdl_audio_output.h"

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
    if (_started) {
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
    _started = true;
    _rate = int(result.sampleRate);
    _bufferFrames = request.bufferFrames;
    SDL_PauseAudioDevice(_device, 0);
    result.started = true;
    result.error.clear();
    if (const char* driver = SDL_GetCurrentAudioDriver()) {
        result.driver = driver;
    }
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
    const std::uint32_t device =
        openDevice(int(request.sampleRate), request.bufferFrames, true, rate);
    if (device == 0) {
        error = SDL_GetError();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return false;
    }
    _device = device;
    return true;
}

std::uint32_t SdlAudioOutput::openDevice(int rate, std::uint32_t frames, bool allowRateChange,
                                         double& obtained) {
    SDL_AudioSpec want{};
    want.freq = rate;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = Uint16(frames);
    want.callback = &SdlAudioOutput::callback;
    want.userdata = this;
    SDL_AudioSpec got{};
    // At most the rate may differ from the request; SDL converts anything
    // else, so the callback always sees float32 interleaved stereo.
    const SDL_AudioDeviceID device = SDL_OpenAudioDevice(
        nullptr, 0, &want, &got, allowRateChange ? SDL_AUDIO_ALLOW_FREQUENCY_CHANGE : 0);
    if (device != 0) {
        obtained = double(got.freq);
    }
    return device;
}

void SdlAudioOutput::stop() {
    if (!_started) {
        return;
    }
    if (_device != 0) {
        SDL_CloseAudioDevice(_device); // returns once the callback has finished
        _device = 0;
    }
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    _started = false;
    _render = nullptr;
    _context = nullptr;
}

bool SdlAudioOutput::suspend() {
    if (!_started || _device == 0) {
        return false;
    }
    SDL_CloseAudioDevice(_device); // returns once the callback has finished
    _device = 0;
    return true;
}

AudioOutputStart SdlAudioOutput::resume() {
    AudioOutputStart result;
    result.sampleRate = double(_rate);
    if (!_started) {
        result.error = "audio output not started";
        return result;
    }
    if (_device == 0) {
        // The stream's own rate, converted by SDL if the device now differs:
        // the mixer's voices were stepped for it.
        double obtained = 0.0;
        _device = openDevice(_rate, _bufferFrames, false, obtained);
        if (_device == 0) {
            result.error = SDL_GetError();
            return result;
        }
        SDL_PauseAudioDevice(_device, 0);
    }
    result.started = true;
    return result;
}

void SdlAudioOutput::callback(void* userdata, std::uint8_t* stream, int len) noexcept {
    auto* self = static_cast<SdlAudioOutput*>(userdata);
    const auto floats = std::uint32_t(std::uint32_t(len) / sizeof(float));
    AudioBuffer buffer{reinterpret_cast<float*>(stream), floats};
    self->_render(self->_context, floats / 2, &buffer, 1);
}

} // namespace clavio::platform
