#include "platform/linux/audio/sdl_audio_output.h"

#include <SDL.h>

#include <cstdlib>

#include "engine/core/log.h"
#include "platform/linux/audio/sdl_audio_lock.h"

namespace clavio::platform {

namespace {
constexpr const char* kDriverOrder[] = {"pipewire", "pulseaudio", "alsa"};
// SDL2 keeps the period in 16 bits; below 16 frames a period is shorter than
// a scheduler's time slice.
constexpr std::uint32_t kMinPeriodFrames = 16;
constexpr std::uint32_t kMaxPeriodFrames = 8192;
} // namespace

SdlAudioOutput::~SdlAudioOutput() {
    stop();
}

AudioOutputStart SdlAudioOutput::start(const AudioOutputRequest& request,
                                       AudioRenderFunction render, void* context) {
    std::lock_guard sdl(sdlAudioLock());
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

    const std::uint32_t frames = _periodFrames ? _periodFrames : request.bufferFrames;
    if (frames < kMinPeriodFrames || frames > kMaxPeriodFrames) {
        result.error = "period of " + std::to_string(frames) + " frames out of range";
        _render = nullptr;
        _context = nullptr;
        return result;
    }
    const char* chosen = std::getenv("SDL_AUDIODRIVER");
    bool opened = false;
    if (chosen && *chosen) {
        opened = openWith(nullptr, frames, request, result);
    } else {
        for (const char* driver : kDriverOrder) {
            if (openWith(driver, frames, request, result)) {
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
    _bufferFrames = frames;
    SDL_PauseAudioDevice(_device, 0);
    result.started = true;
    result.error.clear();
    if (const char* driver = SDL_GetCurrentAudioDriver()) {
        result.driver = driver;
    }
    return result;
}

bool SdlAudioOutput::openWith(const char* driver, std::uint32_t frames,
                              const AudioOutputRequest& request, AudioOutputStart& result) {
    std::string& error = result.error;
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
        openDevice(int(request.sampleRate), frames, true, result.sampleRate, result.bufferFrames);
    if (device == 0) {
        error = SDL_GetError();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return false;
    }
    _device = device;
    return true;
}

std::uint32_t SdlAudioOutput::openDevice(int rate, std::uint32_t frames, bool allowRateChange,
                                         double& obtained, std::uint32_t& obtainedFrames) {
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
    const std::string name = chooseDevice();
    const SDL_AudioDeviceID device =
        SDL_OpenAudioDevice(name.empty() ? nullptr : name.c_str(), 0, &want, &got,
                            allowRateChange ? SDL_AUDIO_ALLOW_FREQUENCY_CHANGE : 0);
    if (device != 0) {
        obtained = double(got.freq);
        obtainedFrames = got.samples;
        std::lock_guard lock(_deviceMutex);
        _opened = name;
    }
    return device;
}

std::string SdlAudioOutput::chooseDevice() {
    std::string preferred;
    {
        std::lock_guard lock(_deviceMutex);
        preferred = _preferred;
    }
    if (preferred.empty()) {
        return {};
    }
    const bool listed = sdlDeviceIndex(preferred, 0) >= 0;
    std::lock_guard lock(_deviceMutex);
    if (listed && _fellBack) {
        logLine("[Clavio:Audio] Output device '" + preferred + "' is back; playing through it");
    } else if (!listed && !_fellBack) {
        logLine("[Clavio:Audio] Output device '" + preferred +
                "' is not available; playing through the system default");
    }
    _fellBack = !listed;
    return listed ? preferred : std::string();
}

std::vector<std::string> SdlAudioOutput::deviceNames() {
    std::lock_guard sdl(sdlAudioLock());
    // Listing needs the audio subsystem; initialised here only for the look
    // when no stream holds it (the driver SDL_AUDIODRIVER or SDL picks).
    const bool temporary = !_started;
    if (temporary && SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        return {};
    }
    std::vector<std::string> names = sdlDeviceNames(0);
    if (temporary) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
    return names;
}

void SdlAudioOutput::setPreferredDevice(const std::string& name) {
    std::lock_guard lock(_deviceMutex);
    if (name != _preferred) {
        _fellBack = false;
    }
    _preferred = name;
}

std::string SdlAudioOutput::openedDevice() const {
    std::lock_guard lock(_deviceMutex);
    return _opened;
}

void SdlAudioOutput::stop() {
    std::lock_guard sdl(sdlAudioLock());
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
    std::lock_guard sdl(sdlAudioLock());
    if (!_started || _device == 0) {
        return false;
    }
    SDL_CloseAudioDevice(_device); // returns once the callback has finished
    _device = 0;
    return true;
}

AudioOutputStart SdlAudioOutput::resume() {
    std::lock_guard sdl(sdlAudioLock());
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
        _device = openDevice(_rate, _bufferFrames, false, obtained, result.bufferFrames);
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
