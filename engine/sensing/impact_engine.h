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

// Sensors that report more slowly than this (measured from the ring, see
// tca_impact_report_rate) are classified by the low-rate estimates below.
inline constexpr float kTCALowRateHz = 750.0f;
// Twice the highest chassis vibration frequency (about 160 Hz): from this
// rate on a strike is sampled within the report rate's band.
inline constexpr float kTCABandLimitedHz = 320.0f;
// How far the window reaches beyond searchPostMs at a low report rate: the
// classification runs 10 ms after the window's end, so this stays within it.
inline constexpr double kTCALowRateExtraPostMs = 8.0;
// The strike length the low-rate estimate's energy is spread over to give a
// number on the peak's scale (tca_impact_classify_until): fitted on
// synthetic strikes so that tiers are as seldom inverted as with the peak
// at the same rate.
inline constexpr double kTCAEnergyReferenceMs = 8.0;

// Reports per second, measured from the samples of the 250 ms up to
// `until` (at most the 256 oldest of them): their count less one over the
// time from the first to the last. 0 when fewer than 4 samples are there or
// they all share one timestamp.
float tca_impact_report_rate(const TCARingBuffer* ring, std::uint64_t until) noexcept;

// Classifies the key at `keyTimestamp` from the samples in
// [key - searchPreMs, min(key + searchPostMs, windowEnd)]: the decision made
// before the window has closed, on what the ring held when it was made
// (tca_impact_strike_settled). With windowEnd at or beyond the window's end
// and adaptToRate false it is tca_impact_classify.
//
// With adaptToRate it measures the report rate before the key first. Below
// kTCALowRateHz the window reaches further back (at least two report
// periods) and kTCALowRateExtraPostMs further ahead, and the score suits
// few samples per strike:
// - from kTCABandLimitedHz, where the chassis vibration lies below half the
//   report rate, the strike's energy: the square root of the squared
//   deviations of the samples from the key on, times the report period, over
//   kTCAEnergyReferenceMs. The largest sample depends on where the samples
//   fall on the strike; their energy hardly does (the sensor's filter keeps
//   the strike within the rate's band).
// - below it, what the sensor's filter leaves of a strike is one slow bump:
//   its height, from a parabola through the largest deviation and its
//   neighbours.
// rawPeak stays the largest deviation.
TCAImpactResult tca_impact_classify_until(TCAImpactState* state, const TCARingBuffer* ring,
                                          std::uint64_t keyTimestamp, std::uint64_t windowEnd,
                                          bool adaptToRate) noexcept;

// Whether the strike of the key at `keyTimestamp` is over as far as the
// samples up to `newest` (a sample time, at most the window's end) show.
// Deviations are taken from the mean level of the searchPreMs before the key
// (the baseline when no sample is there), so an offset of the baseline is no
// strike. The strike is over when the largest deviation since the key
// - is above the deadzone, or, within it, the strike would have begun by now
//   (newest is kTCASettleLatestOnsetMs plus the settling time after the key);
// - is at least kTCASettleNoiseFactor times every deviation before the key,
//   so noise and the tail of an earlier strike cannot pass for it;
// - lies the settling time (kTCASettleMs, or half a report period if longer)
//   before `newest`, and every later sample of that last stretch is below
//   kTCASettleFall of it (or exactly at the level).
// Reads the ring and the state, changes nothing.
inline constexpr float kTCASettleNoiseFactor = 2.0f;
inline constexpr float kTCASettleFall = 0.5f;
inline constexpr double kTCASettleMs = 0.5;
inline constexpr double kTCASettleLatestOnsetMs = 6.0;
bool tca_impact_strike_settled(const TCAImpactState* state, const TCARingBuffer* ring,
                               std::uint64_t keyTimestamp, std::uint64_t newest) noexcept;

// Feeds the samples of the last baselineWindowMs before the clock's current
// tick (hostTicks(), the 256 oldest of them) into the baseline's moving
// average. An empty window (or a null ring) changes nothing.
void tca_impact_update_baseline(TCAImpactState* state, const TCARingBuffer* ring) noexcept;

} // namespace clavio
