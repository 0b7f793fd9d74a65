// The render function of the mixer core. Runs on the output's real-time
// thread: no lock, no allocation, no log, no system call.
#include <algorithm>
#include <cstring>

#include "clavio/tca_audio_engine.h"

namespace clavio {

namespace {

enum class Layout { Split, Interleaved };
enum class Source { Mono, Stereo, FirstOfMany };

// Mixes one voice into frames [0, frames) and stores its state back. Reads
// the voice's fields once into locals; the loop is the plain arithmetic of the
// mixer: truncated playhead, no interpolation, no clipping. Returns true when
// the voice reached its end (and has been freed).
template <Layout L, Source S>
bool mixVoice(TCAVoice& voice, float g, float* left, float* right, float* interleaved,
              std::uint32_t frames) noexcept {
    const float* const data = voice.sampleData;
    const std::uint32_t frameCount = voice.frameCount;
    const std::size_t channels = voice.channelCount;
    const double step = voice.pitchShift;
    const double end = double(frameCount);
    double playhead = voice.playhead;
    bool ended = false;
    for (std::uint32_t n = 0; n < frames; ++n) {
        // Truncation toward zero with a negative playhead giving frame 0;
        // comparing in double first keeps the conversion in range.
        if (!(playhead < end)) {
            ended = true;
            break;
        }
        const std::size_t i = playhead > 0.0 ? std::size_t(std::uint32_t(playhead)) : 0;
        float l;
        float r;
        if constexpr (S == Source::Stereo) {
            l = g * data[2 * i];
            r = g * data[2 * i + 1];
        } else if constexpr (S == Source::Mono) {
            l = r = g * data[i];
        } else {
            l = r = g * data[i * channels];
        }
        if constexpr (L == Layout::Split) {
            left[n] += l;
            right[n] += r;
        } else {
            interleaved[2 * n] += l;
            interleaved[2 * n + 1] += r;
        }
        playhead += step;
    }
    voice.playhead = playhead;
    if (ended) {
        // Last access to the voice in this cycle: after this store a claimer
        // may rewrite every field.
        voice.active.store(kTCAVoiceFree, std::memory_order_release);
    }
    return ended;
}

template <Layout L>
void mixVoiceAs(TCAVoice& voice, float g, float* left, float* right, float* interleaved,
                std::uint32_t frames) noexcept {
    switch (voice.channelCount) {
    case 1:
        mixVoice<L, Source::Mono>(voice, g, left, right, interleaved, frames);
        break;
    case 2:
        mixVoice<L, Source::Stereo>(voice, g, left, right, interleaved, frames);
        break;
    default:
        mixVoice<L, Source::FirstOfMany>(voice, g, left, right, interleaved, frames);
        break;
    }
}

} // namespace

int TCAAudioEngine::render(void* context, std::uint32_t frames, AudioBuffer* buffers,
                           std::uint32_t bufferCount) noexcept {
    auto* engine = static_cast<TCAAudioEngine*>(context);
    if (!engine) {
        return 0;
    }
    // Odd while the cycle runs; see the threading contract in the header.
    engine->_renderEpoch.fetch_add(1, std::memory_order_seq_cst);
    engine->renderCycle(frames, buffers, bufferCount);
    engine->_renderEpoch.fetch_add(1, std::memory_order_seq_cst);
    return 0;
}

void TCAAudioEngine::renderCycle(std::uint32_t frames, AudioBuffer* buffers,
                                 std::uint32_t bufferCount) noexcept {
    const float master = _masterVolume.load(std::memory_order_relaxed);
    _renderCallCount.fetch_add(1);

    for (std::uint32_t b = 0; b < bufferCount; ++b) {
        if (buffers[b].data) {
            std::memset(buffers[b].data, 0, std::size_t(buffers[b].floatCount) * sizeof(float));
        }
    }
    if (bufferCount == 0) {
        return;
    }
    // Never write past a buffer that is shorter than the frame count asks.
    auto capacity = [](const AudioBuffer& b) { return b.data ? b.floatCount : 0u; };
    const bool split = bufferCount > 1;
    if (split) {
        frames = std::min({frames, capacity(buffers[0]), capacity(buffers[1])});
    } else {
        frames = std::min(frames, capacity(buffers[0]) / 2);
    }
    if (frames == 0) {
        return;
    }
    float* const left = buffers[0].data;
    float* const right = split ? buffers[1].data : nullptr;

    for (TCAVoice& voice : _voices) {
        // Sequentially consistent, not just acquire: it pairs with the epoch
        // increment above against unload's silence-then-read-epoch.
        if (voice.active.load(std::memory_order_seq_cst) != kTCAVoicePlaying) {
            continue;
        }
        _activeVoiceHits.fetch_add(1);
        const float g = master * voice.gain;
        if (split) {
            mixVoiceAs<Layout::Split>(voice, g, left, right, nullptr, frames);
        } else {
            mixVoiceAs<Layout::Interleaved>(voice, g, nullptr, nullptr, left, frames);
        }
    }
}

} // namespace clavio
