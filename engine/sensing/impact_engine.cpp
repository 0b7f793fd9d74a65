#include "engine/sensing/impact_engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/core/timebase.h"
#include "engine/ports/clock.h"

namespace clavio {

TCAImpactConfig toNative(const ImpactConfig& c) noexcept {
    return TCAImpactConfig{c.searchPreMs,   c.searchPostMs,    c.baselineWindowMs,
                           c.baselineAlpha, c.highpassEnabled, c.highpassAlpha,
                           c.deadzone,      c.hardCap,         c.compressGamma,
                           c.softThreshold, c.mediumThreshold, c.hardThreshold,
                           c.slamThreshold, c.minInterKeyGapMs};
}

ImpactConfig fromNative(const TCAImpactConfig& n) noexcept {
    ImpactConfig c;
    c.searchPreMs = n.searchPreMs;
    c.searchPostMs = n.searchPostMs;
    c.baselineWindowMs = n.baselineWindowMs;
    c.baselineAlpha = n.baselineAlpha;
    c.highpassEnabled = n.highpassEnabled;
    c.highpassAlpha = n.highpassAlpha;
    c.deadzone = n.deadzone;
    c.hardCap = n.hardCap;
    c.compressGamma = n.compressGamma;
    c.softThreshold = n.softThreshold;
    c.mediumThreshold = n.mediumThreshold;
    c.hardThreshold = n.hardThreshold;
    c.slamThreshold = n.slamThreshold;
    c.minInterKeyGapMs = n.minInterKeyGapMs;
    return c;
}

void tca_impact_config_defaults(TCAImpactConfig* out) noexcept {
    out->searchPreMs = 10.0;
    out->searchPostMs = 20.0;
    out->baselineWindowMs = 500.0;
    out->baselineAlpha = 0.01f;
    out->highpassEnabled = false;
    out->highpassAlpha = 0.95f;
    out->deadzone = 0.003f;
    out->hardCap = 0.14f;
    out->compressGamma = 0.8f;
    out->softThreshold = 0.0f;
    out->mediumThreshold = 0.25f;
    out->hardThreshold = 0.55f;
    out->slamThreshold = 0.82f;
    out->minInterKeyGapMs = 20.0;
}

void tca_impact_init(TCAImpactState* state, const TCAImpactConfig* config) noexcept {
    std::memset(state, 0, sizeof *state);
    if (config) {
        state->config = *config;
    } else {
        tca_impact_config_defaults(&state->config);
    }
    state->currentBaseline = kTCAInitialBaseline;
}

std::uint32_t tca_impact_tier_for_velocity(const TCAImpactConfig* cfg, float velocity) noexcept {
    if (cfg->slamThreshold <= velocity) {
        return 4;
    }
    if (cfg->hardThreshold <= velocity) {
        return 3;
    }
    if (cfg->mediumThreshold <= velocity) {
        return 2;
    }
    if (cfg->softThreshold <= velocity) {
        return 1;
    }
    return 0;
}

namespace {

constexpr std::uint64_t kRateSpanTicks = 250'000'000; // 250 ms

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) noexcept {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// The deviation the peak search looks at, without the high-pass filter.
float deviation(const TCAMotionSample& s, float baseline) noexcept {
    return std::fabs(s.magnitude - baseline);
}

} // namespace

float tca_impact_report_rate(const TCARingBuffer* ring, std::uint64_t until) noexcept {
    if (!ring) {
        return 0.0f;
    }
    TCAMotionSample window[kTCAImpactWindowCapacity];
    const std::uint32_t n =
        tca_ring_query_window(ring, until, kRateSpanTicks, 0, window, kTCAImpactWindowCapacity);
    if (n < 4 || window[n - 1].timestamp <= window[0].timestamp) {
        return 0.0f;
    }
    return float(double(n - 1) * 1e9 / double(window[n - 1].timestamp - window[0].timestamp));
}

void tca_impact_apply_score(const TCAImpactConfig* cfg, float score,
                            TCAImpactResult* result) noexcept {
    result->score = score;
    const float span = cfg->hardCap - cfg->deadzone;
    float velocity = 0.0f;
    if (score > cfg->deadzone && span > 0.0f) {
        const float normalised = (score - cfg->deadzone) / span;
        velocity = ::powf(normalised < 1.0f ? normalised : 1.0f, cfg->compressGamma);
    }
    result->velocity = velocity;
    result->tier = score <= cfg->deadzone ? 0 : tca_impact_tier_for_velocity(cfg, velocity);
}

TCAImpactResult tca_impact_classify(TCAImpactState* state, const TCARingBuffer* ring,
                                    std::uint64_t keyTimestamp) noexcept {
    return tca_impact_classify_until(state, ring, keyTimestamp, UINT64_MAX, false);
}

TCAImpactResult tca_impact_classify_until(TCAImpactState* state, const TCARingBuffer* ring,
                                          std::uint64_t keyTimestamp, std::uint64_t windowEnd,
                                          bool adaptToRate) noexcept {
    TCAImpactResult result{};
    const TCAImpactConfig& cfg = state->config;
    std::uint64_t pre = tca_ms_to_mach(cfg.searchPreMs);
    std::uint64_t post = tca_ms_to_mach(cfg.searchPostMs);

    const float rate = adaptToRate ? tca_impact_report_rate(ring, keyTimestamp) : 0.0f;
    const bool lowRate = rate > 0.0f && rate < kTCALowRateHz;
    const double periodMs = lowRate ? 1000.0 / double(rate) : 0.0;
    if (lowRate) {
        pre = std::max(pre, tca_ms_to_mach(2.0 * periodMs));
        post = saturatingAdd(post, tca_ms_to_mach(kTCALowRateExtraPostMs));
    }

    TCAMotionSample window[kTCAImpactWindowCapacity];
    std::uint32_t n = ring ? tca_ring_query_window(ring, keyTimestamp, pre, post, window,
                                                   kTCAImpactWindowCapacity)
                           : 0;
    if (windowEnd < saturatingAdd(keyTimestamp, post)) {
        std::uint32_t kept = 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            if (window[i].timestamp <= windowEnd) {
                window[kept++] = window[i];
            }
        }
        n = kept;
    }
    result.samplesInWindow = n;
    if (n == 0) {
        result.baseline = state->currentBaseline;
        result.tier = 1;
        return result;
    }

