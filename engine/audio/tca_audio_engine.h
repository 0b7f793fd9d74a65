// The mixer core: the list of decoded samples, a fixed pool of 32 voices and
// the render function that mixes them into an audio output.
//
// Threading contract:
// - Control threads (main thread, classify queue, keyboard thread) call
//   loadSampleAtPath, addDecodedSample, unloadAllSamples, playSample,
//   setMasterVolume and the readers; start() and stop() come from one
//   control thread (the main thread).
// - The output's thread calls the render function (tca_audio_render). It
//   takes no lock, allocates nothing and never touches the sample list.
// - `_mutex` guards `_loadedSamples` and `_retiredSamples`. playSample holds
//   it from the index lookup until its voice is published, and
//   unloadAllSamples holds it until the render thread has left the voices it
//   silenced; so no voice can point into a list that is being freed.
// - Voice states: 0 free, 1 playing, 2 claimed. A claimer swaps 0 -> 2,
//   writes the fields, then release-stores 1; the render thread mixes only
//   voices it reads as 1, so it never sees half-written fields. It reads
//   every voice's state once at the start of a cycle, and ends a voice with
//   a release store of 0 after its last access.
// - `_renderEpoch` is odd while a render cycle runs. Unload silences voices
//   (1 -> 0) and then reads the epoch; both sides use sequentially consistent
//   operations, so either the next cycle sees the silenced voices or unload
//   sees the cycle in progress and waits for it to end before freeing.
// - `_masterVolume` and `_outputSampleRate` are atomics without ordering
//   needs; the two counters are process-wide sequentially consistent adds.
// - Idle saving (`_idle`, see tca_idle_control.h): after a quiet spell the
//   output is suspended by the idle thread and resumed on activity;
//   noteActivity() is lock-free; it makes one futex wake, and only while the
//   output is suspended. isRunning() stays
//   true while the output is suspended.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/audio/tca_idle_control.h"
#include "engine/ports/audio_decoder.h"
#include "engine/ports/audio_output.h"
#include "engine/sensing/mic_envelope.h"
#include "engine/sensing/ring_buffer.h"

namespace clavio {

inline constexpr std::size_t kTCAVoiceCount = 32;
inline constexpr std::uint32_t kTCAOutputBufferFrames = 256;

inline constexpr std::int32_t kTCAVoiceFree = 0;
inline constexpr std::int32_t kTCAVoicePlaying = 1;
inline constexpr std::int32_t kTCAVoiceClaimed = 2;

struct TCAVoice {
    std::atomic<std::int32_t> active{kTCAVoiceFree};
    const float* sampleData = nullptr; // borrowed from a TCALoadedSample
    std::uint32_t frameCount = 0;
    std::uint32_t channelCount = 0;
    double playhead = 0.0;   // source frames
    float gain = 0.0f;       // left side
    float gainRight = 0.0f;  // right side; equal to gain for a centred voice
    double pitchShift = 0.0; // playhead advance per output frame
};

// One decoded file. `data` holds frameCount x channelCount interleaved floats
// followed by kTCASamplePaddingFloats zeros (the render function's vector
// loops load a little past the last frame they use); its heap block never
// moves while the sample is in the list, so voices may borrow data.data().
inline constexpr std::uint32_t kTCASamplePaddingFloats = 64;

// The loops the render function mixes with. Every one gives the same output,
// bit for bit; they differ in speed and in the processors that run them.
enum class TCAMixKernel : std::uint8_t { Portable, Avx2, Avx512 };

struct TCALoadedSample {
    std::vector<float> data;
    std::uint32_t frameCount = 0;
    std::uint32_t channelCount = 0;
    double sampleRate = 0.0;
};

// Constant-power stereo placement: `pan` from -1 (left) through 0 (centre)
// to +1 (right) gives cos and sin of (pan + 1) x pi/4, whose squares sum to
// 1. Out of range is clamped; NaN is centred.
struct TCAPanGains {
    float left;
    float right;
};
TCAPanGains tca_pan_gains(float pan) noexcept;

class TCAAudioEngine {
public:
    // The decoder and the output must outlive the mixer.
    TCAAudioEngine(const AudioDecoder& decoder, AudioOutput& output);
    // Stops the output, then frees every sample.
    ~TCAAudioEngine();
    TCAAudioEngine(const TCAAudioEngine&) = delete;
    TCAAudioEngine& operator=(const TCAAudioEngine&) = delete;

    // Main thread. Starts the output; true when running (at once, silently,
    // when already running). Logs the outcome.
    bool start();
    // Main thread. Stops the output if running (suspended or not); voices and
    // samples stay.
    void stop();
    // Any thread.
    bool isRunning() const noexcept { return _running.load(std::memory_order_acquire); }

    // Control thread. Decodes the file and appends it; the new index, or -1
    // (list unchanged) when the file cannot be decoded.
    std::int32_t loadSampleAtPath(const std::filesystem::path& path);
    // Control thread. Appends already decoded audio; -1 (list unchanged) when
    // it is empty or inconsistent (sizes, channels, rate, length guard) or
    // holds a sample that is NaN or infinite.
    std::int32_t addDecodedSample(DecodedAudio&& audio);
    // Control thread. Silences every voice, waits (bounded) until the render
    // thread has left them, frees every sample and empties the list.
    void unloadAllSamples();
    // Control thread. Starts one voice; false when the index is out of range,
    // the pitch factor is not positive (0, negative, NaN), the step it gives
    // is too small for the playhead ever to reach the end, the gain is not
    // finite, or all voices are busy. A playing voice is never stolen.
    // `pan` 0 plays both sides at `gain`; any other value places the voice
    // with tca_pan_gains, scaled by sqrt 2 so the level stays that of the
    // centre. The two gains are computed here, once per voice.
    bool playSample(std::int32_t index, float gain, float pitchShift, float pan = 0.0f);

