// The AVX2 mixing loops, chosen at run time on x86-64 processors that have
// AVX2 (nearly every one since 2013).
//
// Only these functions are compiled for AVX2 (a target attribute each), not
// the whole file: inline library code instantiated here must stay runnable on
// any x86-64, since the linker may keep this file's copy for every caller.
//
// A run's source positions rise by at most step per frame, so the eight
// frames of a block read from a short stretch of the sample. The kernel loads
// that stretch (two or three vectors from the block's first index) and picks
// each frame's value with a lane permutation: on AMD processors a gather
// instruction costs more than the whole rest of the loop.
#include "engine/audio/tca_mix_kernels.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define CLAVIO_MIX_AVX2 1
#include <immintrin.h>
#endif

namespace clavio::mix {

#ifdef CLAVIO_MIX_AVX2

#define CLAVIO_AVX2 __attribute__((target("avx2")))

namespace {

// Largest distance, in source frames, between the first and the last frame of
// an 8-frame block that a window of `span` + 1 frames still covers:
// rel7 = (fraction + 7 x step) >> shift with fraction < 2^shift, so
// rel7 <= span whenever 7 x step <= span x 2^shift.
bool windowCovers(const Run& run, std::uint64_t span) noexcept {
    return run.step <= (span << run.shift) / 7;
}

CLAVIO_AVX2 inline void accumulate(float* __restrict left, float* __restrict right, __m256 l,
                                   __m256 r) noexcept {
    _mm256_storeu_ps(left, _mm256_add_ps(_mm256_loadu_ps(left), l));
    _mm256_storeu_ps(right, _mm256_add_ps(_mm256_loadu_ps(right), r));
}

// Step exactly one source frame per output frame: the plain loop.
CLAVIO_AVX2 std::uint32_t addContiguous(const Run& run, float* __restrict left,
                                        float* __restrict right) noexcept {
    const __m256 g = _mm256_set1_ps(run.gain);
    const __m256 gr = _mm256_set1_ps(run.gainRight);
    const std::uint64_t first = run.q >> run.shift;
    const std::uint32_t frames = run.frames;
    std::uint32_t j = 0;
    if (run.channels == 1) {
        const float* src = run.data + first;
        for (; j + 8 <= frames; j += 8) {
            const __m256 x = _mm256_loadu_ps(src + j);
            accumulate(left + j, right + j, _mm256_mul_ps(g, x), _mm256_mul_ps(gr, x));
        }
    } else {
        const float* src = run.data + 2 * first;
        for (; j + 8 <= frames; j += 8) {
            // [L0 R0 L1 R1 | L2 R2 L3 R3] and [L4 R4 ... R7] into L0..L7, R0..R7.
            const __m256 a = _mm256_loadu_ps(src + 2 * j);
            const __m256 b = _mm256_loadu_ps(src + 2 * j + 8);
            const __m256 l = _mm256_castpd_ps(
                _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, 0x88)), 0xD8));
            const __m256 r = _mm256_castpd_ps(
                _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, 0xDD)), 0xD8));
            accumulate(left + j, right + j, _mm256_mul_ps(g, l), _mm256_mul_ps(gr, r));
        }
    }
    return j;
}

// Picks lane k of the window [v0 v1 v2] (24 floats) for each index k of
// `index`: the permutation uses the low three bits, the masks choose the
// vector.
CLAVIO_AVX2 inline __m256 pick3(__m256 v0, __m256 v1, __m256 v2, __m256i index, __m256 past8,
                                __m256 past16) noexcept {
    return _mm256_blendv_ps(_mm256_blendv_ps(_mm256_permutevar8x32_ps(v0, index),
                                             _mm256_permutevar8x32_ps(v1, index), past8),
                            _mm256_permutevar8x32_ps(v2, index), past16);
}