    // The deviation of every sample: from the baseline, or the high-pass
    // filter's output.
    float dev[kTCAImpactWindowCapacity];
    if (cfg.highpassEnabled) {
        const float a = cfg.highpassAlpha;
        float pin = state->hpPrevIn;
        float pout = state->hpPrevOut;
        for (std::uint32_t i = 0; i < n; ++i) {
            const float m = window[i].magnitude;
            const float out = a * ((pout + m) - pin);
            pin = m;
            pout = out;
            dev[i] = std::fabs(out);
        }
        state->hpPrevIn = pin;
        state->hpPrevOut = pout;
    } else {
        const float b = state->currentBaseline;
        for (std::uint32_t i = 0; i < n; ++i) {
            dev[i] = deviation(window[i], b);
        }
    }
    float best = 0.0f;
    std::uint32_t bestIndex = 0;
    std::uint64_t peakTime = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (dev[i] > best) {
            best = dev[i];
            bestIndex = i;
            peakTime = window[i].timestamp;
        }
    }

    float score = best;
    if (lowRate && rate >= kTCABandLimitedHz) {
        double energy = 0.0;
        for (std::uint32_t i = 0; i < n; ++i) {
            if (window[i].timestamp >= keyTimestamp) {
                energy += double(dev[i]) * double(dev[i]);
            }
        }
        score = float(std::sqrt(energy * periodMs / kTCAEnergyReferenceMs));
    } else if (lowRate && bestIndex > 0 && bestIndex + 1 < n) {
        // A parabola through the largest deviation and its neighbours.
        const double y0 = dev[bestIndex - 1], y1 = dev[bestIndex], y2 = dev[bestIndex + 1];
        const double curvature = y0 - 2.0 * y1 + y2;
        if (curvature < 0.0) {
            const double offset = 0.5 * (y0 - y2) / curvature;
            score = float(y1 - 0.25 * (y0 - y2) * offset);
        }
    }
    result.rawPeak = best;
    result.baseline = state->currentBaseline;
    result.peakTimestamp = peakTime;
    tca_impact_apply_score(&cfg, score, &result);

    state->lastKeyTimestamp = keyTimestamp;
    return result;
}

