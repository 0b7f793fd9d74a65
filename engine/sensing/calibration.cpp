#include "engine/sensing/calibration.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

#include "engine/core/json_fields.h"

namespace clavio {

nlohmann::json encodeCalibrationResult(const CalibrationResult& r) {
    return nlohmann::json{
        {"sampleCount", static_cast<std::int64_t>(r.sampleCount)},
        {"minScore", jsonFromFloat(r.minScore)},
        {"maxScore", jsonFromFloat(r.maxScore)},
        {"recommendedSoftThreshold", jsonFromFloat(r.recommendedSoftThreshold)},
        {"recommendedMediumThreshold", jsonFromFloat(r.recommendedMediumThreshold)},
        {"recommendedHardThreshold", jsonFromFloat(r.recommendedHardThreshold)},
        {"recommendedHardCap", jsonFromFloat(r.recommendedHardCap)},
    };
}

void CalibrationCollector::record(float score, ScoreSource source) {
    std::lock_guard lock(_lock);
    if (source != _source) {
        _scores.clear();
        _source = source;
    }
    if (!std::isnan(score)) {
        _scores.push_back(score);
    }
}

std::ptrdiff_t CalibrationCollector::count() const {
    std::lock_guard lock(_lock);
    return static_cast<std::ptrdiff_t>(_scores.size());
}

void CalibrationCollector::reset() {
    std::lock_guard lock(_lock);
    _scores.clear();
}

std::optional<CalibrationResult> CalibrationCollector::computeThresholds() const {
    std::vector<float> sorted;
    ScoreSource source;
    {
        std::lock_guard lock(_lock);
        sorted = _scores;
        source = _source;
    }
    std::sort(sorted.begin(), sorted.end());

    const std::size_t n = sorted.size();
    if (static_cast<std::ptrdiff_t>(n) < kMinimumScores) {
        return std::nullopt;
    }
    CalibrationResult r;
    r.sampleCount = static_cast<std::ptrdiff_t>(n);
    r.source = source;
    r.minScore = sorted[0];
    r.maxScore = sorted[n - 1];
    const float max = r.maxScore;
    if (max > 0.0f) {
        r.recommendedSoftThreshold = sorted[n / 4] / max;
        r.recommendedMediumThreshold = sorted[n / 2] / max;
        r.recommendedHardThreshold = sorted[4 * n / 5] / max;
    } else {
        r.recommendedSoftThreshold = 0.25f;
        r.recommendedMediumThreshold = 0.5f;
        r.recommendedHardThreshold = 0.8f;
    }
    r.recommendedHardCap = max * 1.2f;
    return r;
}

} // namespace clavio
