// The native impact classifier: turns the accelerometer samples around a
// key's timestamp into a peak, a velocity and a tier, and keeps a running
// baseline of the resting magnitude.
//
// Threading contract: the functions are reentrant for different states. One
// state is used by one thread at a time (the classifier objects serialise
// their calls, impact_classifier.h). The ring may be written concurrently by
// its writer thread; the functions only read it through
// tca_ring_query_window. They allocate nothing, lock nothing and keep no
// state outside the record they are given.
#pragma once

#include <cstdint>
#include <type_traits>

#include "engine/sensing/impact_config.h"
#include "engine/sensing/ring_buffer.h"

namespace clavio {

// The native twin of ImpactConfig: same fields, names, order and types.
struct TCAImpactConfig {
    double searchPreMs;
    double searchPostMs;
    double baselineWindowMs;
    float baselineAlpha;
    bool highpassEnabled;
    float highpassAlpha;
    float deadzone;
    float hardCap;
    float compressGamma;
    float softThreshold;
    float mediumThreshold;
    float hardThreshold;
    float slamThreshold;
    double minInterKeyGapMs;
};
static_assert(std::is_trivially_copyable_v<TCAImpactConfig>);
static_assert(sizeof(bool) == 1);

struct TCAImpactState {
    TCAImpactConfig config;
    float currentBaseline;          // 0.002 after tca_impact_init
    std::uint64_t lastKeyTimestamp; // last key whose window held samples; 0 initially
    float hpPrevIn;                 // high-pass filter: last input (a magnitude)
    float hpPrevOut;                // high-pass filter: last output
};

// ImpactResult with the tier as its raw number 0..4.
struct TCAImpactResult {
    float rawPeak;
    float baseline;
    float score;
    float velocity;
    std::uint32_t tier;
    std::uint64_t peakTimestamp;
    std::uint32_t samplesInWindow;
};

// Both classification and baseline update examine at most this many samples
// per call, held in a buffer on the caller's stack.
inline constexpr std::uint32_t kTCAImpactWindowCapacity = 256;
inline constexpr float kTCAInitialBaseline = 0.002f;

// Field-by-field conversions between the value type and its native twin.
TCAImpactConfig toNative(const ImpactConfig& config) noexcept;
ImpactConfig fromNative(const TCAImpactConfig& config) noexcept;

// Fills `out` with the defaults of ImpactConfig().
void tca_impact_config_defaults(TCAImpactConfig* out) noexcept;

// Clears the state, copies `config` (or the defaults when null) and sets the
// baseline to 0.002.
void tca_impact_init(TCAImpactState* state, const TCAImpactConfig* config) noexcept;

// The tier number 0..4 of a velocity by the thresholds of `config`: the
// highest tier whose threshold the velocity reaches, 0 below softThreshold.
std::uint32_t tca_impact_tier_for_velocity(const TCAImpactConfig* config, float velocity) noexcept;

// Sets a result's score and the velocity and tier it gives: nothing at or
// below the deadzone, then (score - deadzone) / (hardCap - deadzone) capped
// at 1 and raised to compressGamma, tiered by the thresholds.
void tca_impact_apply_score(const TCAImpactConfig* config, float score,
                            TCAImpactResult* result) noexcept;

// Classifies the key at `keyTimestamp` from the samples in
// [key - searchPreMs, key + searchPostMs] (the 256 oldest of them). An empty
// window (or a null ring) gives the soft placeholder and leaves the state
// untouched; otherwise the high-pass state and lastKeyTimestamp may change.
TCAImpactResult tca_impact_classify(TCAImpactState* state, const TCARingBuffer* ring,
                                    std::uint64_t keyTimestamp) noexcept;

// Feeds the samples of the last baselineWindowMs before the clock's current
// tick (hostTicks(), the 256 oldest of them) into the baseline's moving
// average. An empty window (or a null ring) changes nothing.
void tca_impact_update_baseline(TCAImpactState* state, const TCARingBuffer* ring) noexcept;

} // namespace clavio
