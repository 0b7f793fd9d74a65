// The render function of the mixer core. Runs on the output's real-time
// thread: no lock, no allocation, no log, no system call.
//
// The arithmetic is the mixer's plain loop, for each playing voice in index
// order and each output frame n:
//     if playhead >= frameCount: free the voice, stop for this cycle
//     i = playhead truncated; out[n] += gain x source[i]; playhead += step
// (with the voice's left gain on the left channel, its right gain on the right)
// with every output value summed over the voices in index order, no
// interpolation and no clipping. The code below computes exactly that, bit
// for bit, but faster (see tca_mix_kernels.h): voices are read once per
// cycle, and each voice's frames are mixed in runs whose positions are exact
// fixed-point numbers, into two accumulators that are copied to the output.
#include <algorithm>
#include <bit>
#include <cstring>

#include "engine/audio/tca_audio_engine.h"
#include "engine/audio/tca_mix_kernels.h"
#include "engine/ports/clock.h"

namespace clavio {

namespace {

constexpr std::uint64_t kImplicitBit = std::uint64_t(1) << 52;
constexpr std::uint64_t kMantissaMask = kImplicitBit - 1;
constexpr std::uint64_t kBinadeLimit = (std::uint64_t(1) << 53) - 1;

// One playing voice's state for the length of a render cycle.
struct Cursor {
    TCAVoice* voice;
    const float* data;
    std::uint32_t frameCount;
    std::uint32_t channels;
    double playhead;
    double step;
    float gain;      // master volume x voice gain, left
    float gainRight; // master volume x voice gain, right
    bool ended;
};

// Plans the longest run from `playhead` (at most `maxFrames` frames, none at
// or past the end) whose positions are exact fixed-point values, and the
// playhead after it. False when the next frame must take the plain step:
// playhead below 1 (a voice's first frames), or a step that is not the same
// multiple of the binade's unit at every add (it rounds to a tie, or it is far
// larger or smaller than the playhead).
bool planRun(const Cursor& c, double playhead, std::uint32_t maxFrames, mix::Run& run,
             double& after) noexcept {
    run.data = c.data;
    run.channels = c.channels;
    run.gain = c.gain;
    run.gainRight = c.gainRight;

    // Step 1 from a whole playhead: integer adds, exact at any size.
    if (c.step == 1.0 && playhead >= 0.0 && playhead == double(std::uint32_t(playhead))) {
        const auto first = std::uint32_t(playhead);
        run.q = first;
        run.step = 1;
        run.shift = 0;
        run.frames = std::min(maxFrames, c.frameCount - first);
        after = playhead + double(run.frames);
        return true;
    }
    if (!(playhead >= 1.0)) {
        return false;
    }
    // playhead = P x 2^(k - 52) with P in [2^52, 2^53); playhead < 2^32.
    const auto bits = std::bit_cast<std::uint64_t>(playhead);
    const int k = int(bits >> 52) - 1023;
    const std::uint64_t P = (bits & kMantissaMask) | kImplicitBit;
    const unsigned shift = unsigned(52 - k);

    // step / 2^(k - 52) = Ms x 2^(e - k), rounded to the nearest integer S.
    // While the sum stays in this binade, playhead + step rounds to P + S
    // units, whatever P is, unless the dropped bits are exactly one half
    // (then the rounding goes to even and depends on P).
    const auto stepBits = std::bit_cast<std::uint64_t>(c.step);
    const int stepExponent = int((stepBits >> 52) & 0x7ff);
    if (stepExponent == 0 || stepExponent == 0x7ff) {
        return false;
    }
    const std::uint64_t Ms = (stepBits & kMantissaMask) | kImplicitBit;
    const int down = k - (stepExponent - 1023);
    std::uint64_t S;
    if (down <= 0) {
        if (down < -9) {
            return false;
        }
        S = Ms << -down;
    } else {
        if (down > 52) {
            return false;
        }
        S = Ms >> down;
        const std::uint64_t dropped = Ms & ((std::uint64_t(1) << down) - 1);
        const std::uint64_t half = std::uint64_t(1) << (down - 1);
        if (dropped == half) {
            return false;
        }
        S += dropped > half;
    }
    if (S == 0) {
        return false;
    }
    // Frames whose position P + j x S stays in the binade.
    std::uint64_t frames = (kBinadeLimit - P) / S + 1;
    // Frames before the end, when the end lies inside the binade.
    if (c.frameCount < (std::uint64_t(1) << (k + 1))) {
        const std::uint64_t endFixed = std::uint64_t(c.frameCount) << shift;
        frames = std::min(frames, (endFixed - P + S - 1) / S);
    }
    frames = std::min<std::uint64_t>(frames, maxFrames);
    run.q = P;
    run.step = S;
    run.shift = shift;
    run.frames = std::uint32_t(frames);
    // The run's last position is exact; the step after it is the plain add.
    const std::uint64_t last = P + (frames - 1) * S;
    after =
        std::bit_cast<double>((std::uint64_t(k + 1023) << 52) | (last & kMantissaMask)) + c.step;
    return true;
}

// Mixes frames [0, frames) of this chunk of one voice into the accumulators.
// True when the voice reached its end (its playhead then holds the value that
// was found at or past the end).
bool mixChunk(Cursor& c, float* left, float* right, std::uint32_t frames,
              mix::Kernel kernel) noexcept {
    const double end = double(c.frameCount);
    double playhead = c.playhead;
    std::uint32_t n = 0;
    while (n < frames) {
        if (!(playhead < end)) {
            c.playhead = playhead;
            return true;
        }
        mix::Run run;
        double after;
        if (planRun(c, playhead, frames - n, run, after)) {
            mix::addRun(kernel, run, left + n, right + n);
            n += run.frames;
            playhead = after;
            continue;
        }
        // One frame of the plain arithmetic; a negative playhead reads frame 0.
        const std::uint64_t i = playhead > 0.0 ? std::uint64_t(std::uint32_t(playhead)) : 0;
        if (c.channels == 2) {
            left[n] += c.gain * c.data[2 * i];
            right[n] += c.gainRight * c.data[2 * i + 1];
        } else {
            const float x = c.data[i * c.channels];
            left[n] += c.gain * x;
            right[n] += c.gainRight * x;
        }
        playhead += c.step;
        ++n;
    }
    c.playhead = playhead;
    return false;
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

    // The playing voices, read once for the whole cycle. A voice claimed
    // after this point is mixed from the next cycle on.
    Cursor cursors[kTCAVoiceCount];
    std::uint32_t playing = 0;
    for (TCAVoice& voice : _voices) {
        // Sequentially consistent, not just acquire: it pairs with the epoch
        // increment above against unload's silence-then-read-epoch.
        if (voice.active.load(std::memory_order_seq_cst) != kTCAVoicePlaying) {
            continue;
        }
        _activeVoiceHits.fetch_add(1);
        cursors[playing++] =
            Cursor{&voice,         voice.sampleData, voice.frameCount,    voice.channelCount,
                   voice.playhead, voice.pitchShift, master * voice.gain, master * voice.gainRight,
                   false};
    }
    if (playing == 0) {
        return; // the buffers are already silent
    }

    // The envelope of what plays, while the microphone listens for strikes.
    TCAMicEnvelope* const own = _ownEnvelopeActive.load(std::memory_order_acquire);
    const std::uint64_t cycleTicks = own != nullptr ? hostTicks() : 0;
    const double rate = _outputSampleRate.load(std::memory_order_relaxed);

    static_assert(std::tuple_size_v<decltype(_mixLeft)> == mix::kChunkFrames);
    const auto kernel = mix::Kernel(_mixKernel.load(std::memory_order_relaxed));
    float* const left = _mixLeft.data();
    float* const right = _mixRight.data();
    for (std::uint32_t start = 0; start < frames; start += mix::kChunkFrames) {
        const std::uint32_t count = std::min(frames - start, mix::kChunkFrames);
        std::fill_n(left, count, 0.0f);
        std::fill_n(right, count, 0.0f);
        for (std::uint32_t v = 0; v < playing; ++v) {
            Cursor& c = cursors[v];
            if (c.ended || !mixChunk(c, left, right, count, kernel)) {
                continue;
            }
            c.ended = true;
            c.voice->playhead = c.playhead;
            // Last access to the voice in this cycle: after this store a
            // claimer may rewrite every field.
            c.voice->active.store(kTCAVoiceFree, std::memory_order_release);
        }
        if (own != nullptr) {
            float mono[mix::kChunkFrames];
            for (std::uint32_t i = 0; i < count; ++i) {
                mono[i] = 0.5f * (left[i] + right[i]);
            }
            tca_mic_envelope_process(own, mono, count, rate,
                                     cycleTicks + std::uint64_t(double(start) * 1e9 / rate));
        }
        if (split) {
            std::memcpy(buffers[0].data + start, left, count * sizeof(float));
            std::memcpy(buffers[1].data + start, right, count * sizeof(float));
        } else {
            mix::interleave(kernel, left, right, buffers[0].data + 2 * std::size_t(start), count);
        }
    }
    for (std::uint32_t v = 0; v < playing; ++v) {
        if (!cursors[v].ended) {
            cursors[v].voice->playhead = cursors[v].playhead;
        }
    }
}

} // namespace clavio
