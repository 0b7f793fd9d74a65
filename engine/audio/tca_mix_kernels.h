// Inner loops of the mixer's render function. Internal to the engine.
//
// The render function advances each voice's playhead as a double, one add of
// the step per output frame, and reads the source at the truncated playhead.
// Those adds are a serial chain (one add latency per frame and voice), and
// truncating a double to an index is a slow instruction; together they made
// the mixer several times slower than a plain mixing loop. The planner in
// tca_audio_render.cpp therefore splits a voice's frames into runs on which
// the same double sequence can be written exactly in fixed point: while the
// playhead stays in one binade [2^k, 2^(k+1)), every add of the step rounds to
// the same multiple of that binade's unit, so the playhead of frame j of the
// run is (q + j x step) x 2^-shift exactly and its index is
// (q + j x step) >> shift. A kernel below mixes such a run; the result is
// bit for bit the one of the plain loop, whichever kernel runs.
//
// Everything here runs on the render thread: no lock, no allocation, no
// system call.
#pragma once

#include <cstdint>

namespace clavio::mix {

// Zeros that follow every loaded sample's frames, so that the vector loops
// may load a whole window past the last frame they use.
inline constexpr std::uint32_t kSamplePaddingFloats = 64;

// Frames mixed per pass into the accumulators.
inline constexpr std::uint32_t kChunkFrames = 256;

// A run of `frames` output frames of one voice. Frame j reads source frame
// (q + j x step) >> shift; every one of them is below the sample's end.
struct Run {
    const float* data = nullptr; // the sample's interleaved frames (padded)
    std::uint32_t channels = 1;  // 1, 2, or more (only the first is read)
    float gain = 0.0f;           // master volume x voice gain, left side
    float gainRight = 0.0f;      // the same for the right side (equal when centred)
    std::uint64_t q = 0;
    std::uint64_t step = 0;
    unsigned shift = 0; // 0..52
    std::uint32_t frames = 0;
};

enum class Kernel : std::uint8_t { Portable, Avx2, Avx512 };

// Whether this processor runs `kernel`; the fastest one it runs. They query
// CPUID: call them off the render thread.
bool kernelSupported(Kernel kernel) noexcept;
Kernel fastestKernel() noexcept;

// Adds the run into left[0, frames) and right[0, frames): for a stereo source
// gain x left and gainRight x right of the source frame, otherwise gain and
// gainRight x its first channel.
void addRun(Kernel kernel, const Run& run, float* left, float* right) noexcept;
void addRunPortable(const Run& run, float* left, float* right) noexcept;

// out[2n] = left[n], out[2n + 1] = right[n] for n < frames.
void interleave(Kernel kernel, const float* left, const float* right, float* out,
                std::uint32_t frames) noexcept;
void interleavePortable(const float* left, const float* right, float* out,
                        std::uint32_t frames) noexcept;

// The instruction-set specific parts (each file compiles only its own
// functions for its instruction set). Each mixes a prefix of the run, in
// whole blocks, and returns how many frames it did (0 when the run's channels
// or step do not suit it).
bool avx2Supported() noexcept;
std::uint32_t addRunAvx2(const Run& run, float* left, float* right) noexcept;
void interleaveAvx2(const float* left, const float* right, float* out,
                    std::uint32_t frames) noexcept;
bool avx512Supported() noexcept;
std::uint32_t addWindowedAvx512(const Run& run, float* left, float* right) noexcept;

} // namespace clavio::mix
