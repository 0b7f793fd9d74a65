#include "engine/sensing/mic_envelope.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "engine/core/timebase.h"

namespace clavio {

namespace {
void designHighpass(TCAMicEnvelope* s, double rate) noexcept {
    // RBJ cookbook high-pass, Q = 1/sqrt(2); the corner stays below Nyquist.
    const double corner = std::min(s->highpassHz, 0.45 * rate);
    const double w = 2.0 * std::numbers::pi * corner / rate;
    const double alpha = std::sin(w) / std::numbers::sqrt2;
    const double cosw = std::cos(w);
    const double a0 = 1.0 + alpha;
    s->b0 = float((1.0 + cosw) / 2.0 / a0);
    s->b1 = float(-(1.0 + cosw) / a0);
    s->b2 = s->b0;
    s->a1 = float(-2.0 * cosw / a0);
    s->a2 = float((1.0 - alpha) / a0);
    s->x1 = s->x2 = s->y1 = s->y2 = 0.0f;
    s->rate = rate;
}
} // namespace

void tca_mic_envelope_init(TCAMicEnvelope* state, TCARingBuffer* ring,
                           double highpassHz) noexcept {
    state->ring = ring;
    state->highpassHz = highpassHz;
    state->msTicks = tca_ms_to_mach(1.0);
    state->ticksPerSecond = double(tca_ms_to_mach(1000.0));
    state->rate = 0.0;
    state->bucketOpen = false;
    state->bucketStart = 0;
    state->bucketPeak = 0.0f;
    state->samples.store(0, std::memory_order_relaxed);
    state->clipped.store(0, std::memory_order_relaxed);
    state->zeros.store(0, std::memory_order_relaxed);
    state->written.store(0, std::memory_order_relaxed);
}

void tca_mic_envelope_process(TCAMicEnvelope* s, const float* samples, std::uint32_t count,
                              double rate, std::uint64_t firstTicks) noexcept {
    if (count == 0 || !(rate >= 1000.0) || s->ring == nullptr || s->msTicks == 0) {
        return;
    }
    if (rate != s->rate) {
        designHighpass(s, rate);
    }
    const double ticksPerSample = s->ticksPerSecond / rate;
    std::uint64_t clipped = 0;
    std::uint64_t zeros = 0;
    std::uint64_t written = 0;
    float x1 = s->x1, x2 = s->x2, y1 = s->y1, y2 = s->y2;
    for (std::uint32_t i = 0; i < count; ++i) {
        const float x = std::isfinite(samples[i]) ? samples[i] : 0.0f;
        clipped += std::fabs(x) >= kTCAMicClipLevel;
        zeros += x == 0.0f;
        const float y = s->b0 * x + s->b1 * x1 + s->b2 * x2 - s->a1 * y1 - s->a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        const std::uint64_t t = firstTicks + std::uint64_t(double(i) * ticksPerSample);
        if (!s->bucketOpen || t >= s->bucketStart + s->msTicks) {
            if (s->bucketOpen) {
                tca_ring_write(s->ring, s->bucketStart, s->bucketPeak, 0.0f, 0.0f);
                ++written;
            }
            s->bucketOpen = true;
            s->bucketStart = t - t % s->msTicks;
            s->bucketPeak = 0.0f;
        }
        s->bucketPeak = std::max(s->bucketPeak, std::fabs(y));
    }
    // Denormals would slow the filter down in long silences.
    s->x1 = x1;
    s->x2 = x2;
    s->y1 = std::fabs(y1) < 1e-20f ? 0.0f : y1;
    s->y2 = std::fabs(y2) < 1e-20f ? 0.0f : y2;
    s->samples.fetch_add(count, std::memory_order_relaxed);
    s->clipped.fetch_add(clipped, std::memory_order_relaxed);
    s->zeros.fetch_add(zeros, std::memory_order_relaxed);
    s->written.fetch_add(written, std::memory_order_relaxed);
}

} // namespace clavio