// Any step whose 8-frame blocks the window covers: a mono window of 16
// source frames, a stereo one of 8 (Vectors 2) or 12 (Vectors 3). Returns the
// frames done (a multiple of 8).
template <int Channels, int Vectors>
CLAVIO_AVX2 std::uint32_t addWindowed(const Run& run, float* __restrict left,
                                      float* __restrict right) noexcept {
    const float* const data = run.data;
    const std::uint32_t frames = run.frames;
    const unsigned shiftBits = run.shift;
    const std::uint64_t s = run.step;
    const std::uint64_t fractionMask = (std::uint64_t(1) << shiftBits) - 1;
    const __m256 g = _mm256_set1_ps(run.gain);
    const __m256 gr = _mm256_set1_ps(run.gainRight);
    const __m128i shift = _mm_cvtsi32_si128(int(shiftBits));
    // Offsets of frames 0, 1, 4, 5 and 2, 3, 6, 7: after the 64-bit lanes are
    // narrowed by one shuffle the eight indices come out in frame order.
    const __m256i offsetsA =
        _mm256_set_epi64x(std::int64_t(5 * s), std::int64_t(4 * s), std::int64_t(s), 0);
    const __m256i offsetsB = _mm256_set_epi64x(std::int64_t(7 * s), std::int64_t(6 * s),
                                               std::int64_t(3 * s), std::int64_t(2 * s));
    const __m256i seven = _mm256_set1_epi32(7);
    const __m256i fifteen = _mm256_set1_epi32(15);
    const __m256i one = _mm256_set1_epi32(1);
    std::uint64_t q = run.q;
    std::uint32_t j = 0;
    for (; j + 8 <= frames; j += 8, q += 8 * s) {
        const std::uint64_t base = q >> shiftBits;
        const __m256i fraction = _mm256_set1_epi64x(std::int64_t(q & fractionMask));
        const __m256i a = _mm256_srl_epi64(_mm256_add_epi64(fraction, offsetsA), shift);
        const __m256i b = _mm256_srl_epi64(_mm256_add_epi64(fraction, offsetsB), shift);
        // Source frame of output frame j + k, relative to `base`.
        const __m256i rel = _mm256_castps_si256(
            _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), 0x88));
        if constexpr (Channels == 1) {
            const float* w = data + base;
            const __m256 lo = _mm256_permutevar8x32_ps(_mm256_loadu_ps(w), rel);
            const __m256 hi = _mm256_permutevar8x32_ps(_mm256_loadu_ps(w + 8), rel);
            const __m256 pick = _mm256_castsi256_ps(_mm256_cmpgt_epi32(rel, seven));
            const __m256 x = _mm256_blendv_ps(lo, hi, pick);
            accumulate(left + j, right + j, _mm256_mul_ps(g, x), _mm256_mul_ps(gr, x));
        } else {
            // Left of frame r at 2r, right at 2r + 1. 2r + 1 passes 8 or 16
            // exactly when 2r does, so both channels share the masks.
            const float* w = data + 2 * base;
            const __m256 v0 = _mm256_loadu_ps(w);
            const __m256 v1 = _mm256_loadu_ps(w + 8);
            const __m256i il = _mm256_add_epi32(rel, rel);
            const __m256i ir = _mm256_add_epi32(il, one);
            const __m256 past8 = _mm256_castsi256_ps(_mm256_cmpgt_epi32(il, seven));
            __m256 l;
            __m256 r;
            if constexpr (Vectors == 2) {
                l = _mm256_blendv_ps(_mm256_permutevar8x32_ps(v0, il),
                                     _mm256_permutevar8x32_ps(v1, il), past8);
                r = _mm256_blendv_ps(_mm256_permutevar8x32_ps(v0, ir),
                                     _mm256_permutevar8x32_ps(v1, ir), past8);
            } else {
                const __m256 v2 = _mm256_loadu_ps(w + 16);
                const __m256 past16 = _mm256_castsi256_ps(_mm256_cmpgt_epi32(il, fifteen));
                l = pick3(v0, v1, v2, il, past8, past16);
                r = pick3(v0, v1, v2, ir, past8, past16);
            }
            accumulate(left + j, right + j, _mm256_mul_ps(g, l), _mm256_mul_ps(gr, r));
        }
    }
    return j;
}

} // namespace

bool avx2Supported() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

std::uint32_t addRunAvx2(const Run& run, float* left, float* right) noexcept {
    if (run.channels > 2) {
        return 0;
    }
    if (run.step == std::uint64_t(1) << run.shift) {
        return addContiguous(run, left, right);
    }
    if (run.channels == 1) {
        return windowCovers(run, 15) ? addWindowed<1, 2>(run, left, right) : 0;
    }
    if (windowCovers(run, 7)) {
        return addWindowed<2, 2>(run, left, right);
    }
    return windowCovers(run, 11) ? addWindowed<2, 3>(run, left, right) : 0;
}

CLAVIO_AVX2 void interleaveAvx2(const float* left, const float* right, float* out,
                                std::uint32_t frames) noexcept {
    std::uint32_t n = 0;
    for (; n + 8 <= frames; n += 8) {
        const __m256 l = _mm256_loadu_ps(left + n);
        const __m256 r = _mm256_loadu_ps(right + n);
        const __m256 lo = _mm256_unpacklo_ps(l, r); // L0 R0 L1 R1 | L4 R4 L5 R5
        const __m256 hi = _mm256_unpackhi_ps(l, r); // L2 R2 L3 R3 | L6 R6 L7 R7
        _mm256_storeu_ps(out + 2 * n, _mm256_permute2f128_ps(lo, hi, 0x20));
        _mm256_storeu_ps(out + 2 * n + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
    }
    interleavePortable(left + n, right + n, out + 2 * n, frames - n);
}

#else // no AVX2 kernels on this target

bool avx2Supported() noexcept {
    return false;
}

std::uint32_t addRunAvx2(const Run&, float*, float*) noexcept {
    return 0;
}

void interleaveAvx2(const float* left, const float* right, float* out,
                    std::uint32_t frames) noexcept {
    interleavePortable(left, right, out, frames);
}

#endif

} // namespace clavio::mix
