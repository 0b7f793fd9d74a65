// The classifier objects the coordinator holds: thin owners of one native
// TCAImpactState (impact_engine.h) behind the ImpactClassifier interface.
//
// Threading contract: classify() and updateBaseline() run on the
// coordinator's serial classify queue; config()/setConfig() may be called
// from any thread (a calibration is applied on the main thread). Each
// classifier guards its state, its configuration and (adaptive)
// lastClassifyTime with its own mutex, so a configuration replacement never
// interleaves with a classification or a baseline update. The lock is
// uncontended in normal operation and none of these calls runs on a
// real-time thread. The ring is passed in on every call and read lock-free.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "engine/core/core_types.h"
#include "engine/sensing/impact_config.h"
#include "engine/sensing/impact_engine.h"
#include "engine/sensing/ring_buffer.h"

namespace clavio {

class ImpactClassifier {
public:
    virtual ~ImpactClassifier() = default;

    // Classify queue. Classifies the key struck at `keyTimestamp` (ticks)
    // from the samples in `ringBuffer`.
    virtual ImpactResult classify(std::uint64_t keyTimestamp, const TCARingBuffer* ringBuffer) = 0;
    // Classify queue. Refreshes the running baseline from the recent samples.
    virtual void updateBaseline(const TCARingBuffer* ringBuffer) = 0;

    // Any thread. The configuration in force.
    virtual ImpactConfig config() const = 0;
    // Any thread. Replaces the configuration; the baseline, the high-pass
    // filter state and the time of the last classified key are kept.
    virtual void setConfig(const ImpactConfig& config) = 0;
};

// Converts a native result; a tier number outside 0..4 becomes soft.
ImpactResult impactResultFromNative(const TCAImpactResult& native) noexcept;

// `result` with its score replaced by `score` and the velocity and tier
// that score gives under `config` (the peak, baseline, peak time and sample
// count are kept).
ImpactResult rescoredImpact(const ImpactConfig& config, const ImpactResult& result,
                            float score) noexcept;

// The fixed strength actually played for the `fixedVelocity` setting: a
// finite number clamped to 0..1; anything else reads as 0.5.
float usableFixedVelocity(float velocity) noexcept;

// The result of a press played at a fixed strength: usableFixedVelocity()
// with the tier the thresholds of `config` give it, no peak, no samples,
// peak time `keyTimestamp`.
ImpactResult fixedImpact(const ImpactConfig& config, float velocity,
                         std::uint64_t keyTimestamp) noexcept;

// Refreshes the baseline before every classification and leaves keys that
// follow the last classified key by less than minInterKeyGapMs unclassified
// (a soft placeholder result).
class AdaptivePeakClassifier final : public ImpactClassifier {
public:
    explicit AdaptivePeakClassifier(const ImpactConfig& config);

    ImpactResult classify(std::uint64_t keyTimestamp, const TCARingBuffer* ringBuffer) override;
    void updateBaseline(const TCARingBuffer* ringBuffer) override;
    ImpactConfig config() const override;
    void setConfig(const ImpactConfig& config) override;

private:
    mutable std::mutex _mutex; // guards everything below
    TCAImpactState _state;
    // None until a key is classified. An optional rather than the tick value
    // 0 as "none", because a key at tick 0 is a real key on virtual time.
    std::optional<std::uint64_t> _lastClassifyTime;
    ImpactConfig _config;
};

// Classifies every key as it comes; its baseline moves only through
// updateBaseline().
class SimplePeakClassifier final : public ImpactClassifier {
public:
    explicit SimplePeakClassifier(const ImpactConfig& config);

    ImpactResult classify(std::uint64_t keyTimestamp, const TCARingBuffer* ringBuffer) override;
    void updateBaseline(const TCARingBuffer* ringBuffer) override;
    ImpactConfig config() const override;
    void setConfig(const ImpactConfig& config) override;

private:
    mutable std::mutex _mutex; // guards everything below
    TCAImpactState _state;
    ImpactConfig _config;
};

} // namespace clavio
