#include "platform/linux/audio/sdl_microphone.h"

#include <SDL.h>

#include <cmath>
#include <cstdlib>

#include "engine/ports/clock.h"
#include "platform/linux/audio/sdl_audio_lock.h"

namespace clavio::platform {

namespace {

constexpr const char* kDriverOrder[] = {"pipewire", "pulseaudio", "alsa"};
constexpr int kFallbackRate = 48000;

// The power of two nearest to `frames`, within 64..8192.
std::uint32_t powerOfTwoNear(double frames) {
    std::uint32_t n = 64;
    while (n < 8192 && double(n) * 1.5 < frames) {
        n *= 2;
    }
    return n;
}

bool listed(const std::string& name) {
    return sdlDeviceIndex(name, 1) >= 0;
}

// The rate the server reports for the source (0 when it reports none), and
// for the default source its name.
int nativeRate(const std::string& name, std::string& defaultName) {
    SDL_AudioSpec spec{};
    if (name.empty()) {
        char* found = nullptr;
        if (SDL_GetDefaultAudioInfo(&found, &spec, 1) != 0) {
            return 0;
        }
        if (found) {
            defaultName = found;
            SDL_free(found);
        }
        return spec.freq;
    }
    const int index = sdlDeviceIndex(name, 1);
    return index >= 0 && SDL_GetAudioDeviceSpec(index, 1, &spec) == 0 ? spec.freq : 0;
}

} // namespace

SdlMicrophone::~SdlMicrophone() {
    stop();
}

MicrophoneStart SdlMicrophone::start(std::string_view deviceName, double blockSeconds,
                                     MicrophoneBlockCallback callback, void* context) {
    std::lock_guard sdl(sdlAudioLock());
    MicrophoneStart result;
    if (_device.load() != 0) {
        result.error = "the microphone is already capturing";
        return result;
    }
    if (!callback || !(blockSeconds > 0.0 && blockSeconds <= 0.1)) {
        result.error = "no block callback, or a block length outside 0..100 ms";
        return result;
    }
    _callback = callback;
    _context = context;
    _lost.store(false);
    const std::string name(deviceName);

    const char* chosen = std::getenv("SDL_AUDIODRIVER");
    const bool fixedDriver = chosen && *chosen;
    // A device's refusal says more than a driver that is not there.
    std::string openError;
    std::string initError;
    std::uint32_t device = 0;
    for (const char* driver : kDriverOrder) {
        if (driver && !fixedDriver) {
            SDL_SetHint(SDL_HINT_AUDIODRIVER, driver);
        }
        const bool initialised = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
        if (!fixedDriver) {
            SDL_ResetHint(SDL_HINT_AUDIODRIVER);
        }
        if (!initialised) {
            initError = std::string("the sound system cannot be reached (") + SDL_GetError() + ")";
        } else {
            device = open(name, blockSeconds, result, openError);
            if (device != 0) {
                break;
            }
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
        }
        if (fixedDriver) {
            break;
        }
    }
    if (device == 0) {
        _callback = nullptr;
        _context = nullptr;
        result.error = "microphone not started: " + (openError.empty() ? initError : openError);
        return result;
    }
    {
        std::lock_guard lock(_deviceMutex);
        _device.store(device);
    }
    SDL_PauseAudioDevice(device, 0);
    result.started = true;
    return result;
}

std::uint32_t SdlMicrophone::open(const std::string& name, double blockSeconds,
                                  MicrophoneStart& result, std::string& error) {
    if (!name.empty() && !listed(name)) {
        error = "no capture device named '" + name + "' (clavio-cli devices lists them)";
        return 0;
    }
    std::string defaultName;
    const int native = nativeRate(name, defaultName);
    SDL_AudioSpec want{};
    want.freq = native > 0 ? native : kFallbackRate;
    want.format = AUDIO_F32SYS;
    want.channels = 1;
    want.samples = Uint16(powerOfTwoNear(blockSeconds * want.freq));
    want.callback = &SdlMicrophone::capture;
    want.userdata = this;
    SDL_AudioSpec got{};
    // Without a rate from the server any rate the device offers is taken;
    // format and channels are converted by SDL, so blocks are always mono float.
    const SDL_AudioDeviceID device =
        SDL_OpenAudioDevice(name.empty() ? nullptr : name.c_str(), 1, &want, &got,
                            native > 0 ? 0 : SDL_AUDIO_ALLOW_FREQUENCY_CHANGE);
    if (device == 0) {
        const char* why = SDL_GetError();
        error = (name.empty() ? std::string("the default capture device")
                              : "the capture device '" + name + "'") +
                " cannot be opened (" + (why && *why ? why : "no reason given") + ")";
        return 0;
    }
    _rate = double(got.freq);
    _blockFrames = got.samples;
    _nextFirst = 0; // the device is paused: its callback has not run yet
    result.sampleRate = _rate;
    result.deviceName = name.empty() ? defaultName : name;
    return device;
}

std::vector<std::string> SdlMicrophone::deviceNames() {
    std::lock_guard sdl(sdlAudioLock());
    // Listing needs the audio subsystem; a reference is taken for the look
    // (another holder's driver, or the one SDL_AUDIODRIVER or SDL picks).
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        return {};
    }
    std::vector<std::string> names = sdlDeviceNames(1);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return names;
}

