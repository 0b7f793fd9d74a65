#include "engine/sensing/impact_engine.h"

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
    TCAImpactResult result{};
    const TCAImpactConfig& cfg = state->config;
    const std::uint64_t pre = tca_ms_to_mach(cfg.searchPreMs);
    const std::uint64_t post = tca_ms_to_mach(cfg.searchPostMs);

    TCAMotionSample window[kTCAImpactWindowCapacity];
    const std::uint32_t n = ring ? tca_ring_query_window(ring, keyTimestamp, pre, post, window,
                                                         kTCAImpactWindowCapacity)
                                 : 0;
    result.samplesInWindow = n;
    if (n == 0) {
        result.baseline = state->currentBaseline;
        result.tier = 1;
        return result;
    }

    float best = 0.0f;
    std::uint64_t peakTime = 0;
    if (cfg.highpassEnabled) {
        const float a = cfg.highpassAlpha;
        float pin = state->hpPrevIn;
        float pout = state->hpPrevOut;
        for (std::uint32_t i = 0; i < n; ++i) {
            const float m = window[i].magnitude;
            const float out = a * ((pout + m) - pin);
            pin = m;
            pout = out;
            if (std::fabs(out) > best) {
                best = std::fabs(out);
                peakTime = window[i].timestamp;
            }
        }
        state->hpPrevIn = pin;
        state->hpPrevOut = pout;
    } else {
        const float b = state->currentBaseline;
        for (std::uint32_t i = 0; i < n; ++i) {
            const float d = std::fabs(window[i].magnitude - b);
            if (d > best) {
                best = d;
                peakTime = window[i].timestamp;
            }
        }
    }

    result.rawPeak = best;
    result.baseline = state->currentBaseline;
    result.peakTimestamp = peakTime;
    tca_impact_apply_score(&cfg, best, &result);

    state->lastKeyTimestamp = keyTimestamp;
    return result;
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
