// The portable mixing loops, and the choice between them and the
// instruction-set specific ones.
#include "engine/audio/tca_mix_kernels.h"

#include <cstring>

namespace clavio::mix {

bool kernelSupported(Kernel kernel) noexcept {
    switch (kernel) {
    case Kernel::Portable:
        return true;
    case Kernel::Avx2:
        return avx2Supported();
    case Kernel::Avx512:
        return avx2Supported() && avx512Supported();
    }
    return false;
}

Kernel fastestKernel() noexcept {
    return kernelSupported(Kernel::Avx512) ? Kernel::Avx512
           : kernelSupported(Kernel::Avx2) ? Kernel::Avx2
                                           : Kernel::Portable;
}

void addRun(Kernel kernel, const Run& run, float* left, float* right) noexcept {
    std::uint32_t done = 0;
    const bool contiguous = run.step == std::uint64_t(1) << run.shift;
    if (kernel == Kernel::Avx512 && !contiguous) {
        done = addWindowedAvx512(run, left, right);
    }
    if (kernel != Kernel::Portable && done < run.frames) {
        Run rest = run;
        rest.q += std::uint64_t(done) * run.step;
        rest.frames -= done;
        done += addRunAvx2(rest, left + done, right + done);
    }
    if (done < run.frames) {
        Run rest = run;
        rest.q += std::uint64_t(done) * run.step;
        rest.frames -= done;
        addRunPortable(rest, left + done, right + done);
    }
}

void interleave(Kernel kernel, const float* left, const float* right, float* out,
                std::uint32_t frames) noexcept {
    if (kernel == Kernel::Portable) {
        interleavePortable(left, right, out, frames);
    } else {
        interleaveAvx2(left, right, out, frames);
    }
}

namespace {

// Four floats as one value of the compiler's generic vector type: SSE2 on any
// x86-64, NEON on ARM. Loads and stores go through memcpy (unaligned moves).
typedef float Float4 __attribute__((vector_size(16)));
typedef int Int4 __attribute__((vector_size(16)));

inline Float4 load4(const float* p) noexcept {
    Float4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void add4(float* p, Float4 x) noexcept {
    const Float4 v = load4(p) + x;
    std::memcpy(p, &v, sizeof v);
}

// Lanes 0, 2 of a then 0, 2 of b (left channels of four stereo frames), and
// lanes 1, 3 of each (right channels).
inline Float4 evens4(Float4 a, Float4 b) noexcept {
#if defined(__clang__)
    return __builtin_shufflevector(a, b, 0, 2, 4, 6);
#else
    return __builtin_shuffle(a, b, Int4{0, 2, 4, 6});
#endif
}

inline Float4 odds4(Float4 a, Float4 b) noexcept {
#if defined(__clang__)
    return __builtin_shufflevector(a, b, 1, 3, 5, 7);
#else
    return __builtin_shuffle(a, b, Int4{1, 3, 5, 7});
#endif
}

// Step exactly one source frame per output frame: the plain loop, four
// frames at a time.
std::uint32_t addContiguousPortable(const Run& run, float* left, float* right) noexcept {
    const float g = run.gain;
    const float gr = run.gainRight;
    const std::uint32_t frames = run.frames & ~3u;
    if (run.channels == 1) {
        const float* src = run.data + (run.q >> run.shift);
        for (std::uint32_t j = 0; j < frames; j += 4) {
            const Float4 x = load4(src + j);
            add4(left + j, g * x);
            add4(right + j, gr * x);
        }
    } else {
        const float* src = run.data + 2 * (run.q >> run.shift);
        for (std::uint32_t j = 0; j < frames; j += 4) {
            const Float4 a = load4(src + 2 * j); // L0 R0 L1 R1
            const Float4 b = load4(src + 2 * j + 4);
            add4(left + j, g * evens4(a, b));
            add4(right + j, gr * odds4(a, b));
        }
    }
    return frames;
}

} // namespace

void addRunPortable(const Run& run, float* left, float* right) noexcept {
    std::uint32_t done = 0;
    if (run.channels <= 2 && run.step == std::uint64_t(1) << run.shift) {
        done = addContiguousPortable(run, left, right);
    }
    const float* const data = run.data;
    const float g = run.gain;
    const float gr = run.gainRight;
    const std::uint64_t step = run.step;
    const unsigned shift = run.shift;
    const std::uint32_t frames = run.frames;
    std::uint64_t q = run.q + done * step;
    // An integer add carries the position from frame to frame: one cycle of
    // latency instead of a double add's three or four.
    if (run.channels == 1) {
        for (std::uint32_t j = done; j < frames; ++j, q += step) {
            const float x = data[q >> shift];
            left[j] += g * x;
            right[j] += gr * x;
        }
    } else if (run.channels == 2) {
        for (std::uint32_t j = done; j < frames; ++j, q += step) {
            const std::uint64_t i = q >> shift;
            left[j] += g * data[2 * i];
            right[j] += gr * data[2 * i + 1];
        }
    } else {
        const std::uint64_t channels = run.channels;
        for (std::uint32_t j = done; j < frames; ++j, q += step) {
            const float x = data[(q >> shift) * channels];
            left[j] += g * x;
            right[j] += gr * x;
        }
    }
}

void interleavePortable(const float* left, const float* right, float* out,
                        std::uint32_t frames) noexcept {
    for (std::uint32_t n = 0; n < frames; ++n) {
        out[2 * n] = left[n];
        out[2 * n + 1] = right[n];
    }
}

} // namespace clavio::mix