    // Any thread but the render callback, the keyboard thread included:
    // lock-free, allocation-free; one futex wake while the output is
    // suspended. Notes that a sound is about to be played, so that an output
    // suspended while idle is resumed before it is mixed.
    void noteActivity() noexcept { _idle.noteActivity(); }
    // Main thread, before start(). The quiet spell after which the output is
    // suspended (0: never). It defaults to CLAVIO_AUDIO_IDLE_MS or 3 s.
    void setIdleSuspend(std::chrono::milliseconds delay) { _idle.configure(delay); }
    std::chrono::milliseconds idleSuspendDelay() const { return _idle.delay(); }
    // Any thread. Whether the output is suspended for idleness now.
    bool outputSuspended() const noexcept { return _idle.suspended(); }

    // Any thread.
    float masterVolume() const noexcept { return _masterVolume.load(std::memory_order_relaxed); }
    void setMasterVolume(float volume) noexcept {
        _masterVolume.store(volume, std::memory_order_relaxed);
    }
    double outputSampleRate() const noexcept {
        return _outputSampleRate.load(std::memory_order_relaxed);
    }
    std::size_t loadedSampleCount() const;
    // Voices claimed or playing (diagnostic).
    std::size_t busyVoiceCount() const noexcept;
    // The playhead of voice `index` (diagnostic, for tests): only while no
    // render runs concurrently, e.g. with an offline output pulled on the
    // calling thread. 0 for an index out of range.
    double voicePlayhead(std::size_t index) const noexcept {
        return index < _voices.size() ? _voices[index].playhead : 0.0;
    }

    // Any thread. The mixing loops of the next render cycles; the fastest
    // this processor runs after construction. False (and no change) when the
    // processor cannot run `kernel`. For tests and benchmarks.
    bool setMixKernel(TCAMixKernel kernel) noexcept;
    TCAMixKernel mixKernel() const noexcept {
        return TCAMixKernel(_mixKernel.load(std::memory_order_relaxed));
    }

    // Control thread. While on, the render function writes the envelope of
    // what it plays (mic_envelope.h) into ownSoundRing(), stamped with the
    // clock at the cycle's start; the microphone's strike sensing subtracts
    // it. The ring is made at the first call and lives as long as the mixer.
    void setOwnSoundEnvelope(bool on);
    const TCARingBuffer* ownSoundRing();

    // Process-wide diagnostics, incremented only by the render function.
    static std::uint64_t renderCallCount() noexcept { return _renderCallCount.load(); }
    static std::uint64_t activeVoiceHits() noexcept { return _activeVoiceHits.load(); }

    // The output's thread. Zeroes and fills the buffers; `context` is the
    // mixer (null: buffers untouched). Always returns 0.
    static int render(void* context, std::uint32_t frames, AudioBuffer* buffers,
                      std::uint32_t bufferCount) noexcept;

private:
    bool claimVoice(std::int32_t index, float gain, float gainRight, float pitchShift);
    void renderCycle(std::uint32_t frames, AudioBuffer* buffers,
                     std::uint32_t bufferCount) noexcept;
    // Called with _mutex held. Waits until no render cycle that began before
    // the call is still running; false on timeout.
    bool waitForRenderToLeave() const;

    const AudioDecoder& _decoder;
    AudioOutput& _output;
    std::array<TCAVoice, kTCAVoiceCount> _voices;
    std::vector<TCALoadedSample> _loadedSamples;
    // Samples detached by an unload whose wait for the render thread timed
    // out; freed by a later unload or the destructor, never while possibly
    // still read.
    std::vector<TCALoadedSample> _retiredSamples;
    std::atomic<double> _outputSampleRate{48000.0};
    std::atomic<bool> _running{false};
    std::atomic<float> _masterVolume{1.0f};
    std::atomic<std::uint64_t> _renderEpoch{0};
    std::atomic<std::uint8_t> _mixKernel{0};
    mutable std::mutex _mutex;
    std::unique_ptr<TCARingBuffer> _ownRing;
    std::unique_ptr<TCAMicEnvelope> _ownEnvelope;
    std::atomic<TCAMicEnvelope*> _ownEnvelopeActive{nullptr};
    TCAIdleControl _idle{*this, _output};
    // Render thread only: the two channel sums of one chunk of frames.
    alignas(64) std::array<float, 256> _mixLeft{};
    alignas(64) std::array<float, 256> _mixRight{};

    static std::atomic<std::uint64_t> _renderCallCount;
    static std::atomic<std::uint64_t> _activeVoiceHits;
};

static_assert(std::atomic<double>::is_always_lock_free);
static_assert(std::atomic<float>::is_always_lock_free);
static_assert(std::atomic<std::int32_t>::is_always_lock_free);

} // namespace clavio
