// Calibration: collects the scores (raw peaks) of classified key presses and
// derives tier thresholds and a hard cap from their order statistics. The
// accelerometer's and the microphone's scores are on different scales, so
// the collector holds the scores of one source at a time: a score from the
// other source forgets the ones before it.
//
// Threading contract: record() runs on the classify queue; count(), reset()
// and computeThresholds() may run on any thread. Every operation takes the
// collector's own lock for its access to the scores, and
// computeThresholds() holds it only while copying them. None of them runs on
// a real-time thread.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace clavio {

// Which sensor measured the scores.
enum class ScoreSource { accelerometer, microphone };

struct CalibrationResult {
    std::ptrdiff_t sampleCount = 0; // scores the result was computed from (at least 10)
    float minScore = 0.0f;
    float maxScore = 0.0f;
    float recommendedSoftThreshold = 0.0f;   // velocity scale 0..1
    float recommendedMediumThreshold = 0.0f; // velocity scale 0..1
    float recommendedHardThreshold = 0.0f;   // velocity scale 0..1
    float recommendedHardCap = 0.0f;         // score units
    // The scale of the scores and the cap (not part of the JSON form).
    ScoreSource source = ScoreSource::accelerometer;

    friend bool operator==(const CalibrationResult&, const CalibrationResult&) = default;
};

// A JSON object keyed by the field names above. Non-finite values (only
// possible from infinite recorded scores) are written as null.
nlohmann::json encodeCalibrationResult(const CalibrationResult& result);

class CalibrationCollector {
public:
    // Fewer scores than this give no result.
    static constexpr std::ptrdiff_t kMinimumScores = 10;

    CalibrationCollector() = default;
    CalibrationCollector(const CalibrationCollector&) = delete;
    CalibrationCollector& operator=(const CalibrationCollector&) = delete;

    // Classify queue. Appends a score measured by `source`, after forgetting
    // the scores of the other source. A NaN score carries no measurement and
    // has no place in an ordering, so it is not recorded.
    void record(float score, ScoreSource source = ScoreSource::accelerometer);
    // Any thread. Number of recorded scores.
    std::ptrdiff_t count() const;
    // Any thread. Forgets every score.
    void reset();
    // Any thread. The 25th, 50th and 80th percentile scores as fractions of
    // the largest, and a cap 20 % above it; none with fewer than 10 scores.
    // The scores are kept.
    std::optional<CalibrationResult> computeThresholds() const;

private:
    std::vector<float> _scores;                       // in recording order; guarded by _lock
    ScoreSource _source = ScoreSource::accelerometer; // of _scores; guarded by _lock
    mutable std::mutex _lock;
};

} // namespace clavio
