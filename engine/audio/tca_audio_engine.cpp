#include "engine/audio/tca_audio_engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <new>
#include <thread>

#include "engine/audio/tca_mix_kernels.h"
#include "engine/core/log.h"

namespace clavio {

std::atomic<std::uint64_t> TCAAudioEngine::_renderCallCount{0};
std::atomic<std::uint64_t> TCAAudioEngine::_activeVoiceHits{0};

namespace {
// A render cycle lasts a few milliseconds; a cycle still running after this
// long means the output thread is stalled (debugger, suspended process). The
// unload then keeps the samples alive rather than block the caller for good.
constexpr auto kRenderLeaveTimeout = std::chrono::seconds(2);

// The smallest step a voice may take. Below it the playhead of a long sample
// stops advancing before the end (a double absorbs an add smaller than half
// its unit), so the voice would sound for good and hold its slot; a factor
// that small is no pitch anyone plays (about 20 octaves down).
constexpr double kMinStep = 1.0 / (1 << 20);
constexpr float kSqrt2 = 1.41421356f;

mix::Kernel fastestKernel() {
    static const mix::Kernel fastest = mix::fastestKernel();
    return fastest;
}
} // namespace

static_assert(kTCASamplePaddingFloats == mix::kSamplePaddingFloats);

TCAAudioEngine::TCAAudioEngine(const AudioDecoder& decoder, AudioOutput& output)
    : _decoder(decoder), _output(output) {
    _mixKernel.store(std::uint8_t(fastestKernel()), std::memory_order_relaxed);
}

static_assert(std::uint8_t(TCAMixKernel::Portable) == std::uint8_t(mix::Kernel::Portable) &&
              std::uint8_t(TCAMixKernel::Avx2) == std::uint8_t(mix::Kernel::Avx2) &&
              std::uint8_t(TCAMixKernel::Avx512) == std::uint8_t(mix::Kernel::Avx512));

bool TCAAudioEngine::setMixKernel(TCAMixKernel kernel) noexcept {
    if (std::uint8_t(kernel) > std::uint8_t(fastestKernel())) {
        return false;
    }
    _mixKernel.store(std::uint8_t(kernel), std::memory_order_relaxed);
    return true;
}

TCAAudioEngine::~TCAAudioEngine() {
    stop();
    unloadAllSamples();
}

bool TCAAudioEngine::start() {
    if (_running.load(std::memory_order_acquire)) {
        return true;
    }
    AudioOutputRequest request;
    request.sampleRate = 48000.0;
    request.bufferFrames = kTCAOutputBufferFrames;
    const AudioOutputStart result = _output.start(request, &TCAAudioEngine::render, this);
    // The rate is taken even when the start fails, so a later start that
    // succeeds at the same rate finds the voices stepped for it.
    if (result.sampleRate > 0.0 && std::isfinite(result.sampleRate)) {
        _outputSampleRate.store(result.sampleRate, std::memory_order_relaxed);
    }
    char line[512];
    if (result.started) {
        _running.store(true, std::memory_order_release);
        _idle.begin();
        std::snprintf(line, sizeof line, "[Clavio:Audio] Audio output started, %.0f Hz",
                      _outputSampleRate.load(std::memory_order_relaxed));
        logLine(result.driver.empty() ? std::string(line)
                                      : std::string(line) + " (" + result.driver + ")");
        return true;
    }
    logLine("[Clavio:Audio] Audio output failed to start: " + result.error);
    return false;
}

void TCAAudioEngine::stop() {
    if (!_running.load(std::memory_order_acquire)) {
        return;
    }
    _idle.end();
    _output.stop();
    _running.store(false, std::memory_order_release);
}

std::int32_t TCAAudioEngine::loadSampleAtPath(const std::filesystem::path& path) {
    DecodedAudio audio;
    std::string error;
    if (!_decoder.decode(path, audio, error)) {
        return -1;
    }
    return addDecodedSample(std::move(audio));
}

std::int32_t TCAAudioEngine::addDecodedSample(DecodedAudio&& audio) {
    const std::uint64_t samples = std::uint64_t(audio.frameCount) * audio.channelCount;
    if (audio.frameCount == 0 || audio.channelCount == 0 || samples > kMaxDecodedSamples ||
        audio.frames.size() < samples || !(audio.sampleRate > 0.0) ||
        !std::isfinite(audio.sampleRate)) {
        return -1;
    }
    // The render thread sums voices without checks: a NaN or infinite sample
    // would spoil every voice mixed in the same cycle.
    for (std::uint64_t i = 0; i < samples; ++i) {
        if (!std::isfinite(audio.frames[i])) {
            return -1;
        }
    }
    TCALoadedSample sample;
    sample.data = std::move(audio.frames);
    try {
        sample.data.resize(std::size_t(samples) + kTCASamplePaddingFloats, 0.0f);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    std::fill(sample.data.begin() + std::ptrdiff_t(samples), sample.data.end(), 0.0f);
    sample.frameCount = audio.frameCount;
    sample.channelCount = audio.channelCount;
    sample.sampleRate = audio.sampleRate;

    std::lock_guard lock(_mutex);
    if (_loadedSamples.size() >= std::size_t(INT32_MAX)) {
        return -1;
    }
    try {
        _loadedSamples.push_back(std::move(sample));
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return static_cast<std::int32_t>(_loadedSamples.size() - 1);
}

void TCAAudioEngine::unloadAllSamples() {
    std::vector<TCALoadedSample> doomed;
    {
        std::lock_guard lock(_mutex);
        doomed = std::move(_loadedSamples);
        _loadedSamples.clear();
        // Every playing voice reads from the list being detached. A claimed
        // voice cannot exist here: claims happen under _mutex.
        for (TCAVoice& voice : _voices) {
            std::int32_t expected = kTCAVoicePlaying;
            voice.active.compare_exchange_strong(expected, kTCAVoiceFree,
                                                 std::memory_order_seq_cst);
        }
        // Held until the render thread has left the silenced voices, so no
        // claim can rewrite a voice the render thread is still mixing.
        if (!waitForRenderToLeave()) {
            if (_retiredSamples.empty()) {
                _retiredSamples = std::move(doomed);
            } else {
                _retiredSamples.insert(_retiredSamples.end(),
                                       std::make_move_iterator(doomed.begin()),
                                       std::make_move_iterator(doomed.end()));
            }
            return;
        }
        if (!_retiredSamples.empty()) {
            for (TCALoadedSample& sample : _retiredSamples) {
                doomed.push_back(std::move(sample));
            }
            _retiredSamples.clear();
        }
    }
    // `doomed` frees the data here, outside the lock.
}

bool TCAAudioEngine::waitForRenderToLeave() const {
    const std::uint64_t epoch = _renderEpoch.load(std::memory_order_seq_cst);
    if ((epoch & 1) == 0) {
        return true; // no cycle running: the next one sees the silenced voices
    }
    const auto deadline = std::chrono::steady_clock::now() + kRenderLeaveTimeout;
    while (_renderEpoch.load(std::memory_order_seq_cst) == epoch) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

TCAPanGains tca_pan_gains(float pan) noexcept {
    const float p = std::isfinite(pan) ? std::clamp(pan, -1.0f, 1.0f) : 0.0f;
    const float angle = (p + 1.0f) * 0.785398163f; // 0 (left) to pi/2 (right)
    return {std::cos(angle), std::sin(angle)};
}

bool TCAAudioEngine::playSample(std::int32_t index, float gain, float pitchShift, float pan) {
    // A factor of 0, below 0 or NaN would leave a voice that never reaches
    // its end (or walks off the front of its data); an infinite or NaN gain
    // would fill the output with non-numbers. Neither claims a voice.
    if (!(pitchShift > 0.0f) || !std::isfinite(gain)) {
        return false;
    }
    // Centred: both sides at the voice's gain exactly, as an unpanned mixer
    // plays it. Otherwise the constant-power gains, scaled so that the centre
    // is that same level on each side (sqrt 2 x cos(pi/4) = 1).
    float gainLeft = gain;
    float gainRight = gain;
    if (pan != 0.0f && std::isfinite(pan)) {
        const TCAPanGains sides = tca_pan_gains(pan);
        gainLeft = gain * kSqrt2 * sides.left;
        gainRight = gain * kSqrt2 * sides.right;
    }
    if (!claimVoice(index, gainLeft, gainRight, pitchShift)) {
        return false;
    }
    // Outside the sample-list lock: each lock guards its own data.
    _idle.notePlay();
    return true;
}

bool TCAAudioEngine::claimVoice(std::int32_t index, float gain, float gainRight, float pitchShift) {
    std::lock_guard lock(_mutex);
    if (index < 0 || std::size_t(index) >= _loadedSamples.size()) {
        return false;
    }
    const TCALoadedSample& sample = _loadedSamples[std::size_t(index)];
    const double step =
        sample.sampleRate / _outputSampleRate.load(std::memory_order_relaxed) * double(pitchShift);
    if (!(step >= kMinStep) || !std::isfinite(step)) {
        return false;
    }
    for (TCAVoice& voice : _voices) {
        std::int32_t expected = kTCAVoiceFree;
        if (!voice.active.compare_exchange_strong(
                expected, kTCAVoiceClaimed, std::memory_order_acq_rel, std::memory_order_relaxed)) {
            continue;
        }
        voice.sampleData = sample.data.data();
        voice.frameCount = sample.frameCount;
        voice.channelCount = sample.channelCount;
        voice.playhead = 0.0;
        voice.gain = gain;
        voice.gainRight = gainRight;
        voice.pitchShift = step;
        voice.active.store(kTCAVoicePlaying, std::memory_order_release);
        return true;
    }
    return false; // every voice busy: the sound is dropped
}

const TCARingBuffer* TCAAudioEngine::ownSoundRing() {
    std::lock_guard lock(_mutex);
    if (!_ownRing) {
        _ownRing = std::make_unique<TCARingBuffer>();
        tca_ring_init(_ownRing.get());
        _ownEnvelope = std::make_unique<TCAMicEnvelope>();
        tca_mic_envelope_init(_ownEnvelope.get(), _ownRing.get());
    }
    return _ownRing.get();
}

void TCAAudioEngine::setOwnSoundEnvelope(bool on) {
    ownSoundRing();
    // Never re-initialised: a render cycle may still hold the pointer after
    // it is taken away, and the state stays valid for it.
    _ownEnvelopeActive.store(on ? _ownEnvelope.get() : nullptr, std::memory_order_release);
}

std::size_t TCAAudioEngine::loadedSampleCount() const {
    std::lock_guard lock(_mutex);
    return _loadedSamples.size();
}

std::size_t TCAAudioEngine::busyVoiceCount() const noexcept {
    std::size_t busy = 0;
    for (const TCAVoice& voice : _voices) {
        busy += voice.active.load(std::memory_order_relaxed) != kTCAVoiceFree;
    }
    return busy;
}

} // namespace clavio