bool tca_impact_strike_settled(const TCAImpactState* state, const TCARingBuffer* ring,
                               std::uint64_t keyTimestamp, std::uint64_t newest) noexcept {
    if (!ring || newest < keyTimestamp) {
        return false;
    }
    const TCAImpactConfig& cfg = state->config;
    const float rate = tca_impact_report_rate(ring, keyTimestamp);
    double settleMs = kTCASettleMs;
    if (rate > 0.0f) {
        settleMs = std::max(settleMs, 500.0 / double(rate));
    }
    const std::uint64_t pre = tca_ms_to_mach(cfg.searchPreMs);
    TCAMotionSample window[kTCAImpactWindowCapacity];
    const std::uint32_t n = tca_ring_query_window(ring, keyTimestamp, pre, newest - keyTimestamp,
                                                  window, kTCAImpactWindowCapacity);
    // Deviations from the level before the key (the baseline when nothing
    // came before it): an offset of the baseline is no strike.
    float b = state->currentBaseline;
    double levelSum = 0.0;
    std::uint32_t levelCount = 0;
    for (std::uint32_t i = 0; i < n && window[i].timestamp < keyTimestamp; ++i) {
        levelSum += window[i].magnitude;
        ++levelCount;
    }
    if (levelCount > 0) {
        b = float(levelSum / levelCount);
    }
    float noise = 0.0f;
    float peak = 0.0f;
    std::uint64_t peakTime = 0;
    bool struck = false;
    for (std::uint32_t i = 0; i < n; ++i) {
        const float d = deviation(window[i], b);
        if (window[i].timestamp < keyTimestamp) {
            noise = std::max(noise, d);
        } else if (!struck || d > peak) {
            peak = d;
            peakTime = window[i].timestamp;
            struck = true;
        }
    }
    const std::uint64_t settle = tca_ms_to_mach(settleMs);
    // A peak within the deadzone may be all there is, or noise before the
    // strike: it counts once the latest strike would have begun and settled.
    const bool clear =
        peak > cfg.deadzone ||
        newest >= saturatingAdd(keyTimestamp, tca_ms_to_mach(kTCASettleLatestOnsetMs) + settle);
    if (!struck || !clear || peak < kTCASettleNoiseFactor * noise) {
        return false;
    }
    if (newest < saturatingAdd(peakTime, settle)) {
        return false;
    }
    const std::uint64_t quietFrom = newest - settle;
    for (std::uint32_t i = 0; i < n; ++i) {
        const float d = deviation(window[i], b);
        // (Nothing at all since the key is over too: a zero is not a strike.)
        if (window[i].timestamp >= quietFrom && window[i].timestamp > peakTime && d > 0.0f &&
            d >= kTCASettleFall * peak) {
            return false;
        }
    }
    return true;
}

void tca_impact_update_baseline(TCAImpactState* state, const TCARingBuffer* ring) noexcept {
    if (!ring) {
        return;
    }
    const std::uint64_t now = hostTicks();
    TCAMotionSample window[kTCAImpactWindowCapacity];
    const std::uint32_t n =
        tca_ring_query_window(ring, now, tca_ms_to_mach(state->config.baselineWindowMs), 0, window,
                              kTCAImpactWindowCapacity);
    if (n == 0) {
        return;
    }
    const float alpha = state->config.baselineAlpha;
    float b = state->currentBaseline;
    for (std::uint32_t i = 0; i < n; ++i) {
        // One rounding: alpha × (m − b) + b.
        b = std::fma(alpha, window[i].magnitude - b, b);
    }
    state->currentBaseline = b;
}

} // namespace clavio
