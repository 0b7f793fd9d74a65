// The AVX-512 form of the windowed mixing loop: sixteen frames per block, and
// a two-vector permutation (a 32-float window in one instruction) where AVX2
// needs two permutations and a blend. Chosen at run time on processors with
// AVX-512 (AMD since Zen 4, Intel Ice Lake and Tiger Lake laptops); only this
// function is compiled for it.
#include "engine/audio/tca_mix_kernels.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

// GCC 12 warns inside its own AVX-512 headers that the shift operand "may be
// used uninitialized" (GCC bug 105593, fixed in GCC 13); it is initialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace clavio::mix {

namespace {

#define CLAVIO_AVX512 __attribute__((target("avx512f")))

// See windowCovers in the AVX2 kernels; 15 steps span a 16-frame block.
bool covers16(const Run& run, std::uint64_t span) noexcept {
    return run.step <= (span << run.shift) / 15;
}

CLAVIO_AVX512 inline void accumulate16(float* __restrict left, float* __restrict right, __m512 l,
                                       __m512 r) noexcept {
    _mm512_storeu_ps(left, _mm512_add_ps(_mm512_loadu_ps(left), l));
    _mm512_storeu_ps(right, _mm512_add_ps(_mm512_loadu_ps(right), r));
}

// Mono: a window of 32 source frames; stereo: 16 (a step up to 1).
template <int Channels>
CLAVIO_AVX512 std::uint32_t windowed16(const Run& run, float* __restrict left,
                                       float* __restrict right) noexcept {
    const float* const data = run.data;
    const std::uint32_t frames = run.frames;
    const unsigned shiftBits = run.shift;
    const std::uint64_t s = run.step;
    const std::uint64_t fractionMask = (std::uint64_t(1) << shiftBits) - 1;
    const __m512 g = _mm512_set1_ps(run.gain);
    const __m512 gr = _mm512_set1_ps(run.gainRight);
    const __m512i shift = _mm512_set1_epi64(std::int64_t(shiftBits));
    const auto at = [s](std::uint64_t k) { return std::int64_t(k * s); };
    const __m512i offsetsA = _mm512_set_epi64(at(7), at(6), at(5), at(4), at(3), at(2), at(1), 0);
    const __m512i offsetsB =
        _mm512_set_epi64(at(15), at(14), at(13), at(12), at(11), at(10), at(9), at(8));
    // The low 32 bits of the sixteen 64-bit positions, in frame order.
    const __m512i narrow =
        _mm512_set_epi32(30, 28, 26, 24, 22, 20, 18, 16, 14, 12, 10, 8, 6, 4, 2, 0);
    const __m512i one = _mm512_set1_epi32(1);
    std::uint64_t q = run.q;
    std::uint32_t j = 0;
    for (; j + 16 <= frames; j += 16, q += 16 * s) {
        const std::uint64_t base = q >> shiftBits;
        const __m512i fraction = _mm512_set1_epi64(std::int64_t(q & fractionMask));
        const __m512i a = _mm512_srlv_epi64(_mm512_add_epi64(fraction, offsetsA), shift);
        const __m512i b = _mm512_srlv_epi64(_mm512_add_epi64(fraction, offsetsB), shift);
        const __m512i rel = _mm512_permutex2var_epi32(a, narrow, b);
        if constexpr (Channels == 1) {
            const float* w = data + base;
            const __m512 x =
                _mm512_permutex2var_ps(_mm512_loadu_ps(w), rel, _mm512_loadu_ps(w + 16));
            accumulate16(left + j, right + j, _mm512_mul_ps(g, x), _mm512_mul_ps(gr, x));
        } else {
            const float* w = data + 2 * base;
            const __m512 v0 = _mm512_loadu_ps(w);
            const __m512 v1 = _mm512_loadu_ps(w + 16);
            const __m512i il = _mm512_add_epi32(rel, rel);
            const __m512i ir = _mm512_add_epi32(il, one);
            const __m512 l = _mm512_permutex2var_ps(v0, il, v1);
            const __m512 r = _mm512_permutex2var_ps(v0, ir, v1);
            accumulate16(left + j, right + j, _mm512_mul_ps(g, l), _mm512_mul_ps(gr, r));
        }
    }
    return j;
}

// Stereo with any step up to about 2: each stereo frame is one 64-bit
// element, so one two-vector permutation picks eight whole frames from a
// 16-frame window, straight from the 64-bit positions; two more split the
// sixteen frames into left and right.
CLAVIO_AVX512 std::uint32_t stereoPairs16(const Run& run, float* __restrict left,
                                          float* __restrict right) noexcept {
    const float* const data = run.data;
    const std::uint32_t frames = run.frames;
    const unsigned shiftBits = run.shift;
    const std::uint64_t s = run.step;
    const std::uint64_t fractionMask = (std::uint64_t(1) << shiftBits) - 1;
    const __m512 g = _mm512_set1_ps(run.gain);
    const __m512 gr = _mm512_set1_ps(run.gainRight);
    const __m512i shift = _mm512_set1_epi64(std::int64_t(shiftBits));
    const auto at = [s](std::uint64_t k) { return std::int64_t(k * s); };
    const __m512i offsets = _mm512_set_epi64(at(7), at(6), at(5), at(4), at(3), at(2), at(1), 0);
    const __m512i evens =
        _mm512_set_epi32(30, 28, 26, 24, 22, 20, 18, 16, 14, 12, 10, 8, 6, 4, 2, 0);
    const __m512i odds = _mm512_add_epi32(evens, _mm512_set1_epi32(1));
    std::uint64_t q = run.q;
    std::uint32_t j = 0;
    for (; j + 16 <= frames; j += 16, q += 16 * s) {
        __m512d half[2];
        for (int h = 0; h < 2; ++h) {
            const std::uint64_t qh = q + std::uint64_t(h) * 8 * s;
            const __m512i rel = _mm512_srlv_epi64(
                _mm512_add_epi64(_mm512_set1_epi64(std::int64_t(qh & fractionMask)), offsets),
                shift);
            const float* w = data + 2 * (qh >> shiftBits);
            half[h] = _mm512_permutex2var_pd(_mm512_loadu_pd(w), rel, _mm512_loadu_pd(w + 16));
        }
        const __m512 a = _mm512_castpd_ps(half[0]);
        const __m512 b = _mm512_castpd_ps(half[1]);
        accumulate16(left + j, right + j, _mm512_mul_ps(g, _mm512_permutex2var_ps(a, evens, b)),
                     _mm512_mul_ps(gr, _mm512_permutex2var_ps(a, odds, b)));
    }
    return j;
}

} // namespace

bool avx512Supported() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f");
}

std::uint32_t addWindowedAvx512(const Run& run, float* left, float* right) noexcept {
    if (run.channels == 1) {
        return covers16(run, 31) ? windowed16<1>(run, left, right) : 0;
    }
    if (run.channels == 2) {
        if (covers16(run, 15)) {
            return windowed16<2>(run, left, right);
        }
        if (run.step <= (std::uint64_t(15) << run.shift) / 7) {
            return stereoPairs16(run, left, right);
        }
    }
    return 0;
}

} // namespace clavio::mix

#else

namespace clavio::mix {
bool avx512Supported() noexcept {
    return false;
}
std::uint32_t addWindowedAvx512(const Run&, float*, float*) noexcept {
    return 0;
}
} // namespace clavio::mix

#endif