bool SdlMicrophone::lost() const noexcept {
    if (_lost.load(std::memory_order_acquire)) {
        return true;
    }
    std::lock_guard lock(_deviceMutex);
    const std::uint32_t device = _device.load();
    if (device != 0 && SDL_GetAudioDeviceStatus(device) == SDL_AUDIO_STOPPED) {
        _lost.store(true, std::memory_order_release);
        return true;
    }
    return false;
}

void SdlMicrophone::stop() {
    std::lock_guard sdl(sdlAudioLock());
    std::uint32_t device = 0;
    {
        std::lock_guard lock(_deviceMutex);
        device = _device.exchange(0);
    }
    if (device == 0) {
        return;
    }
    SDL_CloseAudioDevice(device); // returns once the callback has finished
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    _callback = nullptr;
    _context = nullptr;
    _blockFrames = 0;
}

namespace {
constexpr std::uint64_t kResyncNs = 50'000'000;
} // namespace

void SdlMicrophone::capture(void* userdata, std::uint8_t* stream, int len) noexcept {
    auto* self = static_cast<SdlMicrophone*>(userdata);
    const std::uint64_t now = hostTicks();
    if (self->_lost.load(std::memory_order_relaxed)) {
        return;
    }
    // A disconnected device is called back with silence; it is not sound.
    const std::uint32_t device = self->_device.load(std::memory_order_acquire);
    if (device != 0 && SDL_GetAudioDeviceStatus(device) == SDL_AUDIO_STOPPED) {
        self->_lost.store(true, std::memory_order_release);
        return;
    }
    const auto count = std::uint32_t(std::uint32_t(len) / sizeof(float));
    const auto span = std::uint64_t(std::llround(double(count) / self->_rate * 1e9));
    // A block ended at the latest when it was handed over. Blocks handed over
    // late, or several at once, follow on from the block before instead; the
    // stamp creeps towards the latest so the device's clock cannot drift
    // away, and a gap (a stall, a resumed device) starts afresh.
    const std::uint64_t latest = now > span ? now - span : 0;
    std::uint64_t first = latest;
    const std::uint64_t expected = self->_nextFirst;
    if (expected != 0 && expected < latest && latest - expected < kResyncNs) {
        first = expected + (latest - expected) / 64;
    }
    self->_nextFirst = first + span;
    self->_callback(self->_context, reinterpret_cast<const float*>(stream), count, self->_rate,
                    first);
}

} // namespace clavio::platform
