#include "engine/sensing/impact_classifier.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/core/timebase.h"

namespace clavio {

ImpactResult impactResultFromNative(const TCAImpactResult& n) noexcept {
    ImpactResult r;
    r.rawPeak = n.rawPeak;
    r.baseline = n.baseline;
    r.score = n.score;
    r.velocity = n.velocity;
    r.tier = velocityTierFromRaw(n.tier).value_or(VelocityTier::soft);
    r.peakTimestamp = n.peakTimestamp;
    r.samplesInWindow = n.samplesInWindow;
    return r;
}

ImpactResult rescoredImpact(const ImpactConfig& config, const ImpactResult& result,
                            float score) noexcept {
    const TCAImpactConfig native = toNative(config);
    TCAImpactResult scored{};
    tca_impact_apply_score(&native, score, &scored);
    ImpactResult out = result;
    out.score = scored.score;
    out.velocity = scored.velocity;
    out.tier = velocityTierFromRaw(scored.tier).value_or(VelocityTier::soft);
    return out;
}

float usableFixedVelocity(float velocity) noexcept {
    return std::isfinite(velocity) ? std::clamp(velocity, 0.0f, 1.0f) : 0.5f;
}

ImpactResult fixedImpact(const ImpactConfig& config, float velocity,
                         std::uint64_t keyTimestamp) noexcept {
    const float v = usableFixedVelocity(velocity);
    const TCAImpactConfig native = toNative(config);
    ImpactResult r;
    r.velocity = v;
    r.tier =
        velocityTierFromRaw(tca_impact_tier_for_velocity(&native, v)).value_or(VelocityTier::soft);
    r.peakTimestamp = keyTimestamp;
    r.samplesInWindow = 0;
    return r;
}

// ---- AdaptivePeakClassifier ----

AdaptivePeakClassifier::AdaptivePeakClassifier(const ImpactConfig& config) : _config(config) {
    const TCAImpactConfig native = toNative(_config);
    tca_impact_init(&_state, &native);
}

ImpactResult AdaptivePeakClassifier::classify(std::uint64_t keyTimestamp,
                                              const TCARingBuffer* ringBuffer) {
    std::lock_guard lock(_mutex);
    const std::uint64_t gap = tca_ms_to_mach(_config.minInterKeyGapMs);
    if (_lastClassifyTime) {
        const std::uint64_t last = *_lastClassifyTime;
        // A gap end beyond the 64-bit range (an absurd minInterKeyGapMs)
        // keeps every later key inside the gap rather than wrapping around.
        const bool gapOverflows = gap > std::numeric_limits<std::uint64_t>::max() - last;
        if (gapOverflows || keyTimestamp < last + gap) {
            ImpactResult placeholder;
            placeholder.baseline = _state.currentBaseline;
            placeholder.tier = VelocityTier::soft;
            placeholder.peakTimestamp = keyTimestamp;
            return placeholder;
        }
    }
    tca_impact_update_baseline(&_state, ringBuffer);
    const TCAImpactResult native = tca_impact_classify(&_state, ringBuffer, keyTimestamp);
    _lastClassifyTime = keyTimestamp;
    return impactResultFromNative(native);
}

void AdaptivePeakClassifier::updateBaseline(const TCARingBuffer* ringBuffer) {
    std::lock_guard lock(_mutex);
    tca_impact_update_baseline(&_state, ringBuffer);
}

ImpactConfig AdaptivePeakClassifier::config() const {
    std::lock_guard lock(_mutex);
    return _config;
}

void AdaptivePeakClassifier::setConfig(const ImpactConfig& config) {
    std::lock_guard lock(_mutex);
    _config = config;
    _state.config = toNative(config);
}

// ---- SimplePeakClassifier ----

SimplePeakClassifier::SimplePeakClassifier(const ImpactConfig& config) : _config(config) {
    const TCAImpactConfig native = toNative(_config);
    tca_impact_init(&_state, &native);
}

ImpactResult SimplePeakClassifier::classify(std::uint64_t keyTimestamp,
                                            const TCARingBuffer* ringBuffer) {
    std::lock_guard lock(_mutex);
    return impactResultFromNative(tca_impact_classify(&_state, ringBuffer, keyTimestamp));
}

void SimplePeakClassifier::updateBaseline(const TCARingBuffer* ringBuffer) {
    std::lock_guard lock(_mutex);
    tca_impact_update_baseline(&_state, ringBuffer);
}

ImpactConfig SimplePeakClassifier::config() const {
    std::lock_guard lock(_mutex);
    return _config;
}

void SimplePeakClassifier::setConfig(const ImpactConfig& config) {
    std::lock_guard lock(_mutex);
    _config = config;
    _state.config = toNative(config);
}

} // namespace clavio
